#include "xbe_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "byte_reader.h"
#include "le_bytes.h"
#include "messages.h"
#include "sample_xbe.h"

namespace {

constexpr uint32_t BASE = 0x10000;
constexpr uint32_t CERT_AT = 0x178;  // where the Xbox tools put it: right after the header

// A header and certificate as the Xbox tools lay them out (title ID MS-004, version 3,
// North America); the rest is zero.
std::vector<uint8_t> make_xbe(const std::u16string& title) {
  std::vector<uint8_t> b(XBE_INFO_PREFIX);
  write_xbe_header(b, {.base = BASE,
                       .certificate = CERT_AT,
                       .title_id = 0x4D530004,
                       .title = title,
                       .regions = 1,
                       .version = 3});
  return b;
}

TEST(XbeInfo, Line) {
  const std::string good =
      "This default.xbe is \"Sample Game\" (title ID MS-004, version 3, region North America).";
  struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
    std::string line;
  } cases[] = {
      {"as written", [](auto&) {}, good},
      {"only the fields read", [](auto& b) { b.resize(CERT_AT + 0xB0); }, good},
      {"no magic", [](auto& b) { b[0] = 'M'; }, NOT_XBE_LINE},
      {"under 4 bytes", [](auto& b) { b.resize(3); }, NOT_XBE_LINE},
      {"header cut short", [](auto& b) { b.resize(0x11B); }, ""},
      {"certificate cut short", [](auto& b) { b.resize(CERT_AT + 0xAF); }, ""},
      {"certificate below the base", [](auto& b) { put_le32(b, 0x118, BASE - 1); }, ""},
      {"certificate inside the header", [](auto& b) { put_le32(b, 0x118, BASE + 0x177); }, ""},
      {"certificate past the end", [](auto& b) { put_le32(b, 0x118, 0xFFFFFFFF); }, ""},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = make_xbe(u"Sample Game");
    c.change(b);
    EXPECT_EQ(xbe_info_line(b.data(), b.size()), c.line) << c.what;
  }
}

TEST(XbeInfo, TitleForTheTerminal) {
  struct {
    std::u16string title;
    std::string utf8;
  } cases[] = {
      {u"Caf\u00E9 \u65E5", "Caf\xC3\xA9 \xE6\x97\xA5"},
      {std::u16string(u"ab\0cd", 5), "ab"},
      {u"\xD83D\xDE00!", "\xF0\x9F\x98\x80!"},          // a pair: U+1F600
      {u"\xD83Dx\xDE00", "\xEF\xBF\xBDx\xEF\xBF\xBD"},  // each half alone
      {u"\xD83D\xD83D\xDE00", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {u"a\x1B[2Jb\x7F\x85\u00A0", "a?[2Jb??\xC2\xA0"},
      // The partner of a high surrogate in the last unit would lie past the field.
      {std::u16string(39, u'x') + u"\xD83D", std::string(39, 'x') + "\xEF\xBF\xBD"},
      {std::u16string(45, u'y'), std::string(40, 'y')},  // 40 units, no terminator
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = make_xbe(c.title);
    put_le32(b, CERT_AT + 0x0C + 80, 0xDC00);  // a low surrogate just past the field
    xbe_info info;
    ASSERT_EQ(xbe_read_info(b.data(), b.size(), &info), XBE_INFO_OK);
    EXPECT_EQ(info.title, c.utf8);
  }
}

TEST(XbeInfo, TitleIdAndRegionText) {
  EXPECT_EQ(xbe_title_id_text(0x4D530004), "MS-004");
  EXPECT_EQ(xbe_title_id_text(0x207EFFFF), " ~-65535");
  EXPECT_EQ(xbe_title_id_text(0x7F1F0010), "?\?-016");
  EXPECT_EQ(xbe_title_id_text(0xFF800063), "?\?-099");
  EXPECT_EQ(xbe_region_text(0x7), "North America+Japan+Europe/rest of world");
  EXPECT_EQ(xbe_region_text(0x80000005), "North America+Europe/rest of world+debug");
  EXPECT_EQ(xbe_region_text(0x80000000), "debug");
  EXPECT_EQ(xbe_region_text(0x12), "Japan");
  EXPECT_EQ(xbe_region_text(0x18), "unknown (0x00000018)");
  EXPECT_EQ(xbe_region_text(0), "none");
}

// A caller's reader that fails: the error comes back, and no line is made of half a header.
TEST(XbeInfo, ReadErrorsPassUp) {
  struct failing final : byte_reader {
    std::vector<uint8_t> bytes;
    int fail_at, reads = 0;
    failing(std::vector<uint8_t> b, int at) : bytes(std::move(b)), fail_at(at) {}
    uint64_t size() const override { return bytes.size(); }
    int read(uint64_t pos, void* out, size_t len, std::string* message) override {
      *message = "cannot read";
      if (reads++ == fail_at) return IMPORT_ERR_SOURCE_IO;
      std::memcpy(out, bytes.data() + pos, len);
      return IMPORT_OK;
    }
  };
  for (int fail_at = 0; fail_at < 4; ++fail_at) {  // magic, base, certificate address, record
    failing source(make_xbe(u"t"), fail_at);
    xbe_info info;
    EXPECT_EQ(xbe_read_info_from(source, &info), XBE_INFO_READ_ERROR) << fail_at;
    source.reads = 0;
    EXPECT_EQ(xbe_info_line_from(source), "") << fail_at;
  }
}

}  // namespace
