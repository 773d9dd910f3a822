// qmimport importing, as a process: the report, the progress line, the error line, and
// imports that end abnormally (full disk, killed) without leaving a game folder that lies.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "compressed_writer.h"
#include "fs.h"
#include "hostile_images.h"
#include "image_writer.h"
#include "import.h"
#include "loop_mount.h"
#include "messages.h"
#include "paths.h"
#include "proc_limits.h"
#include "sample_xbe.h"
#include "sha256.h"
#include "testutil.h"
#include "wanted_tree.h"
#include "zip_writer.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Characters (not bytes) of UTF-8 text.
size_t utf8_chars(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The progress line as written: "\r" + "  %3d%%  " + 48 characters per update, then "\n";
// the last update, at 100%, says the import waits for the disk. Checks its shape and returns
// the percentages shown before that, in order; those of a ZIP archive's first reading
// ("reading the disc..."), which must come before the copy's, go to *reading.
std::vector<int> progress_updates(const std::string& err_before_report, std::string* last_path,
                                  std::vector<int>* reading = nullptr) {
  std::vector<int> percents;
  EXPECT_FALSE(err_before_report.empty());
  EXPECT_EQ(err_before_report[0], '\r');
  EXPECT_EQ(err_before_report.back(), '\n');
  std::string body = err_before_report.substr(0, err_before_report.size() - 1);
  size_t pos = 0;
  while (pos < body.size()) {
    size_t next = body.find('\r', pos + 1);
    std::string seg =
        body.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
    EXPECT_EQ(utf8_chars(seg), 56u) << '"' << seg << '"';
    int percent = -1;
    EXPECT_EQ(std::sscanf(seg.c_str(), "%d%%", &percent), 1);
    EXPECT_EQ(seg.substr(0, 2), "  ");
    EXPECT_EQ(seg.substr(5, 3), "%  ");
    if (next == std::string::npos) {
      EXPECT_EQ(seg.substr(2), "100%  finishing: writing to disk...                   ");
      break;
    }
    if (seg.compare(8, 19, "reading the disc...") == 0) {
      EXPECT_TRUE(reading && percents.empty()) << "a reading line where none belongs";
      if (reading) reading->push_back(percent);
    } else {
      percents.push_back(percent);
      if (last_path) *last_path = seg.substr(8);
    }
    pos = next;
  }
  return percents;
}

void expect_rising_to_100(const std::vector<int>& percents) {
  ASSERT_FALSE(percents.empty());
  EXPECT_LE(percents.size(), 101u);
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_LT(percents[i - 1], percents[i]);
  EXPECT_EQ(percents.back(), 100);
}

// Runs a successful import and checks the report line by line against `want`.
// `restored`: the places where the source's executable carries the XISO tool's media patch.
// `listed`: the import runs with the tests' list of the disc's files (the sample disc's).
// `reads_first`: the source is a deflated ZIP archive, read through before the copy.
void expect_report(const std::string& source, const std::string& out, const std::string& kind,
                   const wanted_tree& want, unsigned restored = 0, bool listed = true,
                   bool reads_first = false) {
  process_output r = run_qmimport({source, out});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 5u + (listed ? 1 : 0) + (restored ? 1 : 0)) << r.out;
  if (listed) {
    EXPECT_EQ(lines[5], "verified  " + std::to_string(want.files.size()) +
                            " files against the retail disc's list (SHA-256)");
  }
  if (restored) {
    EXPECT_EQ(lines.back(), "restored  default.xbe carried an XISO tool's media patch at " +
                                std::to_string(restored) +
                                " place(s); the retail bytes were written");
  }
  EXPECT_EQ(lines[0], "source    " + source + " (" + kind + ")");
  EXPECT_EQ(lines[1], "output    " + out);
  char copied[160];
  std::snprintf(copied, sizeof copied, "copied    %u files, %u folders, %llu bytes (%.1f MB) in ",
                static_cast<unsigned>(want.files.size()), want.folders,
                static_cast<unsigned long long>(want.bytes), want.bytes / 1048576.0);
  EXPECT_EQ(lines[2].substr(0, std::strlen(copied)), copied);
  double seconds = -1;
  EXPECT_EQ(std::sscanf(lines[2].c_str() + std::strlen(copied), "%lf s", &seconds), 1) << lines[2];
  EXPECT_GE(seconds, 0.0);
  EXPECT_EQ(lines[2].substr(lines[2].size() - 2), " s");
  EXPECT_EQ(lines[3], "skipped   " + std::to_string(want.skipped) +
                          " top-level entries not needed by the game");
  EXPECT_EQ(lines[4], std::string("xbe sha   ") + SAMPLE_XBE_SHA256 + " OK");
  std::vector<int> reading;
  expect_rising_to_100(progress_updates(r.err, nullptr, &reading));
  if (reads_first) expect_rising_to_100(reading);
  EXPECT_EQ(reading.empty(), !reads_first);
  EXPECT_EQ(want.differences(out), "");
  EXPECT_TRUE(no_part_files(out));
}

