#include "paths.h"

#include <gtest/gtest.h>

#include "fs.h"
#include "testutil.h"

namespace {

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
  for (const auto& c : cases) EXPECT_EQ(join_out_path(c.folder, c.rel), native_path(c.want));
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
  EXPECT_EQ(path_kind(out.c_str(), nullptr), PATH_FOLDER);

  ASSERT_EQ(make_dirs((dir / "out/a/b").c_str()), 0);
  EXPECT_EQ(path_kind((dir / "out/a").c_str(), nullptr), PATH_FOLDER);
  EXPECT_EQ(path_kind((dir / "out/a/b").c_str(), nullptr), PATH_FOLDER);
  EXPECT_EQ(make_dirs((dir / "out/a/b").c_str()), 0) << "nothing to create";
  EXPECT_EQ(make_dirs((dir.path() + "/x//y/").c_str()), 0) << "separator runs";
  EXPECT_EQ(path_kind((dir / "x/y").c_str(), nullptr), PATH_FOLDER);

  write_file(dir / "file", std::string("data"));
  EXPECT_EQ(make_dir((dir / "file").c_str()), -1) << "a file is in the way";
  EXPECT_EQ(make_dirs((dir / "file/sub").c_str()), -1);
  EXPECT_EQ(path_kind((dir / "file").c_str(), nullptr), PATH_FILE);

  EXPECT_EQ(make_dirs("\\\\server\\share"), 0) << "server and share are never created";
  EXPECT_EQ(make_dirs("\\\\server"), 0);
}

}  // namespace
