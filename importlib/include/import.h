// The import library's interface for its callers: the console tool and the launcher.
//
// import_game() turns the player's disc image (XDVDFS at any of the known partition offsets,
// as an ISO, a CCI or a CSO, whole or split in parts, or inside a ZIP archive) or extracted
// game folder into a verified game folder: only the files the game needs, each written
// through a ".part" file, default.xbe checked against the one supported digest and, when the
// build carries the disc's list, every file checked against its size and SHA-256.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum import_error : int {
  IMPORT_OK = 0,
  IMPORT_ERR_NO_SOURCE = -1,    // no source path, or an empty one
  IMPORT_ERR_BAD_OUTPUT = -2,   // output folder refused, or equal to the source
  IMPORT_ERR_SOURCE_IO = -3,    // source missing or cannot be opened, listed, positioned, read
  IMPORT_ERR_DAMAGED = -4,      // not an image, damaged or truncated structures, tree too deep
  IMPORT_ERR_UNSAFE_NAME = -5,  // a source name that could escape the output folder
  IMPORT_ERR_NO_XBE = -6,       // no top-level default.xbe
  IMPORT_ERR_WRONG_BUILD = -7,  // default.xbe is not the supported build or does not verify
  IMPORT_ERR_OUTPUT_IO = -8,    // output folder, file or rename cannot be made or written
  IMPORT_ERR_NO_MEMORY = -9,    // memory exhausted; never carries a message
  IMPORT_ERR_CANCELLED = -10,   // the caller's cancel flag was set; "import cancelled"
};

// Filled by every import; the caller owns it. Cleared to zero first, so every field means
// something after any return. Plain and fixed-size: safe to copy between threads.
struct import_result {
  int is_disc_image;                // 1 for a disc image source, 0 for a folder
  uint64_t partition_offset;        // where the XDVDFS volume's partition starts; 0 for folders
  uint32_t files_copied;            // files written, default.xbe included
  uint32_t folders_created;         // folder entries created (or found existing)
  uint32_t skipped_top_level;       // top-level source entries the game does not need
  uint64_t bytes_copied;            // sum of the sizes of the files counted in files_copied
  int xbe_sha_ok;                   // 1 only after a full success with default.xbe re-verified
  char xbe_sha_hex[65];             // digest of default.xbe as written; empty until copied
  char message[768];                // the failure's explanation; empty when none was set
  uint32_t xbe_media_patch_undone;  // places where an XISO tool's patch was undone; else 0
  uint32_t image_parts;             // files of a disc image (more than 1 when split); else 0
  char image_format[4];             // "CCI", "CSO" or "ZIP" for those forms; else empty
  uint32_t files_verified;          // files checked against the disc's list; 0 without one
  uint32_t extra_files_skipped;     // listed files the disc's list does not have: not copied
  char extra_files_named[256];      // the first three of them, ", " between, then ", ..."
  char image_entry[256];            // a ZIP archive's disc image entry (UTF-8); else empty
};

// Progress of one import, on the importing thread. `total` is fixed before the first copy;
// `done` counts bytes written so far across all files. Called when each file starts and
// after every chunk; `path` is the UTF-8 relative path of the file being copied.
// A disc image deflated in a ZIP archive is first read through once, before any file is
// copied: during that pass `path` is null and `done` of `total` count the archive's bytes
// read (every few MiB, then done == total), and the copy's calls start again from 0.
typedef void (*progress_fn)(uint64_t done, uint64_t total, const char* path, void* user);

// The `path` progress_fn receives once every file is written, while the import waits until
// they are all on the disk (on a slow USB stick, most of the time): done equals total.
inline constexpr char IMPORT_FINISHING[] = "";

// Imports `source` (UTF-8 path of a disc image or a folder) into the folder `out` (created
// with its parents if missing). `progress` and `result` may be null. Synchronous; returns
// IMPORT_OK or a negative import_error, with result->message explaining any failure but -9.
// Never throws.
int import_game(const char* source, const char* out, progress_fn progress, void* user,
                import_result* result);

// import_game that stops when `*cancel` (may be null) becomes non-zero, set by any thread:
// it is looked at before every chunk, between files and through a ZIP archive's first
// reading, so the import ends within one chunk's copy with IMPORT_ERR_CANCELLED. As for any
// failure part-way, the ".part" being written is deleted and default.xbe never takes its name.
int import_game_cancellable(const char* source, const char* out, progress_fn progress, void* user,
                            import_result* result, const std::atomic<int>* cancel);

// The lock file an import holds in its output folder while it writes there, so that a second
// import into the same folder fails at once instead of sharing its ".part" files. Removed at
// the end; one left by a killed import is taken over by the next.
inline constexpr char IMPORT_LOCK_NAME[] = "import.lock";