TEST(ImportTool, SampleImagesAtEveryBaseAndExtractedFolder) {
  const disc_node tree = sample_tree();
  const wanted_tree want(tree);
  for (uint64_t base :
       {uint64_t{0}, REDUMP_PARTITION_BASE, uint64_t{0xFD90000}, uint64_t{0x2080000}}) {
    temp_dir dir;
    image_options options;
    options.partition_base = base;
    ASSERT_TRUE(write_image(dir / "quillmoor.iso", tree, options));
    SCOPED_TRACE(hex(base));
    expect_report(dir / "quillmoor.iso", dir / "game", "disc image, game partition at " + hex(base),
                  want);
  }
  // The report names the compressed format and how many parts a split image has.
  for (image_form form : {image_form::cso, image_form::split_cci}) {
    temp_dir dir;
    std::vector<std::string> parts;
    const std::string first =
        save_in_form(build_image(tree), form, dir / "quillmoor", 400000, &parts);
    const std::string in_parts =
        parts.size() > 1 ? " in " + std::to_string(parts.size()) + " parts" : "";
    expect_report(first, dir / "game",
                  std::string(image_forms()[static_cast<size_t>(form)].format) + " disc image" +
                      in_parts + ", game partition at 0x0",
                  want);
  }
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "extracted", tree));
  expect_report(dir / "extracted", dir / "game", "folder", want);
}

// Zips of the sample disc as players get them, through the tool: from our own writer, which
// runs wherever the tests do, and from the archivers players use, where they are installed.
// The report names the archive and the image in it; a deflated one is read through first with
// percentages of its own. Deflate64, as Windows Explorer writes large archives, is refused.
TEST(ImportTool, ZipArchivesOfTheSampleDisc) {
  const char *const PY = "python3", *const IMAGE = "Quillmoor (USA).iso";
  const std::string PY_ENTRY = std::string(IMAGE) + "=%";
  struct {
    const char* what;
    uint64_t base;
    bool stored;
    image_form form = image_form::iso;  // our writer's; unused where `command` is given
    // The archiver and its arguments: "@" stands for the archive, "%" for the image, "#" for
    // the Python writer.
    std::vector<std::string> command = {};
    const char* refusal = nullptr;  // what follows "qmimport: error -4: <archive>"
  } cases[] = {
      {"our writer, stored", 0, true, image_form::zip_stored},
      {"our writer, deflated, Redump layout", REDUMP_PARTITION_BASE, false,
       image_form::zip_deflated},
      {"our writer, zip64 and a data descriptor", 0, false, image_form::zip64},
      {"zipfile, deflate, Redump layout",
       REDUMP_PARTITION_BASE,
       false,
       {},
       {PY, "-c", "#", "@", "deflate", "-", PY_ENTRY}},
      {"zipfile, stored", 0, true, {}, {PY, "-c", "#", "@", "stored", "-", PY_ENTRY}},
      {"zipfile, zip64 forced",
       REDUMP_PARTITION_BASE,
       false,
       {},
       {PY, "-c", "#", "@", "deflate", "zip64", PY_ENTRY}},
      {"Info-ZIP", REDUMP_PARTITION_BASE, false, {}, {"zip", "-q", "-j", "@", "%"}},
      {"7-Zip, deflate", 0, false, {}, {"7z", "a", "-tzip", "-mm=Deflate", "@", "%"}},
      {"7-Zip, Deflate64",
       0,
       false,
       {},
       {"7z", "a", "-tzip", "-mm=Deflate64", "@", "%"},
       " is compressed with Deflate64 (as Windows Explorer writes large archives), which this "
       "version does not read: extract the disc image with 7-Zip first."},
  };
  const disc_node tree = sample_tree();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    temp_dir dir;
    image_options options;
    options.partition_base = c.base;
    const disc_image image = build_image(tree, options);
    const std::string zip = dir / "Quillmoor (USA).zip";
    if (c.command.empty()) {
      ASSERT_EQ(save_in_form(image, c.form, dir / "Quillmoor (USA)", 0), zip);
    } else {
      const std::string tool = find_program(c.command[0]);
      if (tool.empty()) {
        std::printf("skipped: %s (%s is not installed)\n", c.what, c.command[0].c_str());
        continue;
      }
      ASSERT_TRUE(image.save(dir / IMAGE));
      std::vector<std::string> args;
      for (size_t i = 1; i < c.command.size(); ++i) {
        std::string arg;
        for (char ch : c.command[i])
          arg += ch == '@'   ? zip
                 : ch == '%' ? dir / IMAGE
                 : ch == '#' ? ZIP_PYTHON_WRITER
                             : std::string(1, ch);
        args.push_back(arg);
      }
      const process_output made = run_process(tool, args);
      ASSERT_EQ(made.exit_code, 0) << made.out << made.err;
    }
    if (c.refusal) {
      const process_output r = run_qmimport({zip, dir / "game"});
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(r.err, "qmimport: error -4: " + zip + c.refusal + "\n");
      EXPECT_EQ(path_kind((dir / "game").c_str(), nullptr), PATH_NONE);
      continue;
    }
    char kind[160];
    std::snprintf(kind, sizeof kind, "disc image %s in a ZIP archive, game partition at 0x%llx",
                  IMAGE, static_cast<unsigned long long>(c.base));
    expect_report(zip, dir / "game", kind, wanted_tree(tree), 0, true, !c.stored);
  }
}

