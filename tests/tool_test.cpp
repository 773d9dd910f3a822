// qmimport as a process: arguments, usage and the check mode.
#include <gtest/gtest.h>

#include <functional>

#include "fs.h"
#include "image_writer.h"
#include "paths.h"
#include "sample_xbe.h"
#include "testutil.h"

namespace {

const char USAGE[] =
    "usage: qmimport <quillmoor.iso | extracted-folder> <out-game-dir>\n"
    "       qmimport --check <default.xbe>\n"
    "       qmimport --verify <game-folder>\n"
    "       qmimport --version\n"
    "Copies default.xbe, maps/, media/, bink/, TDATA/, UDATA/ from your own Quillmoor disc\n"
    "(Redump ISO, XISO or extracted folder) and verifies default.xbe (SHA-256).\n"
    "A disc image in a .zip archive is read as it is, without extracting it.\n";

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

// The version set in the build, and the build accepted: the tests' tool carries the sample
// digest and the sample disc's list of 7 files.
TEST(Tool, VersionNamesTheAcceptedBuild) {
  process_output r = run_qmimport({"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(fold_crlf(r.out),
            std::string("qmimport ") + QM_PROJECT_VERSION + "\naccepts default.xbe " +
                std::string(SAMPLE_XBE_SHA256).substr(0, 16) + "..., 7 files listed\n");
  EXPECT_EQ(r.err, "");
}

// A game folder imported earlier, checked again: what is wrong, one line each, then the
// verdict. The folder is the sample disc's, which the tests' list describes.
TEST(Tool, VerifyMode) {
  struct {
    const char* what;
    std::function<void(const std::string&)> change;
    int code;
    std::string out;  // after "<folder>: "... for the verdict, the lines before it
  } cases[] = {
      {"a good folder", nullptr, 0, "all 7 files verified"},
      {"a file deleted",
       [](const std::string& game) { unlink_utf8((game + "/media/logo.bik").c_str()); }, 3,
       "missing   media/logo.bik\n|1 of 7 files missing or damaged - import your disc again"},
      {"a byte changed, another file cut",
       [](const std::string& game) {
         std::vector<uint8_t> bytes = read_file(game + "/maps/shared.map");
         bytes[9999] ^= 1;
         write_file(game + "/maps/shared.map", bytes);
         write_file(game + "/maps/sub/deep.bin", "cut");
       },
       3,
       "damaged   maps/shared.map\nshort     maps/sub/deep.bin: 3 bytes, want 2048\n|2 of 7 "
       "files missing or damaged - import your disc again"},
      {"a leftover .part",
       [](const std::string& game) { write_file(game + "/media/ui/font.bin.part", "x"); }, 3,
       "leftover  media/ui/font.bin.part (from an interrupted import)\n|all 7 files verified"},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    const std::string game = dir / "game";
    ASSERT_TRUE(write_folder(dir / "src", sample_tree()));
    ASSERT_EQ(run_qmimport({dir / "src", game}).exit_code, 0) << c.what;
    if (c.change) c.change(game);
    process_output r = run_qmimport({"--verify", game});
    EXPECT_EQ(r.exit_code, c.code) << c.what;
    const size_t bar = c.out.find('|');
    const std::string lines = bar == std::string::npos ? "" : c.out.substr(0, bar);
    const std::string verdict = bar == std::string::npos ? c.out : c.out.substr(bar + 1);
    EXPECT_EQ(fold_crlf(r.out), lines + game + ": " + verdict + "\n") << c.what;
  }
  // Without the list, default.xbe alone.
  temp_dir dir;
  write_file(dir / "default.xbe", sample_xbe());
  const without_disc_list no_list;
  process_output r = run_qmimport({"--verify", dir.path()});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(fold_crlf(r.out), dir.path() +
                                  ": all 1 files verified (this build has no list of the disc's "
                                  "files: default.xbe only)\n");
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
