#include "format_hint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "messages.h"

namespace {

std::string compressed(const char* name) {
  return std::string("This file is a compressed disc image (") + name +
         "), which this version does not read: convert it back to an ISO first.";
}

TEST(FormatHint, NamesTheFormat) {
  struct {
    size_t at;
    std::string mark;
    size_t len;  // bytes handed over
    std::string line;
  } cases[] = {
      {0, "PK\x03\x04", FORMAT_HINT_BYTES, ""},  // read as an archive, never hinted at
      {0, "7z\xBC\xAF\x27\x1C", FORMAT_HINT_BYTES, archive_line("7-Zip")},
      {0, std::string("Rar!\x1A\x07\x00", 7), FORMAT_HINT_BYTES, archive_line("RAR")},
      {0, "Rar!\x1A\x07\x01", FORMAT_HINT_BYTES, archive_line("RAR")},
      {0, "MComprHD", FORMAT_HINT_BYTES, compressed("CHD")},
      {0, "XBEH", 4,
       "This file is an Xbox executable, not a disc image: choose the folder that holds it."},
      {0x8001, "CD001", FORMAT_HINT_BYTES, ISO9660_LINE},
      {0x8001, "CD001", 0x8005, ""},  // marks cut off count for nothing
      {0, "PK\x03", 3, ""},
      {0, "7z\xBC\xAF\x27", FORMAT_HINT_BYTES, ""},
      {1, "CISO", FORMAT_HINT_BYTES, ""},  // marks count only where they belong
      {0, "", 0, ""},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> head(c.len);
    if (c.at < c.len)
      std::memcpy(head.data() + c.at, c.mark.data(), std::min(c.mark.size(), c.len - c.at));
    EXPECT_EQ(format_hint_line(head.data(), head.size()), c.line) << c.mark << " at " << c.at;
  }
}

}  // namespace
