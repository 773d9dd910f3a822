// An image listed as an import lists it, without copying anything: for tests of the lister
// and of the tools that write images.
#pragma once

#include <string>
#include <vector>

#include "entries.h"

struct listing {
  int status = 0;
  import_notes result{};
  std::vector<import_entry> entries;
  std::string message() const { return result.message; }
};

// Opens the image at `path` in whatever form it is and lists its volume.
listing list_path(const std::string& path);
