// qmimport as a process: arguments, usage and the check mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <utility>

#ifdef _WIN32
#include <windows.h>

#include "windows_support.h"
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "fs.h"
#include "image_writer.h"
#include "paths.h"
#include "proc_limits.h"
#include "sample_xbe.h"
#include "testutil.h"
#include "tool_texts.h"

namespace {

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

#ifndef _WIN32
void link_to(const std::string& target, const std::string& link) {
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}
#else
// Set when a link was reported made but is not there: wine 8's CreateSymbolicLinkW returns
// TRUE and makes nothing, so a case that needs a link cannot run under it.
bool link_not_made = false;

// A directory symbolic link, as mklink /d makes it.
void link_to(const std::string& target, const std::string& link) {
  const std::wstring w = utf8_to_wide(link.c_str());
  ASSERT_TRUE(CreateSymbolicLinkW(w.c_str(), utf8_to_wide(native_path(target).c_str()).c_str(),
                                  SYMBOLIC_LINK_FLAG_DIRECTORY))
      << link;
  if (GetFileAttributesW(w.c_str()) == INVALID_FILE_ATTRIBUTES) link_not_made = true;
}
#endif

// A game folder imported earlier, checked again: what is wrong, one line each, then the
// verdict. The folder is the sample disc's, which the tests' list describes. Hostile folders
// end the check within seconds and never pass for a whole game.
TEST(Tool, VerifyMode) {
  using change_fn = std::function<void(const std::string&)>;
  struct verify_case {
    const char* what;
    change_fn change;
    int code;
    std::string out;  // after "<folder>: "... for the verdict, the lines before it
    std::vector<std::pair<std::string, std::string>> faults = {};
  };
  const std::string LOOP = " (a folder link; not followed)\n";
  const std::string BAD1 = "1 of 7 files missing or damaged - import your disc again";
  auto flip_copy = [](const char* from, const char* to, bool flip) {
    return [=](const std::string& game) {
      std::vector<uint8_t> bytes = read_file(game + "/" + from);
      if (flip) bytes[9999] ^= 1;
      write_file(game + "/" + to, bytes);
    };
  };
  std::vector<verify_case> cases = {
      {"a good folder", nullptr, 0, "all 7 files verified"},
      {"a file deleted",
       [](const std::string& game) { unlink_utf8((game + "/media/logo.bik").c_str()); }, 3,
       "missing   media/logo.bik\n|" + BAD1},
      {"a byte changed, another file cut",
       [&](const std::string& game) {
         flip_copy("maps/shared.map", "maps/shared.map", true)(game);
         write_file(game + "/maps/sub/deep.bin", "cut");
       },
       3,
       "damaged   maps/shared.map\nshort     maps/sub/deep.bin: 3 bytes, want 2048\n|2 of 7 "
       "files missing or damaged - import your disc again"},
      {"a leftover .part",
       [](const std::string& game) { write_file(game + "/media/ui/font.bin.part", "x"); }, 3,
       "leftover  media/ui/font.bin.part (from an interrupted import)\n|all 7 files verified"},
      {"default.xbe missing",
       [](const std::string& game) { unlink_utf8((game + "/default.xbe").c_str()); }, 3,
       "missing   default.xbe\n|" + BAD1},
      {"two links to their own folder",
       [](const std::string& game) {
         link_to(game + "/maps", game + "/maps/a");
         link_to(game + "/maps", game + "/maps/b");
       },
       0, "link      maps/a" + LOOP + "link      maps/b" + LOOP + "|all 7 files verified"},
  };
#ifndef _WIN32
  // A disk that tells letter cases apart, links, pipes and the faults a test cannot stage.
  auto replace = [](const char* rel, std::function<void(const std::string&)> make) {
    return [=](const std::string& game) {
      unlink_utf8((game + "/" + rel).c_str());
      make(game + "/" + rel);
    };
  };
  const std::vector<verify_case> posix = {
      {"three links up",
       [](const std::string& game) {
         for (const char* name : {"u1", "u2", "u3"}) link_to("..", game + "/maps/sub/" + name);
       },
       0,
       "link      maps/sub/u1" + LOOP + "link      maps/sub/u2" + LOOP + "link      maps/sub/u3" +
           LOOP + "|all 7 files verified"},
      {"a link out to the root",
       [](const std::string& game) { link_to("/", game + "/media/root"); }, 0,
       "link      media/root" + LOOP + "|all 7 files verified"},
      {"a listed folder outside, with a pipe, linked in",
       [](const std::string& game) {
         ASSERT_EQ(rename((game + "/maps/sub").c_str(), (game + "-sub").c_str()), 0);
         ASSERT_EQ(mkfifo((game + "-sub/pipe").c_str(), 0644), 0);
         link_to(game + "-sub", game + "/maps/sub");
       },
       3, "link      maps/sub" + LOOP + "missing   maps/sub/deep.bin\n|" + BAD1},
      {"a case twin with a bit changed", flip_copy("maps/shared.map", "maps/SHARED.MAP", true), 3,
       "damaged   maps/SHARED.MAP (a second spelling of maps/shared.map)\n|" + BAD1},
      {"a case twin with the same bytes", flip_copy("maps/shared.map", "maps/Shared.map", false), 0,
       "all 7 files verified"},
      {"a pipe for a file",
       replace("maps/shared.map",
               [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }),
       3, "missing   maps/shared.map\n|" + BAD1},
      {"a folder for a file",
       replace("maps/shared.map", [](const std::string& p) { make_dir(p.c_str()); }), 3,
       "missing   maps/shared.map\n|" + BAD1},
      {"a link to /dev/null",
       replace("maps/shared.map", [](const std::string& p) { link_to("/dev/null", p); }), 3,
       "missing   maps/shared.map\n|" + BAD1},
      {"a dangling link",
       replace("maps/shared.map", [](const std::string& p) { link_to("nowhere", p); }), 3,
       "missing   maps/shared.map\n|" + BAD1},
      {"a link to a file with the right bytes",
       [](const std::string& game) {
         ASSERT_EQ(rename((game + "/media/logo.bik").c_str(), (game + "-logo.bik").c_str()), 0);
         link_to(game + "-logo.bik", game + "/media/logo.bik");
       },
       0, "all 7 files verified"},
      {"a 100 GB sparse file",
       [](const std::string& game) {
         ASSERT_EQ(truncate((game + "/maps/sub/deep.bin").c_str(), 100000000000), 0);
       },
       3, "long      maps/sub/deep.bin: 100000000000 bytes, want 2048\n|" + BAD1},
      {"a folder that cannot be listed",
       nullptr,
       3,
       "unreadable maps/sub (a folder that cannot be listed)\nmissing   maps/sub/deep.bin\n|" +
           BAD1,
       {{"QM_FAULT_OPENDIR", "/maps/sub"}}},
  };
  cases.insert(cases.end(), posix.begin(), posix.end());
#endif
  for (const auto& c : cases) {
    temp_dir dir;
    const std::string game = dir / "game";
    ASSERT_TRUE(write_folder(dir / "src", sample_tree()));
    ASSERT_EQ(run_qmimport({dir / "src", game}).exit_code, 0) << c.what;
    if (c.change) c.change(game);
#ifdef _WIN32
    if (std::exchange(link_not_made, false)) {
      std::printf("not run: %s (this system makes no symbolic links)\n", c.what);
      continue;
    }
#endif
    process_output r;
    if (c.faults.empty())
      r = run_qmimport({"--verify", game});
    else
      ASSERT_TRUE(run_qmimport_with_faults({"--verify", game}, c.faults, &r));
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
