// Text, path and file-system helpers. All text is UTF-8; on Windows every path is converted
// to UTF-16 at the system call, so names with any characters survive an import.
//
// Strings are returned as std::string: an empty string means failure (a failed conversion,
// or nothing to return), never a valid result. Acting helpers return 0 or -1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

// The separator of output paths: '\\' on Windows, '/' elsewhere.
extern const char OUTPUT_SEPARATOR;

struct file_closer {
  void operator()(FILE* f) const { std::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// Opens `path` (UTF-8) with the C runtime `mode` ("rb", "wb"). Null on failure.
FILE* open_utf8(const char* path, const char* mode);

// Positions `f` at the absolute byte `offset` (64-bit). 0 or -1.
int seek_to(FILE* f, uint64_t offset);

// Copies up to `length` bytes from `in` at byte `in_offset` to the current end of what was
// written to `out` (an unbuffered stream with nothing pending), inside the kernel where the
// system can (copy_file_range on Linux): no trip through user memory, as `cp` does. Returns
// the bytes copied, which may be short; 0 when nothing could be copied this way, for any
// reason (unsupported, end of the source, an error): the caller then falls back to reading
// and writing, which also finds out what went wrong.
uint64_t copy_in_kernel(FILE* in, uint64_t in_offset, FILE* out, uint64_t length);

// 0 if the path does not exist or cannot be queried, 2 for a folder, 1 for anything else.
// When non-zero and `size_out` is non-null, stores the 64-bit size.
int path_kind(const char* path, uint64_t* size_out);

// Creates one folder; 0 if created or already a folder, else -1.
int make_dir(const char* path);

// Deletes a file. 0 or -1.
int unlink_utf8(const char* path);

// Moves `from` over `to`, replacing an existing `to` (same volume only). 0 or -1.
int rename_replace(const char* from, const char* to);

// Absolute form of `path` (need not exist), without trailing separators unless it is a root.
std::string full_path_utf8(const char* path);

// Calls `fn(name, is_dir)` for every entry of the folder `dir` except "." and ".." in the
// order the file system returns them, stopping at the first non-zero return, which is
// passed up. Names that cannot be converted to UTF-8 are skipped. Returns LIST_DIR_FAILED
// (positive, so never mistaken for a status of `fn`) when the folder cannot be listed.
template <typename Fn>
int list_dir(const char* dir, Fn&& fn);

constexpr int LIST_DIR_FAILED = 1;

// --- platform implementation detail of list_dir ------------------------------------------
using dir_callback = int (*)(void* state, const char* name, int is_dir);
int list_dir_raw(const char* dir, dir_callback cb, void* state);

template <typename Fn>
int list_dir(const char* dir, Fn&& fn) {
  return list_dir_raw(
      dir,
      [](void* state, const char* name, int is_dir) {
        return (*static_cast<std::remove_reference_t<Fn>*>(state))(name, is_dir);
      },
      &fn);
}
