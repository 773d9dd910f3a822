// What an import of a disc tree must produce, to compare an output folder against.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image_writer.h"

struct wanted_tree {
  std::map<std::string, std::vector<uint8_t>> files;  // by relative path with '/'
  std::vector<std::string> paths;  // files and folders ("x/") sorted, as list_tree gives them
  uint32_t folders = 0;
  uint64_t bytes = 0;
  uint32_t skipped = 0;  // unwanted top-level entries
  uint64_t chunks = 0;   // 4 MiB pieces over all files

  // The wanted top-level entries of `root` and everything below them.
  explicit wanted_tree(const disc_node& root);

  // Empty when `out` holds exactly this tree, byte for byte; otherwise what differs.
  std::string differences(const std::string& out) const;
};

// No file below `root` ends in ".part".
bool no_part_files(const std::string& root);