// A genuine disc rewritten by the common XISO tool imports as the retail disc.
TEST(ImportTool, MediaPatchedImageReportsTheRestore) {
  disc_node tree = sample_tree();
  for (size_t at : SAMPLE_XBE_MEDIA_RUNS) tree.children[0].data[at + 7] = 0xEB;
  ASSERT_EQ(tree.children[0].name, "default.xbe");
  temp_dir dir;
  ASSERT_TRUE(write_image(dir / "patched.iso", tree));
  expect_report(dir / "patched.iso", dir / "game", "disc image, game partition at 0x0",
                wanted_tree(sample_tree()), std::size(SAMPLE_XBE_MEDIA_RUNS));
}

// Japanese paths around the source and the output; Windows-1252 names on the disc, which an
// extracted copy holds in UTF-8, come out as the same UTF-8 names from both.
TEST(ImportTool, JapaneseNamesAsSourceAndOutput) {
  const without_disc_list no_list;                                    // a tree of its own
  const std::string jp_src = "\xE3\x82\xBD\xE3\x83\xBC\xE3\x82\xB9";  // ソース
  const std::string jp_out =
      "\xE5\x87\xBA\xE5\x8A\x9B \xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0";  // 出力 ゲーム
  disc_node tree = sample_tree();
  tree.children[1].children.push_back(file_node("caf\xE9.bin", pattern_bytes(3000, 8)));
  tree.children[1].children.push_back(
      file_node("Gigi R\xFC"
                "f.res",
                pattern_bytes(30, 9)));
  const wanted_tree want(tree);
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / (jp_src + "/game"), tree));
  expect_report(dir / (jp_src + "/game"), dir / jp_out, "folder", want, 0, false);
  ASSERT_TRUE(
      write_image(dir / (jp_src + "/\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xB9\xE3\x82\xAF.iso"), tree));
  expect_report(dir / (jp_src + "/\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xB9\xE3\x82\xAF.iso"),
                dir / (jp_out + "2"), "disc image, game partition at 0x0", want, 0, false);
  for (const std::string& out : {dir / jp_out, dir / (jp_out + "2")})
    for (const char* name : {"caf\xC3\xA9.bin",
                             "Gigi R\xC3\xBC"
                             "f.res"})
      EXPECT_EQ(path_kind(join_out_path(join_out_path(out.c_str(), "maps").c_str(), name).c_str(),
                          nullptr),
                PATH_FILE)
          << name;
}

