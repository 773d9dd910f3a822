// The launcher's texts the player reads, which its flow tests compare word for word: defined
// here once. A "%s" is filled with filled() (launcher_rules.h); IMPORT_FAILED's two with printf.
#pragma once

// Box titles: the game-files gate's boxes, and the build's and the game's start.
inline constexpr char GATE_TITLE[] = "Quillmoor";
inline constexpr char LAUNCHER_TITLE[] = "Open Quillmoor";

inline constexpr char FIRST_QUESTION[] =
    "Open Quillmoor runs your own copy of Quillmoor (original Xbox).\n\nNo game files were found "
    "next to this program. Choose your disc image (an .iso or .xiso disc image, a .cci or .cso, "
    "the first part of a split image, or a .zip holding one) or the default.xbe of an extracted "
    "copy, and the files the game needs (about 4.5 GB) are copied into the 'game' folder.\n\n"
    "Choose your game now?";

// %s: the disc's full path.
inline constexpr char FOUND_DISC[] =
    "Open Quillmoor runs your own copy of Quillmoor (original Xbox).\n\nYour disc was found next "
    "to this program:\n\n%s\n\nImport it now? The files the game needs (about 4.5 GB) are copied "
    "into the 'game' folder. Choose No to pick another file.";

// %s: the broken files, one to a line.
inline constexpr char BROKEN_GAME[] =
    "Some of your game files are missing or damaged:\n\n%s\n\nImport your disc again? Your disc "
    "is copied into the 'game' folder again; nothing else of yours is changed.";

// %s: the launcher's folder.
inline constexpr char NOT_WRITABLE[] =
    "Open Quillmoor cannot write into its folder:\n\n%s\n\nMove the whole Open Quillmoor folder "
    "to a folder of your own (for example Documents\\Games) and start it there.";

// %s: the launcher's folder.
inline constexpr char ONEDRIVE[] =
    "This folder is synced by OneDrive:\n\n%s\n\nThe game files (about 4.5 GB) would be "
    "uploaded, and OneDrive may later keep them only in the cloud, where the game cannot read "
    "them. Move the Open Quillmoor folder out of OneDrive (for example to C:\\Games) and start "
    "it there.\n\nImport here anyway?";

inline constexpr char WRONG_XBE[] =
    "The default.xbe in the 'game' folder is not the version of Quillmoor this program was "
    "built for (the original retail disc).\n\nMove that folder away and start again to import "
    "your disc.";

// The retry question after a failed import: the import's message, then NOTHING_CHANGED or,
// for a disc of another version, ONE_VERSION_ONLY.
inline constexpr char IMPORT_FAILED[] = "The import did not finish:\n\n%s\n\n%s";
inline constexpr char NOTHING_CHANGED[] = "Nothing of yours was changed.";
inline constexpr char ONE_VERSION_ONLY[] =
    "This build runs one version of Quillmoor only (the original retail disc). Nothing of yours "
    "was changed.";

// The open-file dialog: its title and its filter (pairs of a name and patterns, each ending in
// a NUL). Split images are chosen by their first part ("x.1.iso" ends in .iso).
inline constexpr char DIALOG_TITLE[] =
    "Choose your Quillmoor disc image (or default.xbe in an extracted copy)";
inline constexpr wchar_t DIALOG_FILTER[] =
    L"Quillmoor disc image or default.xbe\0*.iso;*.xiso;*.cci;*.cso;*.zip;default.xbe\0All "
    L"files\0*.*\0";

// The progress window: its title, the label's first line while a ZIP archive is read through,
// while files are copied and while they are written to the disk, and the button.
inline constexpr char PROGRESS_TITLE[] = "Quillmoor - importing your disc";
inline constexpr char READING[] = "Reading the disc...";
inline constexpr char COPYING[] = "Copying your game files...";
inline constexpr char WRITING[] = "Writing the files to disk...";
inline constexpr char CANCELLING[] = "Cancelling...";
inline constexpr char CANCEL[] = "Cancel";

inline constexpr char BUILD_QUESTION[] =
    "Open Quillmoor now builds the game program from your own copy of Quillmoor.\n\nThis "
    "happens once. It takes about 10-30 minutes and needs about 3 GB of free disk space. A "
    "window shows the progress.\n\nBuild it now?";
inline constexpr char INCOMPLETE[] =
    "This folder is incomplete (python\\ or tools\\rara\\ is missing). Unzip the whole release "
    "again.";
inline constexpr char NOT_BUILT[] =
    "The game program was not built. The reason is in build\\build.log.\n\nStart "
    "OpenQuillmoor.exe again to retry.";
// %s: the game program's name.
inline constexpr char NOT_STARTED[] = "Could not start %s.";
