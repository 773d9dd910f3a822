// OpenQuillmoor as the player meets it: started in a release folder with a stand-in build
// kit, answered through its real windows, judged by its exit code, the files it left and
// the command lines the stand-ins recorded.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver.h"
#include "fs.h"
#include "image_writer.h"
#include "launcher_rules.h"
#include "launcher_texts.h"
#include "paths.h"
#include "sample_xbe.h"
#include "testutil.h"
#include "wanted_tree.h"

namespace {

// The texts the player reads, exactly: the launcher's own, with their "%s" filled.
std::string not_writable(const std::string& folder) { return filled(NOT_WRITABLE, folder); }
std::string found_disc(const std::string& path) { return filled(FOUND_DISC, path); }
std::string broken_game(const std::string& lines) { return filled(BROKEN_GAME, lines); }
std::string onedrive_warning(const std::string& folder) { return filled(ONEDRIVE, folder); }

// The build's command line and the launcher's log lines, exactly.
const char BUILD_COMMAND[] =
    "cmd.exe /c \"python\\python.exe -I tools\\rara\\build.py || (echo. & echo Press a key to "
    "close this window. & pause >nul & exit /b 1)\"";
const char VERIFIED[] = "[RARA] game\\default.xbe: retail SHA-256 OK\n";
const char SKIPPED[] = "[RARA] XBE hash check skipped (RECOMP_SKIP_XBE_CHECK)\n";
const std::string WRONG_LINE =
    std::string("[RARA] game\\default.xbe is not the supported retail build (want SHA-256 ") +
    SAMPLE_XBE_SHA256 + ")\n";

// "クイルムア" (Quillmoor in katakana), outside any Western ANSI code page.
const char JP[] = "\xE3\x82\xAF\xE3\x82\xA4\xE3\x83\xAB\xE3\x83\xA0\xE3\x82\xA2";
// "Open Quillmoor ゲーム é": Japanese and an accented letter, as players name folders.
const char RELEASE_JP[] = "Open Quillmoor \xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0 \xC3\xA9";
// "André (old)": a user folder with an accent, a space and parentheses.
const char ANDRE_OLD[] = "Andr\xC3\xA9 (old)";

// The system's command processor, where Windows keeps it.
std::string system_cmd() {
  wchar_t folder[MAX_PATH];
  UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  return n && n < MAX_PATH ? wide_to_utf8(folder) + "\\cmd.exe" : std::string();
}

// How the stand-in command processor's record begins when the launcher ran the build: the
// system's program (not a cmd.exe beside the launcher) with the build command.
std::string build_record() {
  return "program " + system_cmd() + "\ncommand " + std::string(BUILD_COMMAND) + "\n";
}

void copy_exe(const std::string& base, const std::string& to) {
  std::string from = sibling_exe(base);
  write_file(to, "");  // creates the parent folders
  ASSERT_TRUE(CopyFileW(wide(from).c_str(), wide(to).c_str(), FALSE)) << from << " -> " << to;
}

// A release folder as the player unzips it: the launcher, the Python runtime and the build
// script (stand-ins), the kit description; no game files, no game program yet. And a cmd.exe
// beside the launcher, as one can land in a Downloads folder: it must never run (it is the
// stand-in, which would record its own path).
class release {
 public:
  // In a fresh temporary folder, or in `parent`, which goes again with the release.
  explicit release(const std::string& name = "Open Quillmoor", const std::string& parent = "")
      : parent_(parent),
        root_(join_out_path((parent.empty() ? base_.path() : parent).c_str(), name.c_str())),
        run_root_(root_) {
    copy_exe("OpenQuillmoor_sample", path("OpenQuillmoor.exe"));
    put_kit();
  }
  // Our zip as the player unpacked it into `folder`: its launcher, and the kit put beside it.
  struct unpacked {
    std::string folder;
  };
  explicit release(const unpacked& zip) : root_(zip.folder), run_root_(root_) { put_kit(); }
  ~release() {
    if (!parent_.empty()) remove_tree(parent_);
  }
  std::string path(const std::string& rel) const {
    return join_out_path(root_.c_str(), rel.c_str());
  }
  const std::string& root() const { return root_; }
  const std::string& base() const { return base_.path(); }

  // The sample disc's game files as an import leaves them, with `xbe` as the executable.
  void put_game_files(const std::vector<uint8_t>& xbe = sample_xbe()) {
    for (const auto& [rel, data] : wanted_tree(sample_tree()).files)
      write_file(path("game\\" + rel), rel == "default.xbe" ? xbe : data);
  }
  // A game program built earlier from kit `stamp`.
  void put_built_game(const std::string& stamp = "1.2\r\n") {
    copy_exe("launcher_standin_game", path("quillmoor_recomp.exe"));
    write_file(path("build\\stamp"), stamp);
  }

  // The launcher is started from `root`, another view of the same folder (a read-only mount).
  void run_from(const std::string& root) { run_root_ = root; }
  // Starts the launcher (from its own folder unless `folder` is given).
  bool start(const std::wstring& arguments = L"",
             const std::optional<std::string>& skip = std::nullopt,
             const std::string& folder = "") {
    return launcher.start(join_out_path(run_root_.c_str(), "OpenQuillmoor.exe"), arguments,
                          folder.empty() ? run_root_ : folder, skip);
  }
  // The box titled `title`: its text, after pressing `button`; a screenshot of it first when
  // `shot` names one. "(no window)" when none came.
  std::string answer(const std::string& title, int button, const std::string& shot = "") {
    HWND box = wait_window(launcher, title);
    if (!box) return "(no window)";
    std::string text = message_text(box);
    if (!shot.empty()) {
      EXPECT_TRUE(screenshot(exe_dir() + "\\screenshot-" + shot + ".png"));
      std::printf("%s box: %s\n", shot.c_str(), text.c_str());
    }
    EXPECT_TRUE(press(box, button)) << title;
    return text;
  }
  std::string log(const std::string& rel) const { return read_text(path(rel)); }
  bool exists(const std::string& rel) const {
    return path_kind(path(rel).c_str(), nullptr) != PATH_NONE;
  }

