// The game-files gate: ask for the player's disc on the first start (or offer the one found
// beside the launcher), have it imported behind the progress window, and verify
// game\default.xbe and the size of every game file on every start.
//
// Every text is UTF-8 here and becomes UTF-16 only at the call that puts it on screen.
#include <windows.h>
// After windows.h, which they need.
#include <cderr.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "gate.h"
#include "import.h"
#include "launcher_rules.h"
#include "launcher_texts.h"
#include "progress_window.h"
#include "win32_util.h"

namespace {

// The look for the player's disc beside the launcher gives up after this: a slow drive or a
// large archive must not keep the player waiting for the first question.
constexpr DWORD DISC_SEARCH_MS = 5000;

// The open-file dialog's first buffer, in characters; it grows when a path does not fit.
constexpr size_t FILE_BUFFER_CHARS = 520;
// No Windows path is longer than 32,767 characters: a dialog asking for more is wrong.
constexpr size_t MAX_FILE_BUFFER_CHARS = 32768;

// The path the player chose in the open-file dialog; empty when they cancelled. A path that
// does not fit the buffer makes the dialog say how much it needs: the buffer grows and the
// dialog opens again, where before the path was dropped without a word.
std::wstring choose_source() {
  const std::wstring title = utf8_to_wide(DIALOG_TITLE);
  std::wstring file(FILE_BUFFER_CHARS, L'\0');
  for (;;) {
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.lpstrFilter = DIALOG_FILTER;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    // The dialog makes the folder the player browsed to the current one (OFN_NOCHANGEDIR
    // does not stop GetOpenFileName), and every path of the launcher is relative to its own
    // folder: without this the import would land in a "game" folder beside the disc image.
    std::wstring own_folder = current_folder();
    BOOL chosen = GetOpenFileNameW(&dialog);
    if (!own_folder.empty()) SetCurrentDirectoryW(own_folder.c_str());
    if (chosen) return file.c_str();
    if (CommDlgExtendedError() != FNERR_BUFFERTOOSMALL || file.size() >= MAX_FILE_BUFFER_CHARS)
      return {};
    // The size needed, in characters, is in the buffer's first two bytes.
    const size_t needed = static_cast<WORD>(file[0]);
    file.assign(std::min(std::max(needed, file.size() * 2), MAX_FILE_BUFFER_CHARS), L'\0');
  }
}

// The launcher's folder (the current one) for a box: its full path, or "." if the system
// cannot say.
std::string own_folder_for_box() {
  std::wstring folder = current_folder();
  return folder.empty() ? "." : wide_to_utf8(folder.c_str());
}

// 1 when a file can be made and written in `folder`: tried with a file of our own, which the
// system deletes when it is closed, so none is left even if we are killed meanwhile.
bool can_write_file_in(const wchar_t* folder) {
  std::wstring probe =
      path_in_folder(folder, L"OpenQuillmoor-" + std::to_wstring(GetCurrentProcessId()) + L".tmp");
  kernel_handle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), "x", 1, &written, nullptr) && written == 1;
}

// The full, long form of `path` (a folder named in the environment may be relative or in
// 8.3 form); `path` itself when the system cannot say, empty when it is empty.
std::wstring long_full_path(const std::wstring& path) {
  if (path.empty()) return {};
  std::wstring full(32768, L'\0');
  DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  std::wstring long_form(32768, L'\0');
  n = GetLongPathNameW(full.c_str(), long_form.data(), static_cast<DWORD>(long_form.size()));
  if (n == 0 || n >= long_form.size()) return full;  // e.g. a folder that does not exist
  long_form.resize(n);
  return long_form;
}

std::wstring environment_value(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  value.resize(n < value.size() ? n : 0);
  return value;
}

// 1 to go on with an import: the launcher's folder is not synced by OneDrive, or the player
// chose to import there anyway.
int onedrive_warning_accepted() {
  const std::wstring folder = long_full_path(current_folder());
  std::vector<std::wstring> roots;
  for (const wchar_t* name : {L"OneDrive", L"OneDriveConsumer", L"OneDriveCommercial"})
    roots.push_back(long_full_path(environment_value(name)));
  if (!synced_by_onedrive(folder, GetFileAttributesW(folder.c_str()), roots)) return 1;
  return message_box(filled(ONEDRIVE, own_folder_for_box()), GATE_TITLE,
                     MB_ICONWARNING | MB_OKCANCEL) == IDOK;
}

// The look for the player's disc beside the launcher, shared with the thread that makes it:
// the launcher stops waiting after DISC_SEARCH_MS, and the thread may end after that, so
// both hold it. The thread fills `candidates`, then each verdict before it counts it in
// `identified`: what the count covers is complete when it is read.
struct disc_search {
  std::string folder;
  std::vector<std::string> candidates;
  std::array<int, MAX_DISC_CANDIDATES> qualifies{};
  std::atomic<size_t> identified{0};
  std::atomic<int> give_up{0};  // set once the launcher stops waiting: a zip's read stops too
};

