#include "folder_source.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "entries.h"
#include "paths.h"
#include "testutil.h"

namespace {

struct listing {
  import_context ctx;
  const import_notes& result = ctx.notes;
  int walk(const std::string& dir) { return folder_list(&ctx, dir.c_str()); }
  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const import_entry& e : ctx.entries) out.push_back(e.rel_path + (e.is_dir ? "/" : ""));
    return out;
  }
};

// Creates an empty file, or reports that this file system cannot hold the name.
bool try_create(const std::string& path) {
  unique_file f(open_utf8(path.c_str(), "wb"));
  return f != nullptr;
}

TEST(FolderSource, KeepsWantedTopLevelAndEverythingBelow) {
  temp_dir src;
  write_file(src / "Maps/level1.map", pattern_bytes(1000, 1));
  write_file(src / "Maps/shared/deep.bin", pattern_bytes(7, 2));
  write_file(src / "default.XBE", pattern_bytes(33, 3));
  write_file(src / "readme.txt", "hi");
  // Unwanted folders are never entered, so an unsafe name in there does not matter.
  write_file(src / "extras/bad..name", "x");
  make_dirs((src / "TDATA").c_str());

  listing l;
  ASSERT_EQ(l.walk(src.path()), IMPORT_OK) << l.result.message;
  std::vector<std::string> got = l.paths();
  std::vector<std::string> sorted = got;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"Maps/", "Maps/level1.map", "Maps/shared/",
                                              "Maps/shared/deep.bin", "TDATA/", "default.XBE"}));
  EXPECT_EQ(l.result.skipped_top_level, 2u);
  EXPECT_EQ(l.result.message, "");

  // Every folder precedes what is below it; files carry their full path and size.
  for (size_t i = 0; i < l.ctx.entries.size(); ++i) {
    const import_entry& e = l.ctx.entries[i];
    size_t cut = e.rel_path.rfind('/');
    if (cut != std::string::npos) {
      std::string parent = e.rel_path.substr(0, cut) + "/";
      auto at = std::find(got.begin(), got.end(), parent);
      ASSERT_NE(at, got.end());
      EXPECT_LT(static_cast<size_t>(at - got.begin()), i) << e.rel_path;
    }
    EXPECT_EQ(e.image_offset, 0u);
    if (e.is_dir) {
      EXPECT_TRUE(e.source_path.empty());
      EXPECT_EQ(e.size, 0u);
    } else {
      EXPECT_EQ(e.source_path, src / e.rel_path);
      EXPECT_EQ(e.size, read_file(e.source_path).size());
    }
  }
}

TEST(FolderSource, UnsafeNameAnywhereRefusesTheSource) {
  struct {
    const char* rel;    // file to create
    const char* shown;  // the message's quoted name and what follows it
  } cases[] = {
      {"maps/a..b", "a..b\""},
      {"maps/x..", "x..\""},
      {"maps/sub/deeper/..hidden", "..hidden\""},
      {"media/c:d", "c:d\""},
      {"bink/q..r/f", "q..r\""},
      {"UDATA/...", "...\""},
      {"maps/new\nline", "new?line\""},
      {"maps/what?", "what?\" (a name Windows cannot hold)"},
      {"maps/aux.txt", "aux.txt\" (a name Windows cannot hold)"},
  };
  int tried = 0;
  for (const auto& c : cases) {
    temp_dir src;
    write_file(src / "default.xbe", "x");
    const std::string path = src / c.rel;
    make_dirs(path.substr(0, path.find_last_of("/\\")).c_str());
    // Windows cannot hold a colon, and drops a trailing dot.
    if (!try_create(path)) continue;
    const std::vector<std::string> made = list_tree(src.path());
    if (std::find(made.begin(), made.end(), c.rel) == made.end()) continue;
    ++tried;
    listing l;
    EXPECT_EQ(l.walk(src.path()), IMPORT_ERR_UNSAFE_NAME) << c.rel;
    EXPECT_EQ(std::string(l.result.message),
              std::string("unsafe name in source folder: \"") + c.shown);
  }
  EXPECT_GE(tried, 3);
}