// What check_game_folder finds wrong with one file or folder.
enum game_file_problem : int {
  GAME_FILE_MISSING = 1,   // on the list, not in the folder
  GAME_FILE_SHORT = 2,     // smaller than the list says
  GAME_FILE_LONG = 3,      // larger than the list says
  GAME_FILE_DAMAGED = 4,   // of its size, with another digest (checked only when hashing)
  GAME_FILE_LEFTOVER = 5,  // a ".part" file or the lock of an interrupted import
  // A second spelling of a listed file ("SHARED.MAP" beside "shared.map", on a disk that tells
  // them apart) without the listed size or digest: the game may open either.
  GAME_FILE_TWIN = 6,
  // A link to a folder, or a folder reached a second time: not followed, so that the walk ends
  // and never leaves the game folder. What lies only behind it counts as missing.
  GAME_FOLDER_LINK = 7,
  // A folder that cannot be listed: what it holds is not known.
  GAME_FOLDER_UNREADABLE = 8,
};

// One problem: `path` relative to the game folder, '/' between names, as the folder spells
// it (as the list does for a missing file); `spelling_of` the spelling checked as the listed
// file for GAME_FILE_TWIN, else null; `size` and `want` in bytes for GAME_FILE_SHORT and
// GAME_FILE_LONG, else 0.
struct game_problem {
  int problem;
  const char* path;
  const char* spelling_of;
  uint64_t size;
  uint64_t want;
};
typedef void (*game_problem_fn)(const game_problem* problem, void* user);

struct game_folder_check {
  uint32_t files;       // files checked: those on the list, or 1 (default.xbe) without one
  uint32_t bad;         // of them: missing, of another size or damaged, in any spelling
  uint32_t leftovers;   // ".part" files and lock files found
  int has_list;         // 1 when the build carries the list of the disc's files
  uint32_t links;       // folder links not followed
  uint32_t unreadable;  // folders that could not be listed
};

// Checks a game folder imported earlier against the list of the disc's files: each file
// present (names matched in any letter case; every spelling found is checked) and of its
// size, and with `hash` 1 also of its digest; without a list, default.xbe alone. A link to a
// file is followed; a link to a folder is not (GAME_FOLDER_LINK), and every folder is listed
// once, so that the check ends on any tree. Problems go to `report` (may be null): the folders
// not walked first, then the files on the list in its order, then the leftovers; `progress`
// (may be null) sees the bytes hashed. IMPORT_OK with *check filled, IMPORT_ERR_SOURCE_IO when
// `folder` is not a folder or cannot be listed, IMPORT_ERR_NO_MEMORY. Writes nothing.
int check_game_folder(const char* folder, int hash, progress_fn progress, void* user,
                      game_problem_fn report, void* report_user, game_folder_check* check);

// Files on the list of the disc's files this build carries; 0 without one.
uint32_t disc_file_count();

// Whether `path`, a disc image in any form the import reads or an extracted folder, holds the
// supported game: its top-level default.xbe is the supported build, or becomes it once the
// media patch is undone. Reads the volume's root and the executable only, never the rest of
// the disc: quick enough to try on every image beside the launcher, except a deflated image
// in a ZIP archive, which is read through once (a 7 GiB one for about 20 s): `*cancel` (may be
// null) set by any thread stops that with 0. 1 or 0.
int is_supported_disc(const char* path, const std::atomic<int>* cancel = nullptr);

// 1 when a file named `name` (a name, no folder) may be a disc image the import reads: it ends
// in .iso, .xiso, .cci, .cso or .zip, in any case, after at least one other character; else 0.
// `first_part` (may be null) receives, for such a name of a later part of a split image
// ("x.2.iso", "x.10.cci"), its first part's name ("x.1.iso"), and is empty otherwise. Looks at
// the name only: no file is opened.
int disc_image_name(const char* name, std::string* first_part);

// What an executable is, read once: XBE_OTHER (also missing, a folder or unreadable),
// XBE_SUPPORTED, or XBE_MEDIA_PATCHED (the supported file as an XISO tool's media patch left
// it, which an import of the disc restores).
enum xbe_verdict : int { XBE_OTHER = 0, XBE_SUPPORTED = 1, XBE_MEDIA_PATCHED = 2 };
int judge_xbe(const char* path);

// 1 if the file at the UTF-8 `path` has the supported digest, 0 otherwise (also when it is
// missing, a folder or unreadable).
int is_supported_xbe(const char* path);

// 1 if the file at the UTF-8 `path` is the supported default.xbe as an XISO tool's media
// patch leaves it: not the supported file, but an import of it restores the retail bytes.
int is_media_patched_xbe(const char* path);

// SHA-256 of the supported default.xbe: 64 lowercase hex characters. Defined in its own
// small object, so that tests can link the sample digest whatever the build configured.
extern const char SUPPORTED_XBE_SHA256[65];
