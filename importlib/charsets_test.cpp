#include "charsets.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Charsets, Cp1252ToUtf8) {
  struct {
    std::string raw, utf8;
  } cases[] = {
      {"A~", "A~"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},  // the length ends it, not a NUL
      {"\x80\x8A\x99\x9F", "\xE2\x82\xAC\xC5\xA0\xE2\x84\xA2\xC5\xB8"},  // € Š ™ Ÿ
      // The five bytes the code page leaves undefined keep their value, as on Windows.
      {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
      {"\xA0\xE9\xFC\xFF", "\xC2\xA0\xC3\xA9\xC3\xBC\xC3\xBF"},  // nbsp é ü ÿ
      {"M\xFCnchen \x93x\x94", "M\xC3\xBCnchen \xE2\x80\x9Cx\xE2\x80\x9D"},
  };
  for (const auto& c : cases) EXPECT_EQ(cp1252_to_utf8(c.raw.data(), c.raw.size()), c.utf8);
}

}  // namespace
