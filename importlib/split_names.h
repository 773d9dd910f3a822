// The names of a split image: "x.1.iso", "x.2.iso", ... beside each other, as tools that cut
// images for FAT32 drives write them. Also holds disc_image_name (declared in import.h): which
// file names may be a disc image, and a later part's first part.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Parts of one split image, far more than any real one has: FAT32 takes files of under
// 4 GiB, so a dual-layer disc fills 3, and even 100 MB parts of it would be 86.
constexpr size_t MAX_IMAGE_PARTS = 100;

// The parts of the split image whose first part is `path` (one digit 1 before the last
// extension: "x.1.iso"), in order, first part included; just `path` for any other name.
// IMPORT_OK, or IMPORT_ERR_SOURCE_IO naming a part missing from the middle of the row or a
// part that is a folder.
int find_image_parts(const char* path, std::vector<std::string>* parts, std::string* message);

// For a path that names a later part of a split image ("x.2.iso"), the first part's path when
// that file exists beside it; else empty. Players pick the wrong part.
std::string first_part_of(const char* path);