// Many files: far more progress calls than percentages, and paths longer than the line.
TEST(ImportTool, ProgressLineIsThrottledAndFixedWidth) {
  const without_disc_list no_list;  // a tree of its own
  std::vector<disc_node> maps;
  for (int i = 0; i < 300; ++i)
    maps.push_back(file_node(numbered("m", i, ""), pattern_bytes(20000 + i, i)));
  const std::string long_name = "zz_rather_long_folder_name_for_the_progress_line";
  maps.push_back(dir_node(long_name, {file_node("last_file_of_all.bin", pattern_bytes(10, 1))}));
  disc_node tree = dir_node("", {file_node("default.xbe", sample_xbe()), dir_node("maps", maps)});
  temp_dir dir;
  ASSERT_TRUE(write_image(dir / "disc.iso", tree));
  process_output r = run_qmimport({dir / "disc.iso", dir / "out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string last_path;
  std::vector<int> percents = progress_updates(r.err, &last_path);
  expect_rising_to_100(percents);
  EXPECT_GT(percents.size(), 50u);
  // The last file (in image order) reached 100%: its path cut to 48 characters.
  const std::string full = "maps/" + long_name + "/last_file_of_all.bin";
  EXPECT_EQ(last_path, full.substr(0, 48));
}

// A path with accented letters across the cut: whole characters only, 48 of them.
TEST(ImportTool, ProgressLineCutsBetweenCharacters) {
  const without_disc_list no_list;  // a tree of its own
  std::string long_name = "z_";
  for (int i = 0; i < 60; ++i) long_name += "\xE9";  // "z_éé..." (a disc name: Windows-1252)
  disc_node tree = dir_node("", {file_node("default.xbe", sample_xbe()),
                                 dir_node("maps", {dir_node(long_name, {file_node("f", {1})})})});
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", tree));
  process_output r = run_qmimport({dir / "src", dir / "out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string last_path;
  expect_rising_to_100(progress_updates(r.err, &last_path));
  std::string want = "maps/z_";
  for (int i = 0; i < 41; ++i) want += "\xC3\xA9";
  EXPECT_EQ(last_path, want);
}

TEST(ImportTool, ErrorLines) {
  temp_dir dir;
  std::vector<uint8_t> wrong = sample_xbe();
  wrong[7] ^= 2;
  ASSERT_TRUE(write_folder(dir / "wrong", dir_node("", {file_node("default.xbe", wrong),
                                                        dir_node("maps", {file_node("a", {1})})})));
  write_file(dir / "wrong.xbe", wrong);
  uint8_t digest[32];
  char wrong_hex[65];
  ASSERT_EQ(sha256_file((dir / "wrong.xbe").c_str(), digest), 0);
  digest_to_hex(digest, wrong_hex);
  write_file(dir / "nodisc/maps/a", "x");
  write_file(dir / "junk.iso", pattern_bytes(200000, 3));
  struct {
    std::string source;
    bool progress;  // a copy started, so the progress line ends first
    std::string error;
  } cases[] = {
      {dir / "wrong", true,
       "qmimport: error -7: " + wrong_build_message(wrong_hex, SAMPLE_XBE_LINE) + "\n"},
      {dir / "nodisc", false,
       "qmimport: error -6: no default.xbe found in " + (dir / "nodisc") +
           " - is this a Quillmoor disc or game folder?\n"},
      {dir / "junk.iso", false, "qmimport: error -4: " + (dir / "junk.iso") + NOT_AN_IMAGE + "\n"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string out = dir / numbered("out", ++n, "");
    process_output r = run_qmimport({c.source, out});
    EXPECT_EQ(r.exit_code, 1) << c.source;
    EXPECT_EQ(r.out, "");
    if (c.progress) {
      ASSERT_GT(r.err.size(), c.error.size());
      EXPECT_EQ(r.err.substr(r.err.size() - c.error.size()), c.error);
      EXPECT_EQ(r.err[0], '\r');
      EXPECT_EQ(r.err[r.err.size() - c.error.size() - 1], '\n');
      // Nothing but the (empty) output folder was made.
      EXPECT_EQ(list_tree(out), std::vector<std::string>{});
    } else {
      EXPECT_EQ(r.err, c.error);
      EXPECT_EQ(path_kind(out.c_str(), nullptr), PATH_NONE);
    }
  }
}

// The output fills up while the other files are copied: the import fails with the write
// error, and leaves neither the executable nor any ".part" file.
TEST(ImportTool, FullDiskLeavesNoExecutable) {
  const without_disc_list no_list;  // a tree of its own
  temp_dir dir;
  const uint64_t limit = 2u << 20;  // above the executable, below the big file
  const disc_node tree =
      dir_node("", {file_node("default.xbe", sample_xbe()),
                    dir_node("maps", {file_node("a.map", pattern_bytes(2048, 3)),
                                      file_node("big.map", pattern_bytes(3u << 20, 4))})});
  ASSERT_TRUE(write_folder(dir / "src", tree));
  // From the image the big file starts mid-page, one sector after a.map: the copy takes it
  // through a pipe.
  ASSERT_TRUE(write_image(dir / "src.iso", tree));
  for (const char* source : {"src", "src.iso"}) {
    const std::string out = dir / (std::string(source) + ".out");
    process_output r;
    if (!run_process_file_limited(sibling_exe("qmimport_sample"), {dir / source, out}, limit, &r))
      GTEST_SKIP() << "no file-size limit on this platform";
    EXPECT_EQ(r.exit_code, 1) << source;
    const std::string error = "qmimport: error -8: write error on " +
                              join_out_path(out.c_str(), "maps/big.map") + ".part (disk full?)\n";
    ASSERT_GE(r.err.size(), error.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - error.size()), error) << source;
    EXPECT_EQ(list_tree(out), (std::vector<std::string>{"maps/", "maps/a.map"})) << source;
  }
}

// Killed at a random moment of its writing phase, an import never leaves a wrong file under
// a final name, nor an executable unless every file is complete; run again, it completes
// the folder.
TEST(ImportTool, KilledAtARandomMomentThenRerun) {
  const without_disc_list no_list;  // a tree of its own
  std::vector<disc_node> maps;
  for (int i = 0; i < 24; ++i)
    maps.push_back(file_node(numbered("m", i, ".map"), pattern_bytes((1u << 19) + i, i)));
  const disc_node tree =
      dir_node("", {file_node("default.xbe", sample_xbe()), dir_node("maps", maps),
                    dir_node("media", {file_node("x.bik", pattern_bytes(1 << 20, 99))})});
  const wanted_tree want(tree);
  temp_dir dir;
  const std::string src = dir / "disc.iso";
  ASSERT_TRUE(write_image(src, tree));
  const std::string exe = sibling_exe("qmimport_sample");
  // The clock starts when the output folder appears: the writing phase, after the listing.
  auto writing = [](const std::string& out) {
    return [out] { return path_kind(out.c_str(), nullptr) == PATH_FOLDER; };
  };

  // How long the copying takes: from the output folder's appearance to the end, less the
  // time from the executable's appearance (after the last file) to the end.
  bool killed = false;
  long writing_us = 0, tail_us = 0;
  const std::string timing = dir / "timing", timing2 = dir / "timing2";
  if (!run_process_killed_after(exe, {src, timing}, 60 * 1000000L, &killed, writing(timing),
                                &writing_us))
    GTEST_SKIP() << "cannot kill a process at a chosen moment on this platform";
  ASSERT_FALSE(killed);
  ASSERT_EQ(want.differences(timing), "");
  const std::string xbe2 = join_out_path(timing2.c_str(), "default.xbe");
  ASSERT_TRUE(run_process_killed_after(
      exe, {src, timing2}, 60 * 1000000L, &killed,
      [&] { return path_kind(xbe2.c_str(), nullptr) == PATH_FILE; }, &tail_us));
  const long copy_us = std::max(writing_us - tail_us, 1000L);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  int hits = 0;
  long range = copy_us;
  for (int trial = 0; trial < 8; ++trial) {
    const std::string out = dir / numbered("out", trial, "");
    const long delay = static_cast<long>(rng() % static_cast<unsigned long>(range + 1));
    ASSERT_TRUE(run_process_killed_after(exe, {src, out}, delay, &killed, writing(out)));
    hits += killed;
    if (!killed) range = std::max(range / 2, 1000L);  // this run was quicker than the timed one
    // A killed import leaves its lock file behind; the next import takes it over.
    const std::string lock = join_out_path(out.c_str(), IMPORT_LOCK_NAME), aside = out + ".lock";
    for (const std::string& rel : list_tree(out)) {
      if (rel.back() == '/' || (rel.size() >= 5 && rel.compare(rel.size() - 5, 5, ".part") == 0) ||
          rel == IMPORT_LOCK_NAME)
        continue;
      auto it = want.files.find(rel);
      ASSERT_NE(it, want.files.end()) << rel;
      EXPECT_EQ(read_file(join_out_path(out.c_str(), rel.c_str())), it->second)
          << rel << " after " << delay << " us";
    }
    if (path_kind(join_out_path(out.c_str(), "default.xbe").c_str(), nullptr) == PATH_FILE) {
      const bool stale_lock = rename_replace(lock.c_str(), aside.c_str()) == 0;
      EXPECT_EQ(want.differences(out), "")
          << "an executable with files missing, after " << delay << " us";
      if (stale_lock) {
        ASSERT_EQ(rename_replace(aside.c_str(), lock.c_str()), 0);
      }
    }
    process_output again = run_qmimport({src, out});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(want.differences(out), "");
    EXPECT_TRUE(no_part_files(out));
  }
  EXPECT_GT(hits, 0) << "no kill landed during an import";
}

// Ctrl+C, or a request to terminate, while a big file is copied: the tool stops at the next
// chunk, leaves neither the executable nor a ".part" file, and says why.
// Ctrl+C while the import waits for a slow disk, every file written: it still cancels, and
// default.xbe never takes its name.
TEST(ImportTool, InterruptedWhileFlushingIsCancelled) {
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", sample_tree()));
  const std::string out = dir / "out";
  const wanted_tree want(sample_tree());
  auto all_copied = [&] {
    for (const auto& [rel, bytes] : want.files)
      if (rel != "default.xbe" &&
          path_kind(join_out_path(out.c_str(), rel.c_str()).c_str(), nullptr) != PATH_FILE)
        return false;
    return true;
  };
  process_output r;
  bool sent = false;
  if (!run_process_signalled(sibling_exe("qmimport_sample"), {dir / "src", out}, SIGINT, all_copied,
                             &r, &sent, {{"QM_FAULT_SLOW_SYNC_MS", "400"}}))
    GTEST_SKIP() << "no signals to send on this platform";
  ASSERT_TRUE(sent) << "the import ended before every file was copied";
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("finishing: writing to disk..."), std::string::npos) << r.err;
  const std::string error = "\nqmimport: error -10: import cancelled\n";
  ASSERT_GT(r.err.size(), error.size()) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - error.size()), error);
  EXPECT_TRUE(no_part_files(out));
  EXPECT_EQ(path_kind(join_out_path(out.c_str(), "default.xbe").c_str(), nullptr), PATH_NONE);
  EXPECT_EQ(path_kind(join_out_path(out.c_str(), IMPORT_LOCK_NAME).c_str(), nullptr), PATH_NONE);
}

TEST(ImportTool, InterruptedMidCopyIsCancelled) {
  const without_disc_list no_list;  // a tree of its own
  temp_dir dir;
  const std::string src = dir / "disc.iso";
  image_options options;
  options.damage = [](disc_image& image, const disc_layout& layout) {
    make_sparse_file(image, layout, "media/logo.bik", 1u << 30);
  };
  ASSERT_TRUE(write_image(src, sample_tree(), options));
  for (int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal_number == SIGINT ? "SIGINT" : "SIGTERM");
    const std::string out = dir / numbered("out", signal_number);
    const std::string part = join_out_path(out.c_str(), "media/logo.bik.part");
    auto part_copied = [&] {
      uint64_t size = 0;
      return path_kind(part.c_str(), &size) == PATH_FILE && size > 0;
    };
    process_output r;
    bool sent = false;
    if (!run_process_signalled(sibling_exe("qmimport_sample"), {src, out}, signal_number,
                               part_copied, &r, &sent))
      GTEST_SKIP() << "no signals to send on this platform";
    ASSERT_TRUE(sent) << "the import ended before the big file was part copied";
    EXPECT_EQ(r.exit_code, 1);
    const std::string error = "\nqmimport: error -10: import cancelled\n";
    ASSERT_GT(r.err.size(), error.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - error.size()), error);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(no_part_files(out));
    EXPECT_EQ(path_kind(join_out_path(out.c_str(), "default.xbe").c_str(), nullptr), PATH_NONE);
  }
}

