#include "fs.h"

#include <gtest/gtest.h>

#include "testutil.h"

namespace {

#ifdef _WIN32
constexpr char SEP = '\\';
#else
constexpr char SEP = '/';
#endif

std::string native(std::string p) {
  for (char& c : p)
    if (c == '/' || c == '\\') c = SEP;
  return p;
}

TEST(Paths, SafeOutputPath) {
  const char* refused[] = {"",
                           "/",
                           "\\",
                           "\\\\",
                           "C:",
                           "C:\\",
                           "c:/",
                           ".",
                           "..",
                           "../",
                           "\\.",
                           "\\\\server",
                           "\\\\server\\share\\",
                           "\\\\?\\C:\\x",
                           "\\\\.\\pipe\\x",
                           "//server/share",
                           "x:\\\\\\"};
  for (const char* p : refused) EXPECT_EQ(is_safe_output_path(p), 0) << '"' << p << '"';
  EXPECT_EQ(is_safe_output_path(nullptr), 0);
  const char* accepted[] = {
      "game", ".a",   "\\\\server\\share\\dir", "C:\\out", "\\out", "C:.", "out/", "/tmp/game",
      "...",  "a\\.."};
  for (const char* p : accepted) EXPECT_EQ(is_safe_output_path(p), 1) << '"' << p << '"';
}

TEST(Paths, JoinOutPath) {
  struct {
    const char *folder, *rel, *want;
  } cases[] = {
      {"game", "maps/ui.map", "game/maps/ui.map"},
      {"C:\\out\\", "default.xbe", "C:/out/default.xbe"},
      {"out//", "x/y", "out/x/y"},
      {"/abs", "a", "/abs/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(join_out_path(c.folder, c.rel), native(c.want));
}

TEST(Paths, EqualsNocase) {
  struct {
    const char *a, *b;
    int want;
  } cases[] = {{"Default.XBE", "default.xbe", 1},
               {"maps", "MAPS", 1},
               {"maps", "maps ", 0},
               {"", "", 1},
               {"a", "", 0},
               {"\xC3\x84", "\xC3\xA4", 0}};
  for (const auto& c : cases) EXPECT_EQ(equals_nocase(c.a, c.b), c.want) << c.a << " / " << c.b;
}

TEST(Paths, MakeDirAndMakeDirs) {
  temp_dir dir;
  const std::string out = dir / "out";
  ASSERT_EQ(make_dir(out.c_str()), 0);
  EXPECT_EQ(make_dir(out.c_str()), 0) << "an existing folder is fine";
  EXPECT_EQ(path_kind(out.c_str(), nullptr), 2);

  ASSERT_EQ(make_dirs((dir / "out/a/b").c_str()), 0);
  EXPECT_EQ(path_kind((dir / "out/a").c_str(), nullptr), 2);
  EXPECT_EQ(path_kind((dir / "out/a/b").c_str(), nullptr), 2);
  EXPECT_EQ(make_dirs((dir / "out/a/b").c_str()), 0) << "nothing to create";
  EXPECT_EQ(make_dirs((dir.path() + "/x//y/").c_str()), 0) << "separator runs";
  EXPECT_EQ(path_kind((dir / "x/y").c_str(), nullptr), 2);

  write_file(dir / "file", std::string("data"));
  EXPECT_EQ(make_dir((dir / "file").c_str()), -1) << "a file is in the way";
  EXPECT_EQ(make_dirs((dir / "file/sub").c_str()), -1);
  EXPECT_EQ(path_kind((dir / "file").c_str(), nullptr), 1);

  EXPECT_EQ(make_dirs("\\\\server\\share"), 0) << "server and share are never created";
  EXPECT_EQ(make_dirs("\\\\server"), 0);
}

TEST(Paths, PathKindSizesAndRenames) {
  temp_dir dir;
  write_file(dir / "a.bin", pattern_bytes(5000, 1));
  uint64_t size = 7;
  EXPECT_EQ(path_kind((dir / "a.bin").c_str(), &size), 1);
  EXPECT_EQ(size, 5000u);
  EXPECT_EQ(path_kind((dir / "nope").c_str(), &size), 0);

  write_file(dir / "b.bin", std::string("old"));
  EXPECT_EQ(rename_replace((dir / "a.bin").c_str(), (dir / "b.bin").c_str()), 0);
  EXPECT_EQ(read_file(dir / "b.bin"), pattern_bytes(5000, 1)) << "replaced";
  EXPECT_EQ(path_kind((dir / "a.bin").c_str(), nullptr), 0);
  EXPECT_EQ(rename_replace((dir / "a.bin").c_str(), (dir / "c.bin").c_str()), -1);
  EXPECT_EQ(unlink_utf8((dir / "b.bin").c_str()), 0);
  EXPECT_EQ(unlink_utf8((dir / "b.bin").c_str()), -1);
}

TEST(Paths, NonAsciiNamesRoundTrip) {
  temp_dir dir;
  const std::string name =
      dir / "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0 \xC3\xA9t\xC3\xA9";  // "ゲーム été"
  ASSERT_EQ(make_dirs((name + "/sub").c_str()), 0);
  write_file(name + "/sub/f.bin", std::string("x"));
  EXPECT_EQ(path_kind((name + "/sub/f.bin").c_str(), nullptr), 1);
  std::vector<std::string> tree = list_tree(dir.path());
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0], "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0 \xC3\xA9t\xC3\xA9/");
}

TEST(Paths, FullPath) {
  temp_dir dir;
  std::string full = full_path_utf8(dir.path().c_str());
  EXPECT_EQ(full_path_utf8((dir.path() + "//").c_str()), full) << "trailing separators go";
  EXPECT_EQ(full_path_utf8((dir.path() + "/x/../y/.").c_str()), full + SEP + "y");
  EXPECT_EQ(full_path_utf8((dir.path() + "/not/there").c_str()), native(full + "/not/there"));
  EXPECT_EQ(full_path_utf8(""), "");
#ifdef _WIN32
  EXPECT_EQ(full_path_utf8("C:\\"), "C:\\");
  EXPECT_EQ(full_path_utf8("C:\\dir\\\\"), "C:\\dir");
#else
  EXPECT_EQ(full_path_utf8("/"), "/");
  EXPECT_EQ(full_path_utf8("/dir//"), "/dir");
#endif
}

#ifdef _WIN32
TEST(PathsWindows, DriveRootsAndUtf16) {
  EXPECT_EQ(path_kind("C:\\", nullptr), 2);
  EXPECT_EQ(make_dirs("C:\\"), 0);
  EXPECT_EQ(make_dirs("C:"), 0);
  EXPECT_EQ(utf8_to_wide("\xE3\x82\xB2"), std::wstring(L"\x30B2"));
  EXPECT_EQ(wide_to_utf8(L"\x30B2"), "\xE3\x82\xB2");
  EXPECT_TRUE(utf8_to_wide("").empty());
  EXPECT_TRUE(utf8_to_wide("\xFF\xFE").empty() || utf8_to_wide("\xFF\xFE") == L"\xFFFD\xFFFD");
}
#endif

TEST(Paths, ListDirStopsAtFirstStatus) {
  temp_dir dir;
  for (const char* n : {"a", "b", "c"}) write_file(dir / n, std::string(n));
  int calls = 0;
  EXPECT_EQ(list_dir(dir.path().c_str(), [&](const char*, int) { return ++calls == 2 ? -5 : 0; }),
            -5);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(list_dir((dir / "missing").c_str(), [](const char*, int) { return 0; }),
            LIST_DIR_FAILED);
}

}  // namespace