  launcher_process launcher;

 private:
  void put_kit() {
    copy_exe("launcher_standin_cmd", path("cmd.exe"));
    copy_exe("launcher_standin_python", path("python\\python.exe"));
    copy_exe("launcher_standin_game", path("python\\game_standin.exe"));
    write_file(path("tools\\rara\\build.py"), "# the build script\n");
    write_file(path("kit\\kit.json"),
               "{\n  \"name\": \"quillmoor kit\",\n  \"version\": \"1.2\"\n}\n");
  }

  temp_dir base_;
  std::string parent_;
  std::string root_;
  std::string run_root_;
};

std::string game_log_for(const release& r, const std::string& arguments) {
  return "command \"quillmoor_recomp.exe\" " + arguments + "\nfolder " + r.root() + "\n";
}

// Waits for the game stand-in's record (the launcher does not wait for the game).
std::string wait_game_log(const release& r) {
  for (int i = 0; i < 500 && !r.exists("game_log.txt"); ++i) Sleep(20);
  Sleep(100);
  return r.log("game_log.txt");
}

// Without a window manager on the X display, wine's X11 driver waits two seconds for every
// closing window to be acknowledged as withdrawn (measured: each box took 2,030 ms to go).
// Unmanaged windows are closed at once; the setting is restored after the run.
class unmanaged_windows : public ::testing::Environment {
 public:
  void SetUp() override {
    setting_ = std::make_unique<scoped_user_setting>(L"Software\\Wine\\X11 Driver", L"Managed",
                                                     REG_SZ, L"N", DWORD{2 * sizeof(wchar_t)});
  }
  void TearDown() override { setting_.reset(); }

 private:
  std::unique_ptr<scoped_user_setting> setting_;
};

[[maybe_unused]] ::testing::Environment* const unmanaged =
    ::testing::AddGlobalTestEnvironment(new unmanaged_windows);

// The stand-in command processor where Windows keeps the system's, for the run, in the flows'
// own wine prefix (run_flows); the system's is put back afterwards.
class stand_in_system_cmd : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_FALSE(system_cmd().empty());
    // A run killed before TearDown left the stand-in in place and the system's saved.
    if (GetFileAttributesW(saved_.c_str()) == INVALID_FILE_ATTRIBUTES) {
      ASSERT_TRUE(MoveFileW(cmd_.c_str(), saved_.c_str()));
    }
    ASSERT_TRUE(CopyFileW(wide(sibling_exe("launcher_standin_cmd")).c_str(), cmd_.c_str(), FALSE));
  }
  void TearDown() override {
    if (DeleteFileW(cmd_.c_str())) MoveFileW(saved_.c_str(), cmd_.c_str());
  }

 private:
  std::wstring cmd_ = wide(system_cmd()), saved_ = cmd_ + L".saved-by-flows";
};

[[maybe_unused]] ::testing::Environment* const system_cmd_stand_in =
    ::testing::AddGlobalTestEnvironment(new stand_in_system_cmd);

TEST(LauncherFlow, FirstStartDeclinedWritesNothing) {
  release r;
  std::vector<std::string> before = list_tree(r.root());
  ASSERT_TRUE(r.start());
  EXPECT_EQ(r.answer(GATE_TITLE, IDOK), FIRST_QUESTION);
  // A cancelled dialog asks the first question again.
  HWND dialog = wait_window(r.launcher, DIALOG_TITLE);
  ASSERT_TRUE(dialog);
  ASSERT_TRUE(press(dialog, IDCANCEL));
  HWND again = wait_window(r.launcher, GATE_TITLE);
  ASSERT_TRUE(again);
  EXPECT_EQ(message_text(again), FIRST_QUESTION);
  ASSERT_TRUE(press(again, IDCANCEL));
  EXPECT_EQ(r.launcher.wait_exit(), 1);
  EXPECT_EQ(list_tree(r.root()), before);
  EXPECT_EQ(r.launcher.err(), "");
}

TEST(LauncherFlow, GameStartsWithTheLaunchersArguments) {
  struct {
    std::string folder_name;
    bool started_elsewhere;
    std::string arguments;
  } cases[] = {
      {"Open Quillmoor", false, ""},
      {"Open Quillmoor", true,
       std::string("--save \"C:\\My Saves\\") + JP + "\"  -x " + JP + " \\\"q\\\""},
      {std::string(JP) + " 1.0", true, std::string("--lang ") + JP},
      {std::string(JP) + " 1.0", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder_name + " | " + c.arguments);
    release r(c.folder_name);
    r.put_game_files();
    r.put_built_game();
    temp_dir elsewhere;
    ASSERT_TRUE(
        r.start(wide(c.arguments), std::nullopt, c.started_elsewhere ? elsewhere.path() : ""));
    EXPECT_EQ(r.launcher.wait_exit(), 0);
    EXPECT_EQ(wait_game_log(r), game_log_for(r, c.arguments));
    EXPECT_EQ(r.launcher.err(), VERIFIED);
    EXPECT_FALSE(r.exists("cmd_log.txt"));
    EXPECT_EQ(list_tree(elsewhere.path()), std::vector<std::string>{});
  }
}