// Faults no test folder shows by itself, preloaded into the tool: a listing that breaks off,
// and a disk with too little room (what the import adds: each file less the one it replaces,
// plus the largest file once more; the old executable is replaced only at the very end).
TEST(ImportTool, ListingErrorAndTooLittleSpace) {
  const without_disc_list no_list;  // a tree of its own
  const uint64_t MiB = 1 << 20, xbe = sample_xbe().size();
  const disc_node tree =
      dir_node("", {file_node("default.xbe", sample_xbe()),
                    dir_node("maps", {file_node("a.bin", pattern_bytes(1 * MiB, 1)),
                                      file_node("b.bin", pattern_bytes(3 * MiB, 2))})});
  const uint64_t fresh = xbe + 4 * MiB + 3 * MiB, over_old = xbe + 1 * MiB + 3 * MiB;
  struct {
    const char* what;
    bool old_copy;  // the output already holds default.xbe and maps/b.bin
    std::vector<std::pair<std::string, std::string>> faults;
    uint64_t needed;  // 0: the import must succeed
  } cases[] = {
      {"readdir fails", false, {{"QM_FAULT_READDIR", "1"}}, 0},
      {"one byte short", false, {{"QM_FAULT_FREE_BYTES", std::to_string(fresh - 1)}}, fresh},
      {"just enough", false, {{"QM_FAULT_FREE_BYTES", std::to_string(fresh)}}, 0},
      {"over an old copy, one byte short",
       true,
       {{"QM_FAULT_FREE_BYTES", std::to_string(over_old - 1)}},
       over_old},
      {"over an old copy, just enough",
       true,
       {{"QM_FAULT_FREE_BYTES", std::to_string(over_old)}},
       0},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    const std::string src = dir / "src", out = dir / "out";
    ASSERT_TRUE(write_folder(src, tree));
    if (c.old_copy) {
      write_file(out + "/default.xbe", pattern_bytes(static_cast<size_t>(xbe), 7));
      write_file(out + "/maps/b.bin", pattern_bytes(3 * MiB, 8));
    }
    const std::vector<std::string> before = list_tree(out);
    process_output r;
    if (!run_qmimport_with_faults({src, out}, c.faults, &r))
      GTEST_SKIP() << "no faults can be preloaded on this platform";
    std::string error;
    if (c.faults[0].first == "QM_FAULT_READDIR") {
      error = "qmimport: error -3: cannot list folder " + src + "\n";
    } else if (c.needed) {
      char text[400];
      std::snprintf(text, sizeof text,
                    "qmimport: error -8: not enough free space in %s: the import needs %.1f MB "
                    "more, %.1f MB are free\n",
                    out.c_str(), c.needed / 1048576.0, (c.needed - 1) / 1048576.0);
      error = text;
    }
    EXPECT_EQ(r.exit_code, error.empty() ? 0 : 1) << c.what << ": " << r.err;
    if (error.empty()) {
      EXPECT_EQ(wanted_tree(tree).differences(out), "") << c.what;
    } else {
      EXPECT_EQ(r.err, error) << c.what;
      EXPECT_EQ(list_tree(out), before) << c.what << ": nothing written";
    }
  }
}

