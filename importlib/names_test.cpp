#include "names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NameRules, SafeNames) {
  struct {
    std::string name;
    int safe;
  } cases[] = {
      {".hidden", 1},
      {"a.b.c", 1},
      {"\xE3\x83\x9E\xE3\x83\x83\xE3\x83\x97", 1},
      {"\x80\xFF", 1},
      {"readme", 1},
      {"con1", 1},
      {"com0", 1},
      {"lpt10", 1},
      {"nulx", 1},
      {"xnul", 1},
      {"com1x.txt", 1},
      {"a b", 1},
      {"", 0},
      {".", 0},
      {"..", 0},
      {"...", 0},
      {"a..b", 0},
      {"x..", 0},
      {"a/b", 0},
      {"a\\b", 0},
      {"c:x", 0},
      {"a\x01", 0},
      {"\x1F", 0},
      {"a\x7F", 0},
      {std::string("a\0b", 3), 0},
      // Windows devices, any case, with or without an extension.
      {"CON", 0},
      {"con", 0},
      {"nul.txt", 0},
      {"Aux.dat.bin", 0},
      {"PRN", 0},
      {"COM1", 0},
      {"com9.log", 0},
      {"LPT1", 0},
      {"lpt9", 0},
      {"CONIN$", 0},
      {"conout$.x", 0},
      {"nul .txt", 0},
      {"COM\xC2\xB9", 0},
      {"lpt\xC2\xB3.txt", 0},
      {"com\xC2\xB2", 0},
      {"com\xC2\xB4", 1},
      {"com\xC2\xB9x", 1},
      // Characters Windows cannot hold in a name.
      {"a<b", 0},
      {"a>b", 0},
      {"say \"hi\"", 0},
      {"a|b", 0},
      {"why?", 0},
      {"*.*", 0},
      // Windows drops trailing dots and spaces, landing on another name.
      {"a.", 0},
      {"a ", 0},
      {"file.txt ", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_safe_name(c.name.data(), c.name.size()), c.safe) << '"' << c.name << '"';
}

TEST(NameRules, WantedTopLevel) {
  struct {
    const char* name;
    int is_dir, wanted;
  } cases[] = {
      {"maps", 1, 1},        {"MAPS", 1, 1},        {"Maps", 1, 1},        {"media", 1, 1},
      {"bink", 1, 1},        {"TDATA", 1, 1},       {"udata", 1, 1},       {"maps", 0, 0},
      {"default.xbe", 1, 0}, {"default.xbe", 0, 1}, {"DEFAULT.XBE", 0, 1}, {"default.xbe ", 0, 0},
      {"extras", 1, 0},      {"readme.txt", 0, 0},  {"map", 1, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_wanted_top_level(c.name, c.is_dir), c.wanted) << c.name << " dir=" << c.is_dir;
}

}  // namespace
