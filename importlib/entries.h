// The working state of one import: the entry list both listers fill, and the one routine
// through which every step explains a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// What a new entry is and where its bytes come from.
struct entry_source {
  const char* source_path = nullptr;  // a folder source's file: its full path
  uint64_t image_offset = 0;          // an image's file: where its data starts
  uint64_t size = 0;
  bool is_dir = false;

  static entry_source folder() { return {nullptr, 0, 0, true}; }
  static entry_source in_image(uint64_t offset, uint64_t size) {
    return {nullptr, offset, size, false};
  }
  static entry_source on_disk(const char* path, uint64_t size) { return {path, 0, size, false}; }
};

// What the steps below the driver tell it besides their statuses: one message, written where
// a failure is found, and what the listing found. The driver hands them to its caller.
struct import_notes {
  std::string message;
  uint32_t skipped_top_level = 0;  // top-level entries the game does not need
  int is_disc_image = 0;           // 1 once an image's volume is found
  uint64_t partition_offset = 0;   // where that volume starts
};

struct import_context {
  // The list in listing order; a folder always precedes everything below it.
  std::vector<import_entry> entries;
  std::unique_ptr<image_reader> image;  // the open image of an image source; else null
  import_notes notes;
  uint64_t path_bytes = 0;  // of every entry's rel_path and source_path, for the limit
};

// Formats the failure explanation into *message, replacing what it held. Prints nothing.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 2, 3)))
#endif
void set_error(std::string* message, const char* format, ...);

// Appends an entry named by `name_len` bytes of `name` below `parent_rel` (null at the top
// level). 0, IMPORT_ERR_NO_MEMORY, or IMPORT_ERR_DAMAGED past MAX_LIST_ENTRIES or
// MAX_LIST_PATH_BYTES; the list unchanged.
int entry_list_add(import_context* ctx, const char* parent_rel, const char* name, size_t name_len,
                   const entry_source& from);

// Two listed paths that differ only in ASCII letter case would land on one file on Windows,
// the second replacing the first. IMPORT_ERR_UNSAFE_NAME with both named, or IMPORT_OK.
int refuse_case_twins(import_context* ctx);