#ifndef _WIN32
// The disk fails a write: the flush that finds out, the one while the last files are checked
// or the one at the end, fails the import, and the executable never takes its name. The
// system tells a write error to the first flush that asks, never again.
TEST(ImportTool, AFlushTheDiskFailsFailsTheImport) {
  temp_dir dir;
  const std::string src = dir / "src";
  ASSERT_TRUE(write_folder(src, sample_tree()));
  for (const char* nth : {"1", "2"}) {
    std::string out = dir / "out";
    out += nth;
    process_output r;
    ASSERT_TRUE(run_qmimport_with_faults({src, out}, {{"QM_FAULT_SYNCFS_EIO", nth}}, &r));
    EXPECT_EQ(r.exit_code, 1) << nth;
    const size_t at = r.err.rfind("qmimport: error -8: cannot flush ");
    EXPECT_TRUE(at != std::string::npos &&
                r.err.substr(r.err.size() - 27) == " to the disk (disk error?)\n")
        << nth << ": " << r.err;
    EXPECT_EQ(path_kind(join_out_path(out.c_str(), "default.xbe").c_str(), nullptr), PATH_NONE);
    EXPECT_TRUE(no_part_files(out)) << nth;
  }
}

// Old files in the output free what they hold on their own file system: a sparse one its few
// blocks, a hard-linked one nothing, so with room one byte short of a fresh import's need the
// import is refused. A file system that reports no blocks at all (libfuse without statfs) is
// not full.
TEST(ImportTool, OldFilesFreeOnlyTheirOwnBlocks) {
  enum old_kind { NONE, SPARSE, LINKED };
  const disc_node tree = sample_tree();
  const wanted_tree want(tree);
  const uint64_t fresh = want.bytes + sample_xbe().size();  // the largest file once more
  const struct {
    old_kind old;  // the old copy's files but default.xbe, which frees nothing
    std::pair<std::string, std::string> fault;
  } cases[] = {
      {SPARSE, {"QM_FAULT_FREE_BYTES", std::to_string(fresh - 1)}},
      {LINKED, {"QM_FAULT_FREE_BYTES", std::to_string(fresh - 1)}},
      {NONE, {"QM_FAULT_NO_BLOCKS", "1"}},
  };
  temp_dir dir;
  const loop_mount disk(dir / "disk.img", dir / "disk", 16u << 20);
  if (!disk.failure().empty()) GTEST_SKIP() << disk.failure();
  ASSERT_TRUE(write_folder(dir / "src", tree));
  for (const auto& c : cases) {
    const std::string out = dir / numbered("disk/out", c.old);
    for (const auto& [rel, bytes] : want.files) {
      if (c.old == NONE || rel == "default.xbe") continue;
      const std::string path = join_out_path(out.c_str(), rel.c_str());
      write_file(path, c.old == SPARSE ? std::vector<uint8_t>{} : bytes);
      ASSERT_EQ(c.old == SPARSE ? truncate(path.c_str(), static_cast<off_t>(bytes.size()))
                                : link(path.c_str(), (path + ".kept").c_str()),
                0);
    }
    const std::vector<std::string> before = list_tree(out);
    process_output r;
    ASSERT_TRUE(run_qmimport_with_faults({dir / "src", out}, {c.fault}, &r));
    if (c.old == NONE) {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(want.differences(out), "");
      continue;
    }
    char error[400];
    std::snprintf(error, sizeof error,
                  "qmimport: error -8: not enough free space in %s: the import needs %.1f MB "
                  "more, %.1f MB are free\n",
                  out.c_str(), fresh / 1048576.0, (fresh - 1) / 1048576.0);
    EXPECT_EQ(r.err, error) << c.old;
    EXPECT_EQ(list_tree(out), before) << c.old << ": nothing written";
  }
}
#endif

