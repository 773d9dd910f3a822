#include "format_hint.h"

#include <cstring>

namespace {

struct signature {
  size_t at;
  const char* bytes;
  size_t len;
  const char* line;
};

// Each format's own mark, as its writers put it at the start of every file. ZIP archives
// are read (zip_reader.h): what is wrong with one is said by the archive's own messages.
const signature SIGNATURES[] = {
    {0, "7z\xBC\xAF\x27\x1C", 6,
     "This file is a 7-Zip archive: extract the disc image from it first."},
    // RAR 1.5 to 4 follow with 00, RAR 5 with 01 00: the common six bytes cover both.
    {0, "Rar!\x1A\x07", 6, "This file is a RAR archive: extract the disc image from it first."},
    {0, "MComprHD", 8,
     "This file is a compressed disc image (CHD), which this version does not read: convert it "
     "back to an ISO first."},
    {0, "XBEH", 4,
     "This file is an Xbox executable, not a disc image: choose the folder that holds it."},
    // The standard identifier of the volume descriptor in sector 16.
    {0x8001, "CD001", 5, "This is an ordinary (ISO 9660) disc image, not an Xbox game disc."},
};

}  // namespace

std::string format_hint_line(const uint8_t* head, size_t len) {
  for (const signature& s : SIGNATURES)
    if (s.at <= len && len - s.at >= s.len && std::memcmp(head + s.at, s.bytes, s.len) == 0)
      return s.line;
  return "";
}
