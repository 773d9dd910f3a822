// The game-files gate: ask for the player's disc on the first start, import it behind a
// progress window, and verify game\default.xbe on every start.
#include <windows.h>
// After windows.h, which it needs.
#include <commdlg.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "gate.h"
#include "import.h"
#include "launcher_rules.h"
#include "win32_util.h"

namespace {

const char TITLE[] = "Quillmoor";
const char WINDOW_CLASS[] = "QuillmoorImport";

const char FIRST_QUESTION[] =
    "Open Quillmoor runs your own copy of Quillmoor (original Xbox).\n\nNo game files were found "
    "next to this program. Choose your disc image (a Redump .iso or an XISO) or the default.xbe "
    "of an extracted copy, and the files the game needs (about 4.5 GB) are copied into the "
    "'game' folder.\n\nChoose your game now?";

const char WRONG_XBE[] =
    "The default.xbe in the 'game' folder is not the version of Quillmoor this program was "
    "built for (the original retail disc).\n\nMove that folder away and start again to import "
    "your disc.";

// Shared by the user-interface thread and the import worker while one import runs. The worker
// writes `status` and `result` before it sets `done` (atomically); the user-interface thread
// reads them only after it has seen `done` and the worker has ended.
struct import_job {
  char source[780];  // UTF-8
  HWND window;
  HWND label;
  int done;
  int status;
  import_result result;
  uint32_t last_tick;
};

DWORD WINAPI import_worker(LPVOID job);
void import_progress(uint64_t done, uint64_t total, const char* path, void* job);
LRESULT CALLBACK import_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The one import in flight. Process-wide: the worker and the progress callback reach it
// through their user pointer, the window procedure needs nothing of it.
import_job job;

int job_done() { return std::atomic_ref<int>(job.done).load(); }

std::wstring current_folder() {
  std::wstring folder(MAX_PATH, L'\0');
  DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
  if (n >= folder.size()) {
    folder.resize(n);
    n = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
  }
  if (n == 0 || n >= folder.size()) return {};
  folder.resize(n);
  return folder;
}

// The path the player chose in the open-file dialog; empty when they cancelled.
std::wstring choose_source() {
  wchar_t file[520] = {};
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.lpstrFilter =
      L"Quillmoor disc image or default.xbe\0*.iso;*.xiso;default.xbe\0All files\0*.*\0";
  dialog.lpstrFile = file;
  dialog.nMaxFile = 520;
  dialog.lpstrTitle = L"Choose your Quillmoor disc image (or default.xbe in an extracted copy)";
  dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  // The dialog makes the folder the player browsed to the current one (OFN_NOCHANGEDIR does
  // not stop GetOpenFileName), and every path of the launcher is relative to its own folder:
  // without this the import would land in a "game" folder beside the disc image.
  std::wstring own_folder = current_folder();
  BOOL chosen = GetOpenFileNameW(&dialog);
  if (!own_folder.empty()) SetCurrentDirectoryW(own_folder.c_str());
  if (!chosen) return {};
  return file;
}

// Shows the progress window and runs job.source's import on a worker thread, pumping
// messages (label updates from the worker arrive as messages) until the worker is done.
void run_import_attempt() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = import_window_proc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursor(nullptr, IDC_WAIT);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = WINDOW_CLASS;
  RegisterClassA(&window_class);  // fails harmlessly when a retry registers it again

  job.window =
      CreateWindowExA(0, WINDOW_CLASS, "Quillmoor - importing your disc", WS_VISIBLE | WS_CAPTION,
                      CW_USEDEFAULT, CW_USEDEFAULT, 520, 200, nullptr, nullptr, instance, nullptr);
  job.label = job.window
                  ? CreateWindowExA(0, "STATIC", "Reading the disc...", WS_CHILD | WS_VISIBLE, 16,
                                    16, 480, 130, job.window, nullptr, instance, nullptr)
                  : nullptr;
  // Without a window the worker's wake-up message would go to its own queue and the loop
  // below would never end: count it as a start failure.
  kernel_handle worker(job.window ? CreateThread(nullptr, 0, import_worker, &job, 0, nullptr)
                                  : nullptr);
  if (!worker) {
    if (job.window) DestroyWindow(job.window);
    job.status = IMPORT_ERR_NO_MEMORY;
    job.result.message[0] = '\0';
    return;
  }
  while (!job_done()) {
    MSG message;
    if (GetMessageA(&message, nullptr, 0, 0) <= 0) break;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  WaitForSingleObject(worker.get(), INFINITE);
  DestroyWindow(job.window);
}

LRESULT CALLBACK import_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // Closing the window would not stop the copy; the worker ends the import, not the player.
  if (message == WM_CLOSE) return 0;
  return DefWindowProcA(window, message, wparam, lparam);
}

DWORD WINAPI import_worker(LPVOID user) {
  import_job* j = static_cast<import_job*>(user);
  j->status = import_game(j->source, "game", import_progress, j, &j->result);
  std::atomic_ref<int>(j->done).exchange(1);
  PostMessageA(j->window, WM_NULL, 0, 0);
  return 0;
}

void import_progress(uint64_t done, uint64_t total, const char* path, void* user) {
  import_job* j = static_cast<import_job*>(user);
  uint32_t now = GetTickCount();
  if (!progress_update_due(now, j->last_tick, done, total)) return;
  j->last_tick = now;
  // Called from inside import_game, which no exception may cross: a label that cannot be
  // formatted for want of memory is simply not refreshed.
  try {
    SetWindowTextA(j->label, progress_label_text(done, total, path).c_str());
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

int ensure_game_files() {
  const int skip_check = xbe_check_skipped(std::getenv("RECOMP_SKIP_XBE_CHECK"));
  while (!is_plain_file(GAME_XBE_PATH)) {
    if (MessageBoxA(nullptr, FIRST_QUESTION, TITLE, MB_ICONINFORMATION | MB_OKCANCEL) != IDOK)
      return 0;
    std::wstring chosen = choose_source();
    if (chosen.empty()) continue;
    std::string source = wide_to_utf8(import_source_for_choice(chosen).c_str());
    if (source.empty() || source.size() >= sizeof job.source) continue;

    std::memset(&job, 0, sizeof job);
    std::memcpy(job.source, source.c_str(), source.size() + 1);
    run_import_attempt();
    if (job.status == IMPORT_OK) break;
    import_result result = job.result;
    std::string text = import_failure_text(job.status, result.message);
    if (MessageBoxA(nullptr, text.c_str(), TITLE, MB_ICONWARNING | MB_RETRYCANCEL) != IDRETRY)
      return 0;
  }
  if (skip_check) {
    std::fputs("[RARA] XBE hash check skipped (RECOMP_SKIP_XBE_CHECK)\n", stderr);
    return 1;
  }
  if (is_supported_xbe(GAME_XBE_PATH)) {
    std::fprintf(stderr, "[RARA] %s: retail SHA-256 OK\n", GAME_XBE_PATH);
    return 1;
  }
  std::fprintf(stderr, "[RARA] %s is not the supported retail build (want SHA-256 %s)\n",
               GAME_XBE_PATH, SUPPORTED_XBE_SHA256);
  MessageBoxA(nullptr, WRONG_XBE, TITLE, MB_ICONERROR | MB_OK);
  return 0;
}
