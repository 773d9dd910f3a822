// The launcher's portable rules: kit and stamp files, the chosen file, the skip switch, the
// progress text and throttle, the command lines, a broken game folder's lines, the disc
// candidates beside the launcher.
#include <gtest/gtest.h>

#include "import.h"
#include "launcher_rules.h"
#include "paths.h"
#include "testutil.h"

namespace {

TEST(KitVersion, ReadsTheFirstVersionString) {
  const std::string v127(127, 'v');
  struct {
    std::string text;
    std::string version;
  } cases[] = {
      {R"({"name": "kit", "version": "1.2", "x": "y"})", "1.2"},
      {"{\"version\"\n:\n\"2026.12-rc1\"}", "2026.12-rc1"},
      {R"({"version": ""})", ""},
      {R"({"version": "a", "version": "b"})", "a"},
      {R"({"versions": "1.0", "version": "2.0"})", "2.0"},  // the key with its quotes
      {R"({"version": 3, "name": "x"})",
       "name"},                     // no JSON: the next two quotes, whatever they hold
      {R"({"version": "1.2)", ""},  // no closing quote
      {R"({"version": 1})", ""},    // no quotes at all
      {R"({"name": "kit"})", ""},
      {"", ""},
      {"{\"version\": \"" + v127 + "\"}", v127},
      {"{\"version\": \"" + v127 + "w\"}", ""},                   // 128 characters count as none
      {std::string("{\"x\": 1}\0{\"version\": \"9\"}", 25), ""},  // nothing after a NUL counts
  };
  for (const auto& c : cases) EXPECT_EQ(kit_version_from_text(c.text), c.version) << c.text;
}

TEST(KitVersion, ReadsOnlyTheFileHead) {
  temp_dir dir;
  EXPECT_EQ(read_kit_version((dir / "missing.json").c_str()), "");
  // The key must start within the first 4,095 bytes and the value end within them.
  std::string pad(4095 - std::string(R"({"version": "1.4"})").size(), ' ');
  write_file(dir / "fits.json", pad + R"({"version": "1.4"})");
  EXPECT_EQ(read_kit_version((dir / "fits.json").c_str()), "1.4");
  write_file(dir / "beyond.json", pad + R"(  {"version": "1.4"})");  // closing quote at 4,095
  EXPECT_EQ(read_kit_version((dir / "beyond.json").c_str()), "");
}

TEST(BuildStamp, FirstLineOnly) {
  const std::string s127(127, 's');
  struct {
    std::string text;
    std::string stamp;
  } cases[] = {
      {"1.2\r\nbuilt later\r\n", "1.2"},
      {"1.2\n", "1.2"},
      {"1.2\r", "1.2"},
      {"1.2", "1.2"},
      {"\r\n1.2", ""},
      {"", ""},
      {s127 + "tail", s127},
      {" 1.2 \n", " 1.2 "},
      {std::string("1.\0002", 4), "1."},
  };
  for (const auto& c : cases) EXPECT_EQ(build_stamp_from_text(c.text), c.stamp) << c.text;

  temp_dir dir;
  EXPECT_EQ(read_build_stamp((dir / "stamp").c_str()), "");
  write_file(dir / "stamp", "3.0\r\nnext\r\n");
  EXPECT_EQ(read_build_stamp((dir / "stamp").c_str()), "3.0");
}

TEST(BuildStamp, DecidesTheRebuild) {
  struct {
    const char* kit;
    const char* stamp;
    int differs;
  } cases[] = {
      {"1.2", "1.2", 0}, {"", "1.2", 0},     {"", "", 0},   {"1.3", "1.2", 1},
      {"1.2", "", 1},    {"1.2", "1.2 ", 1}, {"A", "a", 1},  // exact and case-sensitive
  };
  for (const auto& c : cases)
    EXPECT_EQ(kit_differs_from_stamp(c.kit, c.stamp), c.differs) << c.kit << " / " << c.stamp;
}

TEST(ChosenFile, DefaultXbeStandsForItsFolder) {
  struct {
    const wchar_t* chosen;
    const wchar_t* source;
  } cases[] = {
      {L"D:\\rip\\DEFAULT.XBE", L"D:\\rip"},
      {L"D:\\rip\\default.xbe", L"D:\\rip"},
      {L"D:/rip/Default.Xbe", L"D:/rip"},
      {L"\\\\server\\share\\game\\default.xbe", L"\\\\server\\share\\game"},
      {L"E:\\default.xbe", L"E:\\"},  // the drive's root, not its current folder
      {L"E:/default.xbe", L"E:/"},
      {L"\\default.xbe", L"\\"},
      {L"D:\\rip\\xdefault.xbe", L"D:\\rip\\xdefault.xbe"},  // a file of its own
      {L"D:\\rip\\default.xbe.iso", L"D:\\rip\\default.xbe.iso"},
      {L"D:\\images\\quillmoor.iso", L"D:\\images\\quillmoor.iso"},
      {L"D:\\rip\\default.xb", L"D:\\rip\\default.xb"},
      {L"default.xbe", L"default.xbe"},
      {L"D:\\\x30B2\x30FC\x30E0\\default.xbe", L"D:\\\x30B2\x30FC\x30E0"},
  };
  for (const auto& c : cases) {
    std::wstring got = import_source_for_choice(c.chosen);
    EXPECT_TRUE(got == c.source) << "case " << (&c - cases);
  }
}

TEST(SkipSwitch, OnlyANonEmptyValueNotStartingWithZero) {
  struct {
    const char* value;
    int skipped;
  } cases[] = {
      {nullptr, 0}, {"", 0},    {"0", 0},  {"0x", 0},    {"00", 0},
      {"1", 1},     {"yes", 1}, {" 0", 1}, {"false", 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(xbe_check_skipped(c.value), c.skipped) << (c.value ? c.value : "(unset)");
}

TEST(Progress, LabelText) {
  const uint64_t mb = 1048576;
  // No path: a ZIP archive's first reading, before any file is copied.
  EXPECT_EQ(progress_label_text(700 * mb, 7000 * mb, nullptr),
            "Reading the disc...\n\n\n\n700 of 7000 MB (10%)");
  EXPECT_EQ(progress_label_text(512 * 1024, 4 * mb, "maps/ui.map"),
            "Copying your game files...\n\nmaps/ui.map\n\n0 of 4 MB (12%)");
  EXPECT_EQ(progress_label_text(3 * mb, 3 * mb, "media/x.bik"),
            "Copying your game files...\n\nmedia/x.bik\n\n3 of 3 MB (100%)");
  // 4.5 GB of game files: no overflow in the percentage.
  EXPECT_EQ(progress_label_text(4608 * mb - 1, 4608 * mb, "a"),
            "Copying your game files...\n\na\n\n4608 of 4608 MB (99%)");
  EXPECT_EQ(progress_label_text(3 * mb, 3 * mb, IMPORT_FINISHING), "Writing the files to disk...");
  // The label's buffer holds 511 bytes; a long path is cut, not overrun.
  EXPECT_EQ(progress_label_text(1, 2, std::string(600, 'p').c_str()).size(), 511u);
}

TEST(Progress, AtMostEveryTenthSecondButNeverTheLast) {
  struct {
    uint32_t now, last;
    uint64_t done, total;
    int due;
  } cases[] = {
      {1000, 950, 10, 100, 0},        {1000, 900, 10, 100, 1}, {1000, 901, 10, 100, 0},
      {1000, 999, 100, 100, 1},       {1000, 1000, 0, 0, 1},  // an empty import finishes too
      {5, 0xFFFFFFF0u, 10, 100, 0},  // 21 ms across the wrap of the tick count
      {100, 0xFFFFFFF0u, 10, 100, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(progress_update_due(c.now, c.last, c.done, c.total), c.due) << c.now << " " << c.last;
}

// Feeds `rate` a copy running at each phase's speed, sampled every `step_ms`, from `tick`.
struct rate_phase {
  uint32_t ms;
  double mb_per_s;
  uint32_t step_ms;
};
uint32_t feed(moving_rate& rate, uint32_t tick, uint64_t& done,
              std::initializer_list<rate_phase> phases) {
  for (const rate_phase& p : phases) {
    for (uint32_t t = 0; t < p.ms; t += p.step_ms) {
      tick += p.step_ms;
      done += static_cast<uint64_t>(p.mb_per_s * 1048576.0 * p.step_ms / 1000.0);
      rate.add(tick, done);
    }
  }
  return tick;
}

TEST(Progress, SpeedIsAveragedOverTheLastSeconds) {
  struct {
    const char* what;
    uint32_t start;
    std::initializer_list<rate_phase> phases;
    double mb_per_s;
  } cases[] = {
      {"no sample yet", 0, {}, 0},
      {"one sample", 0, {{100, 10, 100}}, 0},
      {"steady", 0, {{10000, 10, 100}}, 10},
      // The whole run averages 26.9 MB/s; the last five seconds ran at 5.
      {"slowed down", 0, {{10000, 40, 100}, {6000, 5, 100}}, 5},
      {"across the wrap of the tick count", 0xFFFFF000u, {{10000, 20, 100}}, 20},
      {"stalled", 0, {{3000, 20, 100}, {6000, 0, 100}}, 0},
      {"more samples than slots", 0, {{3000, 8, 10}}, 8},
  };
  for (const auto& c : cases) {
    moving_rate rate;
    uint64_t done = 0;
    feed(rate, c.start, done, c.phases);
    EXPECT_NEAR(rate.bytes_per_second() / 1048576.0, c.mb_per_s, 0.05) << c.what;
  }
}

TEST(Progress, TimeLeftText) {
  struct {
    double seconds;
    const char* text;
  } cases[] = {
      {0, "less than a minute"}, {59.9, "less than a minute"},
      {60, "1 minute"},          {89, "1 minute"},
      {90, "2 minutes"},         {3600, "60 minutes"},
      {1e12, "1000000 minutes"},  // a crawling copy: capped, no overflow
  };
  for (const auto& c : cases) EXPECT_EQ(time_left_text(c.seconds), c.text) << c.seconds;

  const uint64_t mb = 1048576;
  struct {
    std::initializer_list<rate_phase> phases;
    uint64_t total;
    std::string suffix;
  } runs[] = {
      {{{2000, 10, 100}}, 1000 * mb, ""},  // 1.9 s from the first sample: no estimate yet
      {{{2100, 10, 100}}, 700 * mb, " - 10 MB/s, about 1 minute left"},  // 679 MB at 10
      {{{3000, 20, 100}, {6000, 0, 100}}, 100 * mb, ""},                 // nothing moves: no guess
      {{{3000, 20, 100}}, 60 * mb, " - 20 MB/s, about less than a minute left"},  // finished
  };
  for (const auto& r : runs) {
    moving_rate rate;
    uint64_t done = 0;
    feed(rate, 1000, done, r.phases);
    EXPECT_EQ(speed_and_time_left(done, r.total, rate), r.suffix) << r.suffix;
  }
}

TEST(ImportFailure, TwoPartMessage) {
  EXPECT_EQ(
      import_failure_text(-4, "not an Xbox disc image"),
      "The import did not finish:\n\nnot an Xbox disc image\n\nNothing of yours was changed.");
  EXPECT_EQ(import_failure_text(-7, "default.xbe is not the supported build"),
            "The import did not finish:\n\ndefault.xbe is not the supported build\n\nThis build "
            "runs one version of Quillmoor only (the original retail disc). Nothing of yours was "
            "changed.");
  EXPECT_EQ(import_failure_text(-9, ""),
            "The import did not finish:\n\nout of memory\n\nNothing of yours was changed.");
  EXPECT_EQ(import_failure_text(-9, nullptr),
            "The import did not finish:\n\nout of memory\n\nNothing of yours was changed.");
}

TEST(BoxText, FirstPlaceholderFilledWithTheValueAsItIs) {
  EXPECT_EQ(filled("in %s, not %s", "C:\\100%s %d"), "in C:\\100%s %d, not %s");
}

TEST(CommandLine, ArgumentsAfterTheProgramName) {
  struct {
    const wchar_t* line;
    const wchar_t* arguments;
  } cases[] = {
      {L"\"C:\\Open Quillmoor\\OpenQuillmoor.exe\"", L""},
      {L"\"C:\\Open Quillmoor\\OpenQuillmoor.exe\" ", L""},
      {L"\"C:\\Open Quillmoor\\OpenQuillmoor.exe\"  -w  \"a b\" ", L"-w  \"a b\" "},
      {L"OpenQuillmoor.exe\t--fullscreen", L"--fullscreen"},
      {L"C:\\q\\OpenQuillmoor.exe \\\"x\\\" \x30AF\x30A4\x30EB", L"\\\"x\\\" \x30AF\x30A4\x30EB"},
      {L"\"C:\\q\\Open\"Quillmoor.exe x", L"x"},
      {L"\"C:\\Open Quill\"moor.exe  x", L"x"},
      {L"OpenQuillmoor.exe\r\n-w", L"-w"},
      {L"OpenQuillmoor.exe\v-w", L"-w"},
      {L"\"unterminated", L""},
      {L"", L""},
  };
  for (const auto& c : cases) {
    std::wstring got = arguments_after_program_name(c.line);
    EXPECT_TRUE(got == c.arguments) << "case " << (&c - cases);
  }
  EXPECT_TRUE(arguments_after_program_name(nullptr).empty());
  EXPECT_TRUE(game_command_line(L"") == L"\"quillmoor_recomp.exe\" ");
  EXPECT_TRUE(game_command_line(L"-w \"a b\"") == L"\"quillmoor_recomp.exe\" -w \"a b\"");
}

TEST(CommandLine, OwnFolderKeepsADriveRootWhole) {
  struct {
    const wchar_t* program;
    const wchar_t* folder;
  } cases[] = {
      {L"C:\\Games\\Open Quillmoor\\OpenQuillmoor.exe", L"C:\\Games\\Open Quillmoor\\"},
      {L"E:\\OpenQuillmoor.exe", L"E:\\"},
      {L"\\\\server\\share\\OpenQuillmoor.exe", L"\\\\server\\share\\"},
      {L"OpenQuillmoor.exe", L""},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(folder_of_program(c.program) == c.folder) << "case " << (&c - cases);
}

TEST(CommandLine, ProgramsByTheirFullPath) {
  struct {
    const wchar_t* folder;
    const wchar_t* path;
  } cases[] = {
      {L"C:\\Windows\\system32", L"C:\\Windows\\system32\\cmd.exe"},
      {L"C:\\", L"C:\\cmd.exe"},
      {L"", L"cmd.exe"},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(path_in_folder(c.folder, L"cmd.exe") == c.path) << "case " << (&c - cases);
}

TEST(OneDrive, FolderComparedAsAPath) {
  struct {
    const wchar_t* path;
    const wchar_t* root;
    int within;
  } cases[] = {
      {L"C:\\Users\\me\\OneDrive\\Games\\Open Quillmoor", L"C:\\Users\\me\\OneDrive", 1},
      {L"C:\\Users\\me\\OneDrive", L"C:\\Users\\me\\OneDrive", 1},
      {L"c:\\users\\ME\\onedrive\\games", L"C:\\Users\\me\\OneDrive", 1},
      {L"C:\\Users\\Andr\xE9\\OneDrive\\q", L"C:\\USERS\\ANDR\xC9\\ONEDRIVE", 1},
      {L"C:\\Users\\me\\OneDrive\\q", L"C:/Users//me/OneDrive/", 1},
      {L"\\\\?\\C:\\Users\\me\\OneDrive\\q", L"C:\\Users\\me\\OneDrive", 1},
      {L"\\\\?\\UNC\\srv\\home\\OneDrive\\q", L"\\\\srv\\home\\OneDrive", 1},
      {L"C:\\Games\\q", L"C:\\", 1},
      {L"C:\\Users\\me\\OneDrive Backup\\q", L"C:\\Users\\me\\OneDrive", 0},
      {L"C:\\Users\\me", L"C:\\Users\\me\\OneDrive", 0},
      {L"C:\\Users\\me\\OneDrive\\q", L"", 0},  // unset
  };
  for (const auto& c : cases)
    EXPECT_EQ(path_within(c.path, c.root), c.within) << "case " << (&c - cases);
}

TEST(OneDrive, SyncedByARootOrByCloudAttributes) {
  const std::vector<std::wstring> none = {L"", L"", L""};
  const std::vector<std::wstring> business = {L"", L"", L"D:\\Work\\OneDrive - Firm"};
  const uint32_t directory = 0x10;
  struct {
    const wchar_t* folder;
    uint32_t attributes;
    const std::vector<std::wstring>& roots;
    int synced;
  } cases[] = {
      {L"C:\\Games\\Open Quillmoor", directory, none, 0},
      {L"D:\\Work\\OneDrive - Firm\\Open Quillmoor", directory, business, 1},
      {L"C:\\Games\\Open Quillmoor", directory | ATTRIBUTE_PINNED, none, 1},
      {L"C:\\Games\\Open Quillmoor", directory | ATTRIBUTE_UNPINNED, none, 1},
      {L"C:\\Games\\Open Quillmoor", directory | ATTRIBUTE_RECALL_ON_DATA_ACCESS, none, 1},
      {L"C:\\Games\\Open Quillmoor", NO_ATTRIBUTES, none, 0},  // attributes unknown
  };
  for (const auto& c : cases)
    EXPECT_EQ(synced_by_onedrive(c.folder, c.attributes, c.roots), c.synced)
        << "case " << (&c - cases);
}

TEST(BrokenGame, FiveFilesNamedTheRestCounted) {
  broken_game_files files;
  EXPECT_EQ(broken_files_lines(files), "");
  const std::pair<int, const char*> problems[] = {
      {GAME_FILE_MISSING, "media/logo.bik"},
      {GAME_FILE_LEFTOVER, "maps/a.map.part"},
      {GAME_FOLDER_LINK, "maps/loop"},
      {GAME_FILE_SHORT, "maps/sub/a.map"},
      {GAME_FILE_TWIN, "maps/SHARED.MAP"},
      {GAME_FOLDER_UNREADABLE, "media/ui"},
      {GAME_FILE_LEFTOVER, "import.lock"},
      {GAME_FOLDER_UNREADABLE, ""},
      {GAME_FILE_MISSING, "f"},
      {GAME_FILE_SHORT, "g"},
  };
  for (const auto& [problem, path] : problems) add_broken_file(files, problem, path);
  EXPECT_EQ(broken_files_lines(files),
            "missing: media\\logo.bik\ndamaged: maps\\sub\\a.map\ndamaged: maps\\SHARED.MAP\n"
            "unreadable: media\\ui\nunreadable: game\n... and 2 more");
}

TEST(DiscBeside, CandidatesOneLevelDownAtMost) {
  temp_dir dir;
  for (const char* file :
       {"b.iso", "A.CSO", "notes.txt", "split.1.cci", "split.2.cci", "lone v1.2.iso",
        "rip/DEFAULT.XBE", "rip/maps/x.map", "zipped/q.zip", "zipped/deeper/q.iso",
        "deeper/rip/default.xbe", "game/default.xbe", "game/q.iso", "GAME2/default.xbe"})
    write_file(dir / file, "");
  const std::string root = dir.path();
  auto in = [&](const char* rel) { return join_out_path(root.c_str(), rel); };
  std::vector<std::string> all = {in("A.CSO"), in("b.iso"), in("lone v1.2.iso"), in("split.1.cci"),
                                  in("GAME2"), in("rip"),   in("zipped/q.zip")};
  EXPECT_EQ(disc_candidates(root.c_str(), 16), all);
  all.resize(5);
  EXPECT_EQ(disc_candidates(root.c_str(), 5), all);
  EXPECT_EQ(disc_candidates((dir / "missing").c_str(), 16), std::vector<std::string>{});
}

}  // namespace