DWORD WINAPI disc_search_worker(LPVOID user) {
  std::unique_ptr<std::shared_ptr<disc_search>> held(
      static_cast<std::shared_ptr<disc_search>*>(user));
  disc_search& search = **held;
  try {
    search.candidates = disc_candidates(search.folder.c_str(), MAX_DISC_CANDIDATES);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (size_t i = 0; i < search.candidates.size(); ++i) {
    if (search.give_up.load()) break;
    search.qualifies[i] = is_supported_disc(search.candidates[i].c_str(), &search.give_up);
    search.identified.store(i + 1);
  }
  return 0;
}

// The one disc beside the launcher that holds the supported game, as a full path; empty when
// none does, when several do (the player chooses), or when none was identified in time.
std::string disc_beside_launcher() {
  auto search = std::make_shared<disc_search>();
  search->folder = own_folder_for_box();
  auto* held = new std::shared_ptr<disc_search>(search);
  kernel_handle worker(CreateThread(nullptr, 0, disc_search_worker, held, 0, nullptr));
  if (!worker) {
    delete held;
    return {};
  }
  WaitForSingleObject(worker.get(), DISC_SEARCH_MS);
  search->give_up.store(1);
  const size_t identified = search->identified.load();
  std::string found;
  for (size_t i = 0; i < identified; ++i) {
    if (!search->qualifies[i]) continue;
    if (!found.empty()) return {};
    found = search->candidates[i];
  }
  return found;
}

// What of "game" is missing or of another size than the disc's list says: one look at each
// file, no hashing. A folder that cannot be listed is named: the game may need what it holds.
broken_game_files broken_files_in_game() {
  broken_game_files files;
  game_folder_check check;
  auto add = [](const game_problem* p, void* user) {
    add_broken_file(*static_cast<broken_game_files*>(user), p->problem, p->path);
  };
  const int status = check_game_folder("game", 0, nullptr, nullptr, add, &files, &check);
  if (status == IMPORT_ERR_NO_MEMORY) return {};
  if (status != IMPORT_OK) add_broken_file(files, GAME_FOLDER_UNREADABLE, "");
  return files;
}

// One round of asking and importing: the first question (or the offer of the disc `found`
// beside the launcher), the open-file dialog, the import. `ask` false goes straight to the
// dialog (the player already chose to import again). 0 when the player quits; 1 to look at
// the game folder again, imported or not.
int ask_and_import(const std::string& found, bool ask) {
  std::string source;
  if (ask && !found.empty()) {
    const int answer =
        message_box(filled(FOUND_DISC, found), GATE_TITLE, MB_ICONINFORMATION | MB_YESNOCANCEL);
    if (answer == IDYES)
      source = found;
    else if (answer != IDNO)
      return 0;
  } else if (ask &&
             message_box(FIRST_QUESTION, GATE_TITLE, MB_ICONINFORMATION | MB_OKCANCEL) != IDOK) {
    return 0;
  }
  if (source.empty()) {
    std::wstring chosen = choose_source();
    if (chosen.empty()) return 1;
    source = wide_to_utf8(import_source_for_choice(chosen).c_str());
    if (source.empty()) return 1;
  }
  import_result result{};
  const int status = import_with_progress(source, &result);
  // The player stopped it: back to the question, without a box about what they just did.
  if (status == IMPORT_OK || status == IMPORT_ERR_CANCELLED) return 1;
  return message_box(import_failure_text(status, result.message), GATE_TITLE,
                     MB_ICONWARNING | MB_RETRYCANCEL) == IDRETRY;
}

}  // namespace

int ensure_folder_writable() {
  // Tried, not guessed from the folder's name or its access list: Program Files, a read-only
  // drive and another user's folder all come down to a file that cannot be made.
  const bool made_game = CreateDirectoryW(L"game", nullptr);
  const bool ok = (made_game || GetLastError() == ERROR_ALREADY_EXISTS) &&
                  can_write_file_in(L".") && can_write_file_in(L"game");
  // A first start the player declines leaves the folder as it was.
  if (made_game) RemoveDirectoryW(L"game");
  if (ok) return 1;
  message_box(filled(NOT_WRITABLE, own_folder_for_box()), GATE_TITLE, MB_ICONERROR | MB_OK);
  return 0;
}

int ensure_game_files() {
  const int skip_check = xbe_check_skipped(std::getenv("RECOMP_SKIP_XBE_CHECK"));
  // An import is to be offered: it needs to write about 4.5 GB here, and should not go into
  // a folder the cloud takes away. A verified game needs neither. Asked once per start.
  bool import_cleared = false;
  auto import_may_begin = [&import_cleared] {
    if (!import_cleared) import_cleared = ensure_folder_writable() && onedrive_warning_accepted();
    return import_cleared;
  };
  std::string found;
  if (!is_plain_file(GAME_XBE_PATH)) {
    if (!import_may_begin()) return 0;
    found = disc_beside_launcher();
  }
  bool reimport = false;  // the player chose to import over a broken folder: no question
  for (;;) {
    if (reimport || !is_plain_file(GAME_XBE_PATH)) {
      if (!ask_and_import(found, !reimport)) return 0;
      reimport = false;
      continue;
    }
    if (skip_check) {
      std::fputs("[RARA] XBE hash check skipped (RECOMP_SKIP_XBE_CHECK)\n", stderr);
      return 1;
    }
    if (!is_supported_xbe(GAME_XBE_PATH)) {
      std::fprintf(stderr, "[RARA] %s is not the supported retail build (want SHA-256 %s)\n",
                   GAME_XBE_PATH, SUPPORTED_XBE_SHA256);
      message_box(WRONG_XBE, GATE_TITLE, MB_ICONERROR | MB_OK);
      return 0;
    }
    std::fprintf(stderr, "[RARA] %s: retail SHA-256 OK\n", GAME_XBE_PATH);
    // A file deleted by mistake or quarantined by an antivirus since the import: the game
    // would fail hours later, far from the cause.
    const broken_game_files broken = broken_files_in_game();
    if (broken.named.empty()) return 1;
    if (!import_may_begin()) return 0;
    if (message_box(filled(BROKEN_GAME, broken_files_lines(broken)), GATE_TITLE,
                    MB_ICONWARNING | MB_OKCANCEL) != IDOK)
      return 0;
    reimport = true;
  }
}
