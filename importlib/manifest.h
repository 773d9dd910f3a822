// The list of the disc's files the build carries: every file the game needs, with its size and
// SHA-256, compiled in from the list the build was configured with and never read at run time.
// Empty in a build configured with a digest alone: then only default.xbe is verified.
#pragma once

#include <cstddef>
#include <cstdint>

struct manifest_file {
  const char* path;    // relative to the game folder, '/' between components, UTF-8
  uint64_t size;       // bytes
  const char* sha256;  // 64 lowercase hex characters
};

struct manifest_list {
  const manifest_file* files;  // `count` entries, sorted by their paths in ASCII lower case
  size_t count;                // 0: the build has no list
};

// The list the program was built with (defined beside the supported digest).
manifest_list disc_manifest();

// The entry whose path equals the `len` bytes of `path` in ASCII letter case, as Windows
// compares names; null when the list has none.
const manifest_file* manifest_find(const char* path, size_t len);

// manifest_find in `list`.
const manifest_file* manifest_find_in(const manifest_list& list, const char* path, size_t len);

// Orders paths as the list is sorted: bytewise after ASCII lower-casing, a prefix first.
bool manifest_path_less(const char* a, size_t a_len, const char* b, size_t b_len);
