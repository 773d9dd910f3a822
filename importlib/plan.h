// What an import will write, worked out from the listing alone before anything is written:
// which files the disc's list has, what it expects of each, the executable's place, the order
// of the copies and what is wrong with the source. No file is opened here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "entries.h"
#include "manifest.h"

struct import_plan {
  // The listing less the files the disc's list does not have (a Thumbs.db Windows put into a
  // copied folder, a mod's extra file).
  std::vector<import_entry> entries;
  // Each entry's line of the list: null for folders, and for every entry without a list.
  std::vector<const manifest_file*> expected;
  bool have_xbe = false;  // whether the top level holds default.xbe, in any letter case
  size_t xbe = 0;         // its index in `entries`
  // Every other entry, in the order it is written: folders first (each after its parent), then
  // the files by how many ".part" endings their names carry, so that no copy lands on a file
  // already finished, and within that where their data lie in the image, so that the reads
  // run forward through it; a folder source's keep their list order.
  std::vector<size_t> order;
  uint64_t total = 0;  // bytes of every file, the executable's included
  // Files the list has that the listing lacks or has at another size, a line each in the
  // import's words ("  missing   maps/a.map").
  std::vector<std::string> problems;
  uint32_t missing = 0, wrong_size = 0;
  uint32_t extras = 0;       // files left out as the list does not have them
  std::string extras_named;  // the first three, then ", ..."
};

// The plan for the listing `entries` against the disc's `list` (count 0: no list, every entry
// kept and nothing expected).
import_plan plan_import(std::vector<import_entry> entries, const manifest_list& list);