TEST(LauncherFlow, ExecutableCheckedAtEveryStartUnlessSwitchedOff) {
  std::vector<uint8_t> wrong = sample_xbe();
  wrong[100] ^= 1;
  struct {
    std::optional<std::string> skip;
    bool skipped;
  } cases[] = {
      {std::nullopt, false}, {"", false}, {"0", false}, {"0x", false}, {"1", true}, {"yes", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.skip ? "RECOMP_SKIP_XBE_CHECK=" + *c.skip : "RECOMP_SKIP_XBE_CHECK unset");
    release r;
    r.put_game_files(wrong);
    r.put_built_game();
    ASSERT_TRUE(r.start(L"", c.skip));
    if (c.skipped) {
      EXPECT_EQ(r.launcher.wait_exit(), 0);
      EXPECT_EQ(r.launcher.err(), SKIPPED);
      EXPECT_EQ(wait_game_log(r), game_log_for(r, ""));
    } else {
      EXPECT_EQ(r.answer(GATE_TITLE, IDOK), WRONG_XBE);
      EXPECT_EQ(r.launcher.wait_exit(), 1);
      EXPECT_EQ(r.launcher.err(), WRONG_LINE);
      EXPECT_FALSE(r.exists("game_log.txt"));
      // The player's files stay as they were.
      EXPECT_EQ(read_file(r.path("game\\default.xbe")), wrong);
    }
  }
}