// Images built to exhaust memory end in a status under a 256 MiB limit; out of memory itself
// (a smaller limit) is a status too, named by the tool.
TEST(ImportTool, HostileImagesUnderAMemoryLimit) {
  const without_disc_list no_list;  // trees of their own
  const std::string too_many =
      "qmimport: error -4: the source lists more entries or longer names than any game disc "
      "(damaged image?)\n";
  struct {
    const char* what;
    std::function<disc_image()> image;
    unsigned long long limit;
    std::string error;  // empty: the import succeeds
  } cases[] = {
      {"48 tables claiming 64 MiB each", claiming_tables_image, 256u << 20, ""},
      {"131,196 paths of 11 KiB", [] { return crowded_image(46, 255, 39); }, 256u << 20, too_many},
      {"302,760 entries in 64 MiB", [] { return crowded_image(0, 0, 90); }, 64u << 20,
       "qmimport: error -9: out of memory\n"},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    ASSERT_TRUE(c.image().save(dir / "disc.iso"));
    process_output r;
    if (!run_process_memory_limited(sibling_exe("qmimport_sample"), {dir / "disc.iso", dir / "out"},
                                    c.limit, &r))
      GTEST_SKIP() << "no memory limit on this platform or in this build";
    EXPECT_EQ(r.exit_code, c.error.empty() ? 0 : 1) << c.what << ": " << r.err;
    if (!c.error.empty()) {
      EXPECT_EQ(r.err, c.error) << c.what;
    }
  }
}

