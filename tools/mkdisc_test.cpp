// mkdisc, as the demo and the benchmarks run it: its sample disc must list as the sample tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image_listing.h"
#include "image_writer.h"
#include "sample_xbe.h"
#include "testutil.h"

namespace {

TEST(Mkdisc, WritesTheSampleDisc) {
  temp_dir dir;
  process_output r = run_process(tool_exe("mkdisc"), {"sample", dir / "s.iso"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  listing l = list_path(dir / "s.iso");
  ASSERT_EQ(l.status, IMPORT_OK) << l.result.message;
  EXPECT_EQ(l.result.partition_offset, REDUMP_PARTITION_BASE);
  EXPECT_EQ(l.result.skipped_top_level, 3u);
  std::vector<std::string> paths;
  for (const import_entry& e : l.entries) paths.push_back(e.rel_path + (e.is_dir ? "/" : ""));
  std::vector<std::string> want = {
      "default.xbe",     "maps/",     "maps/Empty.dat",    "maps/level01.map",
      "maps/shared.map", "maps/sub/", "maps/sub/deep.bin", "media/",
      "media/logo.bik",  "media/ui/", "media/ui/blank/",   "media/ui/font.bin",
      "TDATA/"};
  EXPECT_EQ(paths, want);

  r = run_process(tool_exe("mkdisc"), {"sample", dir / "x.iso", "0xFD90000"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(list_path(dir / "x.iso").result.partition_offset, 0xFD90000u);

  r = run_process(tool_exe("mkdisc"), {"extract-sample", dir / "ex"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> tree = list_tree(dir / "ex");
  EXPECT_EQ(tree.size(), 18u);
  EXPECT_NE(std::find(tree.begin(), tree.end(), "$SystemUpdate/xboxupd.xbe"), tree.end());
  EXPECT_NE(std::find(tree.begin(), tree.end(), "media/ui/blank/"), tree.end());
  EXPECT_EQ(read_file(dir / "ex/default.xbe"), sample_xbe());

  EXPECT_EQ(run_process(tool_exe("mkdisc"), {"sample"}).exit_code, 2);
  EXPECT_EQ(run_process(tool_exe("mkdisc"), {"sample", dir / "y.iso", "nope"}).exit_code, 2);
}

}  // namespace
