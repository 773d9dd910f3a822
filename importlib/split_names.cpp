#include "split_names.h"

#include "fs.h"
#include "import.h"
#include "paths.h"

namespace {

// Where the part number starts in `path` and how many digits it has, when its last component
// ends in ".<number>.<ext>"; false for any other name.
bool part_number(const std::string& path, size_t* at, size_t* len) {
  const size_t name = path.find_last_of("/\\");
  const size_t first = name == std::string::npos ? 0 : name + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < first + 2 || dot + 1 == path.size()) return false;
  size_t start = dot;
  while (start > first && path[start - 1] >= '0' && path[start - 1] <= '9') --start;
  // A name before the number: ".1.iso" is no part of anything.
  if (start == dot || start < first + 2 || path[start - 1] != '.') return false;
  *at = start;
  *len = dot - start;
  return true;
}

// For a path naming a later part of a split image ("x.2.iso"), its first part's path, whether
// that file exists or not; else empty. Part numbers are 2, 3, ... 10, never "0" or "02".
std::string first_part_path(const std::string& later) {
  size_t at = 0, len = 0;
  if (!part_number(later, &at, &len) || later[at] == '0' || later.compare(at, len, "1") == 0)
    return "";
  return later.substr(0, at) + "1" + later.substr(at + len);
}

std::string part_path(const std::string& first, size_t digit, size_t number) {
  return first.substr(0, digit) + std::to_string(number) + first.substr(digit + 1);
}

}  // namespace

int find_image_parts(const char* path, std::vector<std::string>* parts, std::string* message) {
  parts->assign(1, path);
  const std::string first = path;
  size_t digit = 0, digits = 0;
  if (!part_number(first, &digit, &digits) || digits != 1 || first[digit] != '1') return IMPORT_OK;
  size_t n = 2;
  for (; path_kind(part_path(first, digit, n).c_str(), nullptr) == PATH_FILE; ++n) {
    if (n > MAX_IMAGE_PARTS) {
      *message =
          "split image " + first + " has more than " + std::to_string(MAX_IMAGE_PARTS) + " parts";
      return IMPORT_ERR_SOURCE_IO;
    }
    parts->push_back(part_path(first, digit, n));
  }
  // A folder under a part's name is a part gone wrong, not the end of the row: named as what
  // it is, rather than the image read short or the part called missing.
  if (path_kind(part_path(first, digit, n).c_str(), nullptr) == PATH_FOLDER) {
    *message = "part " + part_path(first, digit, n) + " of the split image is a folder";
    return IMPORT_ERR_SOURCE_IO;
  }
  // A gap is a part lost on the way (a failed copy from the console, say), not the end: the
  // image would be read short and every file past the gap refused as truncated.
  for (size_t later = n + 1; later <= n + 9; ++later) {
    const std::string there = part_path(first, digit, later);
    if (path_kind(there.c_str(), nullptr) == PATH_FILE) {
      *message = "part " + part_path(first, digit, n) + " of the split image is missing (" + there +
                 " is there)";
      return IMPORT_ERR_SOURCE_IO;
    }
  }
  return IMPORT_OK;
}

std::string first_part_of(const char* path) {
  const std::string first = first_part_path(path);
  return !first.empty() && path_kind(first.c_str(), nullptr) == PATH_FILE ? first : "";
}

int disc_image_name(const char* name, std::string* first_part) {
  if (first_part) first_part->clear();
  const std::string whole = name;
  const size_t dot = whole.rfind('.');
  // A name before the extension: ".iso" alone is no image.
  if (dot == std::string::npos || dot == 0) return 0;
  const std::string ext = whole.substr(dot);
  // The extensions players' images come under. The import itself goes by the bytes
  // (open_image_reader chooses by magic); a split image's parts ("x.1.iso") end in its own.
  bool image = false;
  for (const char* known : {".iso", ".xiso", ".cci", ".cso", ".zip"})
    image = image || equals_nocase(ext.c_str(), known);
  if (!image) return 0;
  if (first_part) *first_part = first_part_path(whole);
  return 1;
}
