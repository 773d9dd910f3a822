// The tool's texts that its tests compare word for word: defined here once.
#pragma once

inline constexpr char USAGE[] =
    "usage: qmimport <quillmoor.iso | extracted-folder> <out-game-dir>\n"
    "       qmimport --check <default.xbe>\n"
    "       qmimport --verify <game-folder>\n"
    "       qmimport --version\n"
    "Copies default.xbe, maps/, media/, bink/, TDATA/, UDATA/ from your own Quillmoor disc\n"
    "and verifies default.xbe (SHA-256). The disc: an ISO (Redump), XISO, CCI or CSO image,\n"
    "the first of its split parts (name.1.iso), a .zip holding one (read as it is, not\n"
    "extracted), or an extracted folder.\n"
    "--verify checks every file against the disc's list; a link to a file with the right\n"
    "bytes passes, a link to a folder is not followed.\n";