TEST(FolderSource, DepthLimit) {
  for (int levels : {48, 49}) {
    temp_dir src;
    write_file(src / "default.xbe", "x");
    // "maps" is level 1; levels below it follow.
    std::string rel = "maps";
    for (int i = 2; i <= levels; ++i) rel += "/d";
    ASSERT_EQ(make_dirs((src / rel).c_str()), 0);
    listing l;
    int status = l.walk(src.path());
    if (levels == 48) {
      EXPECT_EQ(status, IMPORT_OK) << l.result.message;
      EXPECT_EQ(l.ctx.entries.size(), 49u);
    } else {
      EXPECT_EQ(status, IMPORT_ERR_DAMAGED);
      EXPECT_EQ(l.result.message, "folder tree too deep");
    }
  }
}

TEST(FolderSource, UnlistableFolderAndVanishedFile) {
  temp_dir src;
  listing l;
  const std::string missing = src / "nope";
  EXPECT_EQ(l.walk(missing), IMPORT_ERR_SOURCE_IO);
  EXPECT_EQ(l.result.message, "cannot list folder " + missing);

  // A name reported by the listing that is gone by the time it is looked at is left out.
  listing v;
  EXPECT_EQ(folder_add_file(&v.ctx, (src / "maps/gone.bin").c_str(), "maps", "gone.bin"),
            IMPORT_OK);
  EXPECT_TRUE(v.ctx.entries.empty());
  EXPECT_EQ(v.result.message, "");
}

#ifndef _WIN32
// Links in an extracted copy are followed, every folder is listed once whatever reaches it,
// and a broken link refuses the source rather than leave a file out.
TEST(FolderSource, Links) {
  struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // in the source -> target
    int status;
    std::vector<std::string> messages;  // any one of them: the listing order decides
  } cases[] = {
      {"two links back to their folder",
       {{"maps/a", "."}, {"maps/b", "."}},
       IMPORT_ERR_DAMAGED,
       {"folder reached twice in the source (a link loop?): SRC/maps/a",
        "folder reached twice in the source (a link loop?): SRC/maps/b"}},
      {"a link up to the source",
       {{"maps/up", ".."}},
       IMPORT_ERR_DAMAGED,
       {"folder reached twice in the source (a link loop?): SRC/maps/up"}},
      {"two links to one folder",
       {{"maps/x", "../extras"}, {"maps/y", "../extras"}},
       IMPORT_ERR_DAMAGED,
       {"folder reached twice in the source (a link loop?): SRC/maps/x",
        "folder reached twice in the source (a link loop?): SRC/maps/y"}},
      {"a broken link",
       {{"maps/gone.map", "../nowhere"}},
       IMPORT_ERR_SOURCE_IO,
       {"cannot read SRC/maps/gone.map (a broken link?)"}},
      {"links to a file and a folder outside",
       {{"maps/l.map", "../../outside.bin"}, {"maps/ld", "../../outside"}},
       IMPORT_OK,
       {""}},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    const std::string src = dir / "src";
    write_file(src + "/default.xbe", "x");
    write_file(src + "/maps/real.map", "r");
    write_file(src + "/extras/e.bin", "e");
    write_file(dir / "outside.bin", pattern_bytes(3000, 1));
    write_file(dir / "outside/in.bin", "in");
    for (const auto& [name, target] : c.links)
      ASSERT_EQ(symlink(target.c_str(), (src + "/" + name).c_str()), 0) << name;
    listing l;
    EXPECT_EQ(l.walk(src), c.status) << c.what;
    std::string message = l.result.message;
    if (message.find(src) != std::string::npos)
      message.replace(message.find(src), src.size(), "SRC");
    EXPECT_NE(std::find(c.messages.begin(), c.messages.end(), message), c.messages.end())
        << c.what << ": " << l.result.message;
    if (c.status != IMPORT_OK) continue;
    std::vector<std::string> got = l.paths();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"default.xbe", "maps/", "maps/l.map", "maps/ld/",
                                             "maps/ld/in.bin", "maps/real.map"}));
    for (const import_entry& e : l.ctx.entries)
      if (e.rel_path == "maps/l.map") {
        EXPECT_EQ(e.size, 3000u) << "the target's size";
      }
  }
}
#endif

}  // namespace