#ifndef _WIN32
// Every file written, and every folder the import made an entry in, is on the disk before
// default.xbe takes its name, `maps` linked to a second file system included (when the test
// may mount one): by one flush of each volume where that reaches, and file by file on FUSE
// file systems, where it reaches nothing (the fault shim says every one is FUSE).
TEST(ImportTool, FilesAreOnTheDiskBeforeTheExecutableTakesItsName) {
  const std::string strace = "/usr/bin/strace";
  if (path_kind(strace.c_str(), nullptr) != PATH_FILE) GTEST_SKIP() << "no strace";
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", sample_tree()));
  const std::string other = dir / "other";
  const loop_mount other_disk(dir / "other.img", other, 16u << 20);
  const bool mounted = other_disk.failure().empty();
  for (const bool fuse : {false, true}) {
    SCOPED_TRACE(fuse ? "FUSE" : "a disk");
    const std::string out = dir / numbered("out", fuse), log = dir / numbered("trace", fuse);
    make_dirs(out.c_str());
    if (mounted) {
      const std::string maps = other + numbered("/maps", fuse);
      make_dirs(maps.c_str());
      ASSERT_EQ(symlink(maps.c_str(), (out + "/maps").c_str()), 0);
    }
    // LeakSanitizer cannot run under ptrace. -y names the file behind every descriptor.
    std::vector<std::string> args = {"-f",
                                     "-qq",
                                     "-y",
                                     "-o",
                                     log,
                                     "-E",
                                     "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0",
                                     "-e",
                                     "trace=fsync,fdatasync,syncfs,rename,renameat,renameat2"};
    if (fuse)
      args.insert(args.end(), {"-E", "LD_PRELOAD=" + exe_dir() + "/libqm_fault_shim.so", "-E",
                               "QM_FAULT_FUSE=1"});
    args.insert(args.end(), {sibling_exe("qmimport_sample"), dir / "src", out});
    process_output r = run_process(strace, args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // In the order traced, up to the executable's rename: each flush, by the real path behind
    // it, and where each file took its name.
    std::vector<std::pair<std::string, std::string>> calls;  // call, path
    bool renamed = false;
    for (const std::string& line : lines_of(read_text(log))) {
      // A call the other thread interrupted is split in two lines; the tool's exit status
      // says whether it succeeded.
      if (line.find(" = 0") == std::string::npos && line.find("<unfinished") == std::string::npos)
        continue;
      if (line.find("rename") != std::string::npos) {
        const size_t to = line.rfind(", \"");
        const std::string target = line.substr(to + 3, line.find('"', to + 3) - to - 3);
        if (target == join_out_path(out.c_str(), "default.xbe")) {
          renamed = true;
          break;
        }
        calls.emplace_back("rename", target);
        continue;
      }
      const size_t open = line.find('('), from = line.find('<', open), to = line.find('>', from);
      if (from != std::string::npos && to != std::string::npos)
        calls.emplace_back(
            line.substr(line.find_last_of(' ', open) + 1, open - line.find_last_of(' ', open) - 1),
            line.substr(from + 1, to - from - 1));
    }
    ASSERT_TRUE(renamed) << "no rename of the executable traced";
    auto real = [&](const std::string& rel) {
      char buf[PATH_MAX];
      const std::string p = join_out_path(out.c_str(), rel.c_str());
      return realpath(p.c_str(), buf) ? std::string(buf) : p;
    };
    auto device = [](const std::string& path) {  // of its folder: a ".part" is gone by now
      struct stat st;
      return stat(path.substr(0, path.rfind('/')).c_str(), &st) == 0 ? st.st_dev : dev_t(-1);
    };
    // Flushed itself, or its whole volume flushed after it took its name.
    auto flushed = [&](const std::string& path, const std::string& named_as) {
      size_t from = 0;
      for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].first == "rename" && calls[i].second == named_as) from = i;
      for (size_t i = from; i < calls.size(); ++i) {
        if (calls[i].first == "rename") continue;
        if (calls[i].second == path && calls[i].first != "syncfs") return true;
        if (!fuse && calls[i].first == "syncfs" && device(calls[i].second) == device(path))
          return true;
      }
      return false;
    };
    for (const auto& [rel, bytes] : wanted_tree(sample_tree()).files) {
      const bool xbe = rel == "default.xbe";
      const std::string path = xbe ? real("") + "/default.xbe.part" : real(rel);
      EXPECT_TRUE(flushed(path, xbe ? "" : join_out_path(out.c_str(), rel.c_str())))
          << path << " not flushed";
    }
    for (const std::string& rel : wanted_tree(sample_tree()).paths) {
      if (rel.back() == '/') {
        EXPECT_TRUE(flushed(real(rel.substr(0, rel.size() - 1)), "")) << rel;
      }
    }
    EXPECT_TRUE(flushed(real(""), "")) << "the game folder is not flushed";
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const auto& c) { return c.first == "syncfs"; }) > 0,
              !fuse)
        << "a volume is flushed as a whole only where that reaches";
  }
  if (!mounted)
    GTEST_SKIP() << "flushes checked, without a second file system: " << other_disk.failure();
}
#endif

}  // namespace