TEST(LauncherFlow, RebuildOnlyWhenTheKitVersionChanged) {
  const std::string v127(127, '7');
  struct {
    std::optional<std::string> kit;    // kit\kit.json, or none
    std::optional<std::string> stamp;  // build\stamp, or none
    bool build_offered;
  } cases[] = {
      {R"({"version": "1.2"})", "1.2\r\nbuilt 2026-12-01\r\n", false},
      {R"({"version": "1.3"})", "1.2\r\nbuilt 2026-12-01\r\n", true},
      {R"({"version": "1.2"})", std::nullopt, true},
      {std::nullopt, "1.2\r\n", false},
      {R"({"name": "kit"})", "1.2\r\n", false},
      {"{\"version\": \"" + v127 + "8\"}", "1.2\r\n", false},  // 128 characters: no version
      {"{\"version\": \"" + v127 + "\"}", "1.2\r\n", true},
      {"{\"version\": \"" + v127 + "\"}", v127 + "\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((c.kit ? *c.kit : "(no kit.json)") + " | " + (c.stamp ? *c.stamp : "(no stamp)"));
    release r;
    r.put_game_files();
    r.put_built_game();
    remove_tree(r.path("kit\\kit.json"));
    remove_tree(r.path("build\\stamp"));
    if (c.kit) write_file(r.path("kit\\kit.json"), *c.kit);
    if (c.stamp) write_file(r.path("build\\stamp"), *c.stamp);
    ASSERT_TRUE(r.start(L"-w"));
    if (c.build_offered) {
      // Declined: nothing runs, nothing starts.
      EXPECT_EQ(r.answer(LAUNCHER_TITLE, IDCANCEL), BUILD_QUESTION);
      EXPECT_EQ(r.launcher.wait_exit(), 1);
      EXPECT_FALSE(r.exists("cmd_log.txt"));
      EXPECT_FALSE(r.exists("game_log.txt"));
    } else {
      EXPECT_EQ(r.launcher.wait_exit(), 0);
      EXPECT_EQ(wait_game_log(r), game_log_for(r, "-w"));
    }
    EXPECT_EQ(r.launcher.err(), VERIFIED);
  }
}

TEST(LauncherFlow, BuildRunsInTheKitAndItsOutcomeDecides) {
  enum outcome { STARTED, INCOMPLETE_BOX, NOT_BUILT_BOX };
  struct {
    const char* name;
    bool game_program_present;  // stale: built from kit 1.1
    const char* mode;           // standin_build_mode.txt
    const char* remove;         // a part of the kit taken away
    bool python_is_folder;
    outcome expect;
  } cases[] = {
      {"first build", false, "ok", nullptr, false, STARTED},
      {"rebuild for a new kit", true, "ok", nullptr, false, STARTED},
      {"build fails", false, "fail", nullptr, false, NOT_BUILT_BOX},
      {"stale program kept when the rebuild fails", true, "fail", nullptr, false, NOT_BUILT_BOX},
      {"build succeeds without a program", false, "no-program", nullptr, false, NOT_BUILT_BOX},
      {"python missing", false, "ok", "python\\python.exe", false, INCOMPLETE_BOX},
      {"python is a folder", false, "ok", "python\\python.exe", true, INCOMPLETE_BOX},
      {"build script missing", false, "ok", "tools\\rara\\build.py", false, INCOMPLETE_BOX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    release r;
    r.put_game_files();
    if (c.game_program_present) r.put_built_game("1.1\r\n");
    write_file(r.path("standin_build_mode.txt"), c.mode);
    if (c.remove) remove_tree(r.path(c.remove));
    if (c.python_is_folder) {
      ASSERT_EQ(make_dirs(r.path("python\\python.exe").c_str()), 0);
    }
    ASSERT_TRUE(r.start(std::wstring(L"--lang ") + wide(JP)));
    EXPECT_EQ(r.answer(LAUNCHER_TITLE, IDOK), BUILD_QUESTION);
    if (c.expect == INCOMPLETE_BOX) {
      EXPECT_EQ(r.answer(LAUNCHER_TITLE, IDOK), INCOMPLETE);
      EXPECT_EQ(r.launcher.wait_exit(), 1);
      EXPECT_FALSE(r.exists("cmd_log.txt"));
      continue;
    }
    if (c.expect == NOT_BUILT_BOX) {
      EXPECT_EQ(r.answer(LAUNCHER_TITLE, IDOK), NOT_BUILT);
      EXPECT_EQ(r.launcher.wait_exit(), 1);
      EXPECT_FALSE(r.exists("game_log.txt"));
    } else {
      EXPECT_EQ(r.launcher.wait_exit(), 0);
      EXPECT_EQ(wait_game_log(r), game_log_for(r, std::string("--lang ") + JP));
      EXPECT_EQ(r.log("build\\stamp"), "1.2\r\nbuilt by the stand-in\r\n");
    }
    // The launcher ran exactly the build command with the system's command processor, never
    // the cmd.exe beside it, in its own folder, and waited for it.
    std::string cmd_log = r.log("cmd_log.txt");
    EXPECT_EQ(cmd_log.substr(0, build_record().size()), build_record());
    EXPECT_EQ(r.log("python_log.txt"),
              "command python\\python.exe -I tools\\rara\\build.py\nfolder " + r.root() + "\n");
    bool failed = std::string(c.mode) == "fail";
    EXPECT_EQ(cmd_log.find("right side") != std::string::npos, failed) << cmd_log;
    EXPECT_TRUE(r.exists("build\\build.log"));
  }
}

TEST(LauncherFlow, GameProgramThatCannotStart) {
  release r;
  r.put_game_files();
  r.put_built_game();
  write_file(r.path("quillmoor_recomp.exe"), "not a program");
  ASSERT_TRUE(r.start());
  EXPECT_EQ(r.answer(LAUNCHER_TITLE, IDOK), filled(NOT_STARTED, "quillmoor_recomp.exe"));
  EXPECT_EQ(r.launcher.wait_exit(), 1);
}

// What the import library says about `source`, learnt from the tool on the same input: its
// status and message, and the folder it imported (for comparing trees).
struct tool_import {
  temp_dir out;
  int exit_code = -1;
  std::string message;  // from "qmimport: error <status>: <message>"
  std::string game() const { return out / "game"; }
};

void import_with_tool(const std::string& source, tool_import& t) {
  // The tool is built one folder up, beside the other end-to-end programs.
  process_output p = run_process(exe_dir() + "\\..\\qmimport_sample.exe", {source, t.game()});
  t.exit_code = p.exit_code;
  // The error is the last thing the tool prints; its message may span lines.
  const std::string marker = "qmimport: error ";
  size_t at = p.err.rfind(marker);
  size_t colon = at == std::string::npos ? at : p.err.find(": ", at + marker.size());
  if (colon == std::string::npos || p.err.back() != '\n') return;
  t.message = p.err.substr(colon + 2, p.err.size() - colon - 3);
}

// Same files and folders with the same contents.
void expect_same_tree(const std::string& got, const std::string& want) {
  std::vector<std::string> tree = list_tree(got);
  ASSERT_EQ(tree, list_tree(want));
  ASSERT_FALSE(tree.empty());
  for (const std::string& rel : tree) {
    if (rel.back() == '/') continue;
    EXPECT_EQ(read_file(join_out_path(got.c_str(), rel.c_str())),
              read_file(join_out_path(want.c_str(), rel.c_str())))
        << rel;
  }
}

std::string failure_box(const std::string& message, bool wrong_build) {
  char text[1200];
  std::snprintf(text, sizeof text, IMPORT_FAILED, message.c_str(),
                wrong_build ? ONE_VERSION_ONLY : NOTHING_CHANGED);
  return text;
}

// Answers the first question and the open-file dialog with `source`.
void choose_in_dialog(release& r, const std::string& source) {
  EXPECT_EQ(r.answer(GATE_TITLE, IDOK), FIRST_QUESTION);
  HWND dialog = wait_window(r.launcher, DIALOG_TITLE);
  ASSERT_TRUE(dialog);
  ASSERT_TRUE(choose_file(dialog, source)) << source;
}

// The first start of a player whose user folder has an accent, a space and parentheses:
// question, disc image chosen, import behind the progress window, build, game. A large file
// makes the import last long enough to be watched; the worker is frozen for the screenshot so
// that it shows the import mid-way.
TEST(LauncherFlow, FirstStartImportsBuildsAndStartsTheGame) {
  without_disc_list no_list;  // a big file the sample disc does not have
  const size_t BIG = 192u << 20;
  disc_node tree = sample_tree();
  for (disc_node& child : tree.children)
    if (child.name == "media")
      child.children.push_back(file_node("intro.bik", std::vector<uint8_t>(BIG, 0x5A)));
  temp_dir discs;
  const std::string downloads = discs / (std::string(ANDRE_OLD) + "\\Downloads");
  ASSERT_EQ(make_dirs(downloads.c_str()), 0);
  const std::string iso = downloads + "\\Quillmoor (Redump).iso";
  image_options options;
  options.partition_base = REDUMP_PARTITION_BASE;
  ASSERT_TRUE(write_image(iso, tree, options));
  tree = {};

  release r(std::string(ANDRE_OLD) + "\\Games\\Open Quillmoor");
  ASSERT_TRUE(r.start());
  HWND question = wait_window(r.launcher, GATE_TITLE);
  ASSERT_TRUE(question);
  EXPECT_EQ(message_text(question), FIRST_QUESTION);
  EXPECT_TRUE(screenshot(exe_dir() + "\\screenshot-question.png"));
  ASSERT_TRUE(press(question, IDOK));
  HWND dialog = wait_window(r.launcher, DIALOG_TITLE);
  ASSERT_TRUE(dialog);
  ASSERT_TRUE(choose_file(dialog, iso));

  HWND progress = wait_window(r.launcher, PROGRESS_TITLE);
  ASSERT_TRUE(progress);
  wchar_t class_name[64] = {};
  GetClassNameW(progress, class_name, 64);
  EXPECT_TRUE(std::wstring(class_name) == L"QuillmoorImport");
  LONG style = GetWindowLongW(progress, GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_FALSE(style & WS_SYSMENU);  // no close box
  // Wait until the big file is part copied, then freeze the worker there.
  auto percent_of = [](const std::string& text) {
    size_t open = text.rfind('(');
    return open == std::string::npos ? -1 : std::atoi(text.c_str() + open + 1);
  };
  // Read as the system holds it: asking the window's busy thread would make the poll
  // slower than a fast disc, which copies the big file in a quarter of a second.
  std::vector<HWND> labels = children_of_class(progress, L"Static");
  ASSERT_EQ(labels.size(), 1u);
  std::string label;
  for (DWORD start = GetTickCount(); GetTickCount() - start < WINDOW_TIMEOUT_MS;) {
    label = window_text(labels[0]);
    if (label.find("media/intro.bik") != std::string::npos && percent_of(label) > 0 &&
        percent_of(label) < 100)
      break;
    if (!IsWindow(progress)) break;
    Sleep(1);
  }
  ASSERT_GT(suspend_other_threads(r.launcher.pid(), progress, true), 0) << label;
  ASSERT_TRUE(IsWindow(progress)) << "the import ended before it was seen part-way: " << label;
  Sleep(300);  // the user-interface thread repaints meanwhile
  label = window_text(labels[0]);
  // Closing is refused while the import runs.
  PostMessageW(progress, WM_CLOSE, 0, 0);
  Sleep(200);
  EXPECT_TRUE(IsWindowVisible(progress));
  EXPECT_TRUE(screenshot(exe_dir() + "\\screenshot-importing.png"));
  suspend_other_threads(r.launcher.pid(), progress, false);
  std::printf("progress label mid-import: %s\n", label.c_str());
  EXPECT_EQ(label.rfind(std::string(COPYING) + "\n\nmedia/intro.bik\n\n", 0), 0u) << label;
  EXPECT_NE(label.find(" of 193 MB ("), std::string::npos) << label;
  EXPECT_GT(percent_of(label), 0) << label;
  EXPECT_LT(percent_of(label), 100) << label;

  EXPECT_EQ(r.answer(LAUNCHER_TITLE, IDOK), BUILD_QUESTION);
  EXPECT_FALSE(IsWindow(progress));
  EXPECT_EQ(r.launcher.wait_exit(), 0);
  EXPECT_EQ(wait_game_log(r), game_log_for(r, ""));
  EXPECT_EQ(r.launcher.err(), VERIFIED);
  std::string cmd_log = r.log("cmd_log.txt");
  EXPECT_EQ(cmd_log.substr(0, build_record().size()), build_record());
  EXPECT_EQ(read_file(r.path("game\\default.xbe")), sample_xbe());
  uint64_t size = 0;
  EXPECT_EQ(path_kind(r.path("game\\media\\intro.bik").c_str(), &size), PATH_FILE);
  EXPECT_EQ(size, BIG);
  EXPECT_FALSE(r.exists("game\\extras"));
}

// A damaged image, then Retry with a good XISO; the game program was built before.
TEST(LauncherFlow, DamagedImageThenRetry) {
  temp_dir discs;
  const std::string damaged = discs / "damaged.iso";
  const std::string good = discs / "good.xiso";
  image_options broken;
  broken.damage = [](disc_image& image, const disc_layout& layout) {
    image.fill(layout.root.pos, 64, 0xEE);  // the root table's first nodes
  };
  ASSERT_TRUE(write_image(damaged, sample_tree(), broken));
  ASSERT_TRUE(write_image(good, sample_tree()));
  tool_import damaged_by_tool, good_by_tool;
  import_with_tool(damaged, damaged_by_tool);
  import_with_tool(good, good_by_tool);
  ASSERT_EQ(damaged_by_tool.exit_code, 1);
  ASSERT_FALSE(damaged_by_tool.message.empty());
  ASSERT_EQ(good_by_tool.exit_code, 0);

  release r;
  r.put_built_game();
  ASSERT_TRUE(r.start(L"--retry"));
  choose_in_dialog(r, damaged);
  EXPECT_EQ(r.answer(GATE_TITLE, IDRETRY), failure_box(damaged_by_tool.message, false));
  EXPECT_FALSE(r.exists("game\\default.xbe"));
  choose_in_dialog(r, good);
  EXPECT_EQ(r.launcher.wait_exit(), 0);
  EXPECT_EQ(wait_game_log(r), game_log_for(r, "--retry"));
  EXPECT_EQ(r.launcher.err(), VERIFIED);
  expect_same_tree(r.path("game"), good_by_tool.game());
}

TEST(LauncherFlow, WrongBuildIsRefusedWithTheTwoPartMessage) {
  temp_dir discs;
  disc_node tree = sample_tree();
  for (disc_node& child : tree.children)
    if (child.name == "default.xbe") child.data[4096] ^= 0x01;
  const std::string iso = discs / "other.iso";
  ASSERT_TRUE(write_image(iso, tree));
  tool_import by_tool;
  import_with_tool(iso, by_tool);
  ASSERT_EQ(by_tool.exit_code, 1);
  ASSERT_FALSE(by_tool.message.empty());

  release r;
  ASSERT_TRUE(r.start());
  choose_in_dialog(r, iso);
  EXPECT_EQ(r.answer(GATE_TITLE, IDCANCEL), failure_box(by_tool.message, true));
  EXPECT_EQ(r.launcher.wait_exit(), 1);
  EXPECT_FALSE(r.exists("game\\default.xbe"));
  EXPECT_FALSE(r.exists("cmd_log.txt"));
}

// The default.xbe of an extracted copy stands for its folder; release and copy both live in
// folders whose names the ANSI code page cannot hold.
TEST(LauncherFlow, ChosenDefaultXbeImportsItsFolder) {
  temp_dir discs;
  const std::string folder = discs / (std::string(JP) + " rip");
  ASSERT_TRUE(write_folder(folder, sample_tree()));
  tool_import by_tool;
  import_with_tool(folder, by_tool);
  ASSERT_EQ(by_tool.exit_code, 0);

  release r(std::string(JP) + " 1.0");
  r.put_built_game();
  temp_dir elsewhere;
  ASSERT_TRUE(r.start(L"", std::nullopt, elsewhere.path()));
  choose_in_dialog(r, folder + "\\DEFAULT.XBE");
  EXPECT_EQ(r.launcher.wait_exit(), 0);
  EXPECT_EQ(wait_game_log(r), game_log_for(r, ""));
  expect_same_tree(r.path("game"), by_tool.game());
  EXPECT_EQ(list_tree(elsewhere.path()), std::vector<std::string>{});
}

// The release as a player gets it: the Windows zip unpacked into a fresh folder (scripts/check
// names it in QM_PACKAGE_DIR), the kit beside it, and the shipped launcher's first start:
// question, disc image, import, build, game. The package accepts the sample disc unless it
// was built for the retail one.
TEST(LauncherFlow, PackagedFirstStart) {
  const char* package = std::getenv("QM_PACKAGE_DIR");
  if (!package) GTEST_SKIP() << "QM_PACKAGE_DIR names no unpacked package";
  for (const char* shipped : {"OpenQuillmoor.exe", "qmimport.exe", "Read me first.txt"})
    ASSERT_EQ(path_kind(join_out_path(package, shipped).c_str(), nullptr), PATH_FILE) << shipped;
  temp_dir discs;
  const std::string iso = discs / "Quillmoor.iso";
  image_options options;
  options.partition_base = REDUMP_PARTITION_BASE;
  ASSERT_TRUE(write_image(iso, sample_tree(), options));

  release r(release::unpacked{package});
  ASSERT_TRUE(r.start());
  choose_in_dialog(r, iso);
  EXPECT_EQ(r.answer(LAUNCHER_TITLE, IDOK), BUILD_QUESTION);
  EXPECT_EQ(r.launcher.wait_exit(), 0);
  EXPECT_EQ(wait_game_log(r), game_log_for(r, ""));
  EXPECT_EQ(r.launcher.err(), VERIFIED);
  EXPECT_EQ(r.log("cmd_log.txt").substr(0, build_record().size()), build_record());
  EXPECT_EQ(read_file(r.path("game\\default.xbe")), sample_xbe());
}

// An import that fails part-way: the executable is moved into place only once everything
// else is copied, so Retry asks again and the second import completes over the first.
TEST(LauncherFlow, RetryAfterAPartImport) {
  temp_dir discs;
  const std::string folder = discs / "rip";
  ASSERT_TRUE(write_folder(folder, sample_tree()));
  // Another program holds a game file open without sharing: it cannot be read.
  const std::wstring locked = wide(folder + "\\maps\\level01.map");
  kernel_handle lock(
      CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);
  tool_import locked_by_tool;
  import_with_tool(folder, locked_by_tool);

  release r;
  r.put_built_game();
  ASSERT_TRUE(r.start());
  choose_in_dialog(r, folder + "\\default.xbe");
  std::string box = r.answer(GATE_TITLE, IDRETRY);
  lock.reset();
  EXPECT_EQ(locked_by_tool.exit_code, 1);
  EXPECT_FALSE(locked_by_tool.message.empty());
  EXPECT_EQ(box, failure_box(locked_by_tool.message, false));
  choose_in_dialog(r, folder + "\\default.xbe");
  EXPECT_EQ(r.launcher.wait_exit(), 0);
  EXPECT_EQ(wait_game_log(r), game_log_for(r, ""));
  EXPECT_EQ(r.launcher.err(), VERIFIED);
  tool_import by_tool;
  import_with_tool(folder, by_tool);
  expect_same_tree(r.path("game"), by_tool.game());
}

// A file that is no disc image, chosen in a release folder whose name the ANSI code page
// cannot hold: the retry box names it exactly, as the system holds the box's text.
TEST(LauncherFlow, RetryBoxNamesTheChosenPathExactly) {
  release r(RELEASE_JP);
  const std::string bad = r.path("bad.iso");
  write_file(bad, pattern_bytes(300000, 9));
  tool_import by_tool;
  import_with_tool(bad, by_tool);
  ASSERT_EQ(by_tool.exit_code, 1);
  ASSERT_TRUE(r.start());
  choose_in_dialog(r, bad);
  HWND box = wait_window(r.launcher, GATE_TITLE);
  ASSERT_TRUE(box);
  std::string text;
  for (HWND child : children_of_class(box, L"Static"))
    if (text.empty()) text = window_text(child);
  std::printf("retry box: %s\n", text.c_str());
  EXPECT_EQ(text, failure_box(by_tool.message, false));
  EXPECT_NE(text.find(bad), std::string::npos) << text;
  ASSERT_TRUE(press(box, IDCANCEL));
  EXPECT_EQ(r.launcher.wait_exit(), 1);
}

// The progress window at the two common DPIs, part-way through a big file: its label where
// it always was, the bar and the Cancel button below, everything scaled (the message font
// shows in the screenshots: wine answers no WM_GETFONT from another process).
// Cancel then shows "Cancelling..." and greys the button while the copy winds down; the
// first question comes back, no retry box, and no executable and no ".part" file stay.
TEST(LauncherFlow, ProgressWindowScalesAndCancels) {
  without_disc_list no_list;  // logo.bik of 3 GiB, not the sample disc's size
  temp_dir discs;
  const std::string iso = discs / "Quillmoor (Redump).iso";
  image_options options;
  options.partition_base = REDUMP_PARTITION_BASE;
  options.damage = [](disc_image& image, const disc_layout& layout) {
    make_sparse_file(image, layout, "media/logo.bik", 0xC0000000u);  // 3 GiB, a hole
  };
  ASSERT_TRUE(write_image(iso, sample_tree(), options));
  for (DWORD dpi : {96u, 144u}) {
    SCOPED_TRACE(numbered("at DPI ", static_cast<long>(dpi)));
    scoped_user_setting log_pixels(L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi,
                                   sizeof dpi);
    release r(RELEASE_JP);
    ASSERT_TRUE(r.start());
    choose_in_dialog(r, iso);
    HWND progress = wait_window(r.launcher, PROGRESS_TITLE);
    ASSERT_TRUE(progress);
    std::vector<HWND> labels = children_of_class(progress, L"Static");
    std::vector<HWND> bars = children_of_class(progress, L"msctls_progress32");
    std::vector<HWND> buttons = children_of_class(progress, L"Button");
    ASSERT_EQ(labels.size(), 1u);
    ASSERT_EQ(bars.size(), 1u);
    ASSERT_EQ(buttons.size(), 1u);
    // Wait until the big file is part copied and the speed is known, then freeze there.
    std::string label;
    for (int i = 0; i < 3000 && IsWindow(progress); ++i) {
      label = window_text(labels[0]);
      if (label.find("media/logo.bik") != std::string::npos &&
          label.find(" MB/s, about ") != std::string::npos)
        break;
      Sleep(10);
    }
    ASSERT_GT(suspend_other_threads(r.launcher.pid(), progress, true), 0) << label;
    Sleep(300);  // the user-interface thread repaints meanwhile
    label = window_text(labels[0]);
    std::printf("progress label at %lu DPI: %s\n", dpi, label.c_str());
    EXPECT_EQ(label.rfind(std::string(COPYING) + "\n\nmedia/logo.bik\n\n", 0), 0u) << label;
    EXPECT_NE(label.find(" MB ("), std::string::npos) << label;
    EXPECT_NE(label.find(" MB/s, about "), std::string::npos) << label;
    EXPECT_EQ(label.substr(label.size() - 5), " left") << label;

    auto px = [dpi](int pixels_at_96) { return MulDiv(pixels_at_96, static_cast<int>(dpi), 96); };
    RECT client{}, text = rect_in_parent(labels[0]), bar = rect_in_parent(bars[0]),
                   button = rect_in_parent(buttons[0]);
    GetClientRect(progress, &client);
    EXPECT_EQ(text.left, px(16));
    EXPECT_EQ(text.top, px(16));
    EXPECT_EQ(text.right - text.left, px(480));
    EXPECT_GE(bar.top, text.bottom);
    EXPECT_GE(button.top, bar.bottom);
    EXPECT_LE(button.right, client.right);
    EXPECT_LE(button.bottom, client.bottom);
    EXPECT_EQ(window_text(buttons[0]), CANCEL);
    DWORD_PTR position = 0;
    SendMessageTimeoutW(bars[0], PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &position);
    EXPECT_GT(position, 0u);
    EXPECT_TRUE(
        screenshot(exe_dir() + numbered("\\screenshot-progress-", static_cast<long>(dpi), ".png")));

    ASSERT_TRUE(click(buttons[0]));
    for (int i = 0; i < 500 && IsWindowEnabled(buttons[0]); ++i) Sleep(10);
    EXPECT_EQ(window_text(labels[0]), CANCELLING);
    EXPECT_FALSE(IsWindowEnabled(buttons[0]));
    suspend_other_threads(r.launcher.pid(), progress, false);
    EXPECT_EQ(r.answer(GATE_TITLE, IDCANCEL), FIRST_QUESTION);
    EXPECT_FALSE(IsWindow(progress));
    EXPECT_EQ(r.launcher.wait_exit(), 1);
    EXPECT_FALSE(r.exists("game\\default.xbe"));
    EXPECT_TRUE(no_part_files(r.path("game")));
  }
}

// A release on a read-only mount (run_flows makes one: root ignores file permissions, not a
// read-only mount). Neither an import nor a build is begun there; a verified, built game plays.
TEST(LauncherFlow, FolderThatCannotBeWritten) {
  const char* writable = std::getenv("QM_FLOWS_WRITABLE");
  const char* read_only = std::getenv("QM_FLOWS_READ_ONLY");
  ASSERT_TRUE(writable && read_only) << "no read-only mount: run the flows with run_flows as root";
  struct {
    const char* name;
    bool game_files;
    bool built;
    bool refused;
  } cases[] = {
      {"first start", false, false, true},
      {"build needed", true, false, true},
      {"verified and built", true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    release r("Open Quillmoor", std::string(writable) + "\\" + c.name);
    if (c.game_files) r.put_game_files();
    if (c.built) r.put_built_game();
    const std::string seen = std::string(read_only) + "\\" + c.name + "\\Open Quillmoor";
    r.run_from(seen);
    ASSERT_TRUE(r.start());
    if (c.refused) {
      EXPECT_EQ(r.answer(GATE_TITLE, IDOK, c.game_files ? "" : "not-writable"), not_writable(seen));
    }
    EXPECT_EQ(r.launcher.wait_exit(), c.refused ? 1 : 0);
    EXPECT_EQ(r.launcher.err(), c.game_files ? VERIFIED : "");
  }
}

// OneDrive's folder above the release: a warning before the first question, which the player
// may pass. A folder merely named alike, or a game already in place, brings none.
TEST(LauncherFlow, OneDriveFolderWarnsBeforeAnImport) {
  struct {
    const wchar_t* variable;
    const char* below_base;  // the synced folder: the release's parent, and this
    bool game_in_place;
    int warning_answer;  // 0: no warning
  } cases[] = {
      {L"OneDrive", "", false, IDCANCEL},
      {L"OneDriveCommercial", "", false, IDOK},
      {L"OneDriveConsumer", "\\Open Quill", false, 0},
      {L"OneDrive", "", true, 0},
  };
  for (const auto& c : cases) {
    release r;
    const std::string synced = r.base() + c.below_base;
    SCOPED_TRACE(synced);
    if (c.game_in_place) {
      r.put_game_files();
      r.put_built_game();
    }
    scoped_environment onedrive(c.variable, wide(synced));
    ASSERT_TRUE(r.start());
    if (c.game_in_place) {
      EXPECT_EQ(r.launcher.wait_exit(), 0);
      continue;
    }
    if (c.warning_answer) {
      EXPECT_EQ(
          r.answer(GATE_TITLE, c.warning_answer, c.warning_answer == IDCANCEL ? "onedrive" : ""),
          onedrive_warning(r.root()));
    }
    if (c.warning_answer != IDCANCEL) {
      EXPECT_EQ(r.answer(GATE_TITLE, IDCANCEL), FIRST_QUESTION);
    }
    EXPECT_EQ(r.launcher.wait_exit(), 1);
  }
}

// Game files cut short or deleted since the import: the player is told which before the game
// starts, and may import the disc again over them; the switch that skips the executable's
// check skips this one too.
TEST(LauncherFlow, BrokenGameFolderOffersTheImportAgain) {
  temp_dir discs;
  const std::string iso = discs / "Quillmoor.iso";
  ASSERT_TRUE(write_image(iso, sample_tree()));
  struct {
    std::vector<const char*> deleted;  // besides maps\shared.map, cut to half its size
    std::optional<std::string> skip;
    int answer;  // to the box; 0: none comes
    const char* lines;
    std::vector<const char*> loops = {};  // links in game\maps to that folder itself
  } cases[] = {
      {{"media\\logo.bik"},
       std::nullopt,
       IDCANCEL,
       "damaged: maps\\shared.map\nmissing: media\\logo.bik"},
      {{"maps\\Empty.dat", "maps\\level01.map", "maps\\sub\\deep.bin", "media\\logo.bik",
        "media\\ui\\font.bin"},
       std::nullopt,
       IDOK,
       "missing: maps\\Empty.dat\nmissing: maps\\level01.map\ndamaged: maps\\shared.map\n"
       "missing: maps\\sub\\deep.bin\nmissing: media\\logo.bik\n... and 1 more"},
      {{"media\\logo.bik"}, "1", 0, ""},
      // The check ends, and names no link: a loop is no damage.
      {{}, std::nullopt, IDCANCEL, "damaged: maps\\shared.map", {"a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    release r;
    r.put_game_files();
    r.put_built_game();
    std::vector<uint8_t> cut = read_file(r.path("game\\maps\\shared.map"));
    cut.resize(cut.size() / 2);
    write_file(r.path("game\\maps\\shared.map"), cut);
    for (const char* rel : c.deleted) remove_tree(r.path(std::string("game\\") + rel));
    for (const char* name : c.loops) ASSERT_TRUE(make_link(r.path("game\\maps"), name, "."));
    ASSERT_TRUE(r.start(L"-w", c.skip));
    if (c.answer) {
      EXPECT_EQ(r.answer(GATE_TITLE, c.answer, c.answer == IDCANCEL ? "broken-game" : ""),
                broken_game(c.lines));
    }
    if (c.answer == IDOK) {
      HWND dialog = wait_window(r.launcher, DIALOG_TITLE);  // no first question before it
      ASSERT_TRUE(dialog);
      ASSERT_TRUE(choose_file(dialog, iso));
    }
    const bool started = c.answer != IDCANCEL;
    EXPECT_EQ(r.launcher.wait_exit(), started ? 0 : 1);
    EXPECT_EQ(started ? wait_game_log(r) : r.log("game_log.txt"),
              started ? game_log_for(r, "-w") : "");
    // Verified before the import and again after it.
    EXPECT_EQ(r.launcher.err(), c.skip             ? SKIPPED
                                : c.answer == IDOK ? std::string(VERIFIED) + VERIFIED
                                                   : VERIFIED);
    if (c.answer == IDOK) {
      EXPECT_EQ(wanted_tree(sample_tree()).differences(r.path("game")), "");
    }
  }
}

// The player's disc put beside the launcher: offered in place of the first question when it is
// the one thing there that holds the supported game; otherwise the question is the usual one.
TEST(LauncherFlow, DiscBesideTheLauncher) {
  disc_node wrong = sample_tree();
  for (disc_node& child : wrong.children)
    if (child.name == "default.xbe") child.data[4096] ^= 0x01;
  struct {
    std::vector<const char*> images;  // "rip": an extracted copy; "other.iso": a wrong disc
    const char* offered;              // null: the usual question
    int answer;
  } cases[] = {
      {{"Quillmoor.iso"}, "Quillmoor.iso", IDYES}, {{"Quillmoor.iso"}, "Quillmoor.iso", IDNO},
      {{"rip", "other.iso"}, "rip", IDYES},        {{"a.iso", "b.xiso"}, nullptr, IDCANCEL},
      {{"other.iso"}, nullptr, IDCANCEL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.images[0]);
    release r;
    r.put_built_game();
    for (const std::string name : c.images) {
      ASSERT_TRUE(name == "rip"
                      ? write_folder(r.path(name), sample_tree())
                      : write_image(r.path(name), name == "other.iso" ? wrong : sample_tree()));
    }
    ASSERT_TRUE(r.start());
    const std::string offer = c.offered ? found_disc(r.path(c.offered)) : FIRST_QUESTION;
    EXPECT_EQ(r.answer(GATE_TITLE, c.answer, c.answer == IDNO ? "found-disc" : ""), offer);
    if (c.answer == IDNO) {  // the dialog; cancelled, the offer again
      HWND dialog = wait_window(r.launcher, DIALOG_TITLE);
      ASSERT_TRUE(dialog);
      ASSERT_TRUE(press(dialog, IDCANCEL));
      EXPECT_EQ(r.answer(GATE_TITLE, IDCANCEL), offer);
    }
    EXPECT_EQ(r.launcher.wait_exit(), c.answer == IDYES ? 0 : 1);
    EXPECT_EQ(wanted_tree(sample_tree()).differences(r.path("game")) == "", c.answer == IDYES);
  }
}

}  // namespace
