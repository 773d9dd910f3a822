// The working state of one import: the entry list both listers fill, the name rules they
// apply, and the one routine through which every step explains a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fs.h"
#include "image_reader.h"
#include "import.h"

// Deepest folder nesting below the source root that either lister accepts.
constexpr int MAX_TREE_DEPTH = 48;

// What one listing may hold, far above any game disc (a few thousand entries whose paths
// take a few hundred kilobytes), so that no image or folder makes the listing exhaust
// memory: 46 nested folders of 255-byte names over 131,072 empty files fit in a 2.2 MB image
// and would cost 1.5 GB of paths. A listing at both limits peaked at 123 MB (498,022 entries,
// 62 MiB of paths), the array's growth and the letter-case check included.
constexpr uint64_t MAX_LIST_ENTRIES = 500000;
constexpr uint64_t MAX_LIST_PATH_BYTES = 64u << 20;  // relative and source paths together

// One file or folder of the source.
struct import_entry {
  std::string rel_path;     // relative to the source root, '/' between components
  std::string source_path;  // folder sources: the file's full path; empty otherwise
  uint64_t image_offset;    // image sources: absolute offset of the file's data; else 0
  uint64_t size;            // bytes; 0 for folders
  int is_dir;               // 1 for a folder, 0 for a file
};

struct import_context {
  // The list in listing order; a folder always precedes everything below it.
  // count = entries.size(), capacity = entries.capacity().
  std::vector<import_entry> entries;
  image_reader image;  // the open image of an image source
  uint64_t partition_base = 0;
  import_result* result = nullptr;  // messages and counters; every caller sets it first
  // Byte ranges [start, end) of the non-empty directory tables walked so far. A table that
  // reaches into one of them (a folder pointing at an ancestor's table, many folders sharing
  // one, or tables that overlap) is damage, not an invitation to list the same entries over
  // and over: this keeps the listing proportional to the image's size.
  std::map<uint64_t, uint64_t> walked_tables;
  // 1 when the image's top level holds a default.xex: an Xbox 360 disc, picked by mistake.
  int saw_default_xex = 0;
  uint64_t path_bytes = 0;  // of every entry's rel_path and source_path, for the limit
  // Folder sources: every folder listed so far, known by identity, not by path. A link back
  // to an ancestor (maps/a -> .) would otherwise be walked 4^depth times with two of them.
  std::set<file_identity> walked_folders;
};

// Formats the failure explanation into result->message (cut at 767 bytes). Null `result`
// is allowed and ignored. Prints nothing.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 2, 3)))
#endif
void set_import_error(import_result* result, const char* format, ...);

// Appends an entry named by `name_len` bytes of `name` below `parent_rel` (null at the top
// level). Grows the list to 256 entries first, then doubling. 0, IMPORT_ERR_NO_MEMORY, or
// IMPORT_ERR_DAMAGED past MAX_LIST_ENTRIES or MAX_LIST_PATH_BYTES; the list unchanged.
int entry_list_add(import_context* ctx, const char* parent_rel, const char* name, size_t name_len,
                   const char* source_path, uint64_t image_offset, uint64_t size, int is_dir);

// What the name rules make of one path component.
enum name_verdict : int {
  NAME_SAFE = 0,
  NAME_ESCAPES = 1,         // empty, ".", "..", separators, ':' or control characters
  NAME_NOT_ON_WINDOWS = 2,  // a device name, a trailing dot or space, or one of <>"|?*
};
name_verdict judge_name(const char* name, size_t name_len);

// 1 if `name` may be used as one output path component on every platform, else 0.
int is_safe_name(const char* name, size_t name_len);

// A copy of the name fit for a message: bytes outside 0x20..0x7E become '?', so a refused
// name cannot rewrite the terminal line it is printed on.
std::string printable_name(const char* name, size_t name_len);

// Two listed paths that differ only in ASCII letter case would land on one file on Windows,
// the second replacing the first. IMPORT_ERR_UNSAFE_NAME with both named, or IMPORT_OK.
int refuse_case_twins(import_context* ctx);

// 1 if a top-level entry of that name and kind belongs to the game.
int is_wanted_top_level(const char* name, int is_dir);
