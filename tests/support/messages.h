// Messages that more than one suite asserts word for word: rewording one is an edit here
// (and in the library), not a hunt through the tests.
#pragma once

#include <string>

#include "sample_xbe.h"

// A file with no XDVDFS volume, after its path; the hint lines below may follow.
inline constexpr char NOT_AN_IMAGE[] =
    " is not an Xbox disc image (no XDVDFS volume at offsets 0, 0x18300000, 0xFD90000 or "
    "0x2080000)";
inline constexpr char ISO9660_LINE[] =
    "This is an ordinary (ISO 9660) disc image, not an Xbox game disc.";
inline std::string archive_line(const char* kind) {
  std::string line = "This file is a ";
  line += kind;
  line += " archive: extract the disc image from it first.";
  return line;
}

// What xbe_info_line() says of a file that is no executable, and of a changed sample.
inline constexpr char NOT_XBE_LINE[] =
    "This default.xbe is not an Xbox executable at all (a damaged or incomplete dump?)";
inline constexpr char SAMPLE_XBE_LINE[] =
    "This default.xbe is \"Quillmoor\" (title ID QM-001, version 1, region North America).";

// The refusal of a default.xbe that is not the supported build: `got_hex` is its digest,
// `line` (empty: none) what the file is.
inline std::string wrong_build_message(const std::string& got_hex, const std::string& line) {
  std::string m = "default.xbe is not the supported Quillmoor build.\n  got      ";
  m += got_hex;
  m += "\n  expected ";
  m += SAMPLE_XBE_SHA256;
  m += "\nNo game files were written and nothing in the output folder was removed.\n"
       "Use an unmodified dump of the retail Quillmoor disc.";
  if (!line.empty()) {
    m += '\n';
    m += line;
  }
  return m;
}

// A source that ends before the size it was listed with.
inline std::string truncated_message(const std::string& rel_path) {
  std::string m = "read error in ";
  m += rel_path;
  m += " (truncated source?)";
  return m;
}
