// qmimport as a process: arguments, usage and the check mode.
#include <gtest/gtest.h>

#include "fs.h"
#include "paths.h"
#include "sample_xbe.h"
#include "testutil.h"

namespace {

const char USAGE[] =
    "usage: qmimport <quillmoor.iso | extracted-folder> <out-game-dir>\n"
    "       qmimport --check <default.xbe>\n"
    "Copies default.xbe, maps/, media/, bink/, TDATA/, UDATA/ from your own Quillmoor disc\n"
    "(Redump ISO, XISO or extracted folder) and verifies default.xbe (SHA-256).\n";

TEST(Tool, WrongArgumentCountPrintsUsage) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{}, {"a"}, {"a", "b", "c"}, {"--check"}}) {
    process_output r = run_qmimport(args);
    EXPECT_EQ(r.exit_code, 2) << args.size() << " arguments";
    EXPECT_EQ(r.err, USAGE);
    EXPECT_EQ(r.out, "");
  }
}

TEST(Tool, CheckMode) {
  temp_dir dir;
  // Japanese folder name: the argument must reach the program as UTF-8.
  const std::string jp = dir / "\xE3\x82\xAF\xE3\x82\xA4\xE3\x83\xAB\xE3\x83\xA0\xE3\x82\xA2 game";
  std::vector<uint8_t> xbe = sample_xbe();
  write_file(jp + "/default.xbe", xbe);
  for (size_t at : SAMPLE_XBE_MEDIA_RUNS) xbe[at + 7] = 0xEB;
  write_file(dir / "patched.xbe", xbe);
  xbe[0] ^= 0x20;
  write_file(dir / "wrong.xbe", xbe);
  const std::string good = join_out_path(jp.c_str(), "default.xbe");
  struct {
    std::string path;
    int code;
    const char* verdict;
  } cases[] = {
      {good, 0, "sha ok (supported Quillmoor default.xbe)"},
      {dir / "patched.xbe", 3,
       "media-patched copy of the supported default.xbe (importing the disc restores it)"},
      {dir / "wrong.xbe", 3, "MISMATCH or unreadable"},
      {dir / "missing.xbe", 3, "MISMATCH or unreadable"},
      {dir.path(), 3, "MISMATCH or unreadable"},
  };
  for (const auto& c : cases) {
    process_output r = run_qmimport({"--check", c.path});
    EXPECT_EQ(r.exit_code, c.code) << c.path;
    EXPECT_EQ(r.out, c.path + ": " + c.verdict + "\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(Tool, UpperCaseCheckIsASourcePath) {
  temp_dir dir;
  write_file(dir / "default.xbe", sample_xbe());
  process_output r = run_qmimport({"--CHECK", dir / "default.xbe"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "qmimport: error -3: source not found: --CHECK\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace
