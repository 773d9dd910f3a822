#include "fs.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "paths.h"
#include "testutil.h"
#ifdef _WIN32
#include "windows_support.h"
#endif

namespace {

TEST(Paths, PathKindSizesAndRenames) {
  temp_dir dir;
  write_file(dir / "a.bin", pattern_bytes(5000, 1));
  uint64_t size = 7;
  EXPECT_EQ(path_kind((dir / "a.bin").c_str(), &size), PATH_FILE);
  EXPECT_EQ(size, 5000u);
  EXPECT_EQ(path_kind((dir / "nope").c_str(), &size), PATH_NONE);

  write_file(dir / "b.bin", std::string("old"));
  EXPECT_EQ(rename_replace((dir / "a.bin").c_str(), (dir / "b.bin").c_str()), 0);
  EXPECT_EQ(read_file(dir / "b.bin"), pattern_bytes(5000, 1)) << "replaced";
  EXPECT_EQ(path_kind((dir / "a.bin").c_str(), nullptr), PATH_NONE);
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
  EXPECT_EQ(path_kind((name + "/sub/f.bin").c_str(), nullptr), PATH_FILE);
  std::vector<std::string> tree = list_tree(dir.path());
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0], "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0 \xC3\xA9t\xC3\xA9/");
}

TEST(Paths, FullPath) {
  temp_dir dir;
  std::string full = full_path_utf8(dir.path().c_str());
  EXPECT_EQ(full_path_utf8((dir.path() + "//").c_str()), full) << "trailing separators go";
  EXPECT_EQ(full_path_utf8((dir.path() + "/x/../y/.").c_str()), native_path(full + "/y"));
  EXPECT_EQ(full_path_utf8((dir.path() + "/not/there").c_str()), native_path(full + "/not/there"));
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
  EXPECT_EQ(path_kind("C:\\", nullptr), PATH_FOLDER);
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

// Past the size of the batches the listing sorts, every entry still comes exactly once.
TEST(Paths, ListDirGivesEveryEntryOnce) {
  temp_dir dir;
  std::set<std::string> made, seen;
  for (int i = 0; i < 1100; ++i) {
    const std::string name = std::to_string(i);
    made.insert(name);
    write_file(dir / name, std::string());
  }
  int calls = 0;
  EXPECT_EQ(list_dir(dir.path().c_str(),
                     [&](const char* name, int) {
                       ++calls;
                       seen.insert(name);
                       return 0;
                     }),
            0);
  EXPECT_EQ(calls, 1100);
  EXPECT_EQ(seen, made);
}

}  // namespace
