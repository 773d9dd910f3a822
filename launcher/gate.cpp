// The game-files gate: ask for the player's disc on the first start (or offer the one found
// beside the launcher), import it behind a progress window, and verify game\default.xbe and
// the size of every game file on every start.
//
// Every text is UTF-8 here and becomes UTF-16 only at the call that puts it on screen.
#include <windows.h>
// After windows.h, which they need.
#include <cderr.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shobjidl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gate.h"
#include "import.h"
#include "launcher_rules.h"
#include "launcher_texts.h"
#include "win32_util.h"

namespace {

const wchar_t WINDOW_CLASS[] = L"QuillmoorImport";

// The look for the player's disc beside the launcher gives up after this: a slow drive or a
// large archive must not keep the player waiting for the first question.
constexpr DWORD DISC_SEARCH_MS = 5000;

// The open-file dialog's first buffer, in characters; it grows when a path does not fit.
constexpr size_t FILE_BUFFER_CHARS = 520;
// No Windows path is longer than 32,767 characters: a dialog asking for more is wrong.
constexpr size_t MAX_FILE_BUFFER_CHARS = 32768;

// The progress window at 96 DPI, in client pixels, scaled to the window's DPI: the label
// keeps its place and width, tall enough for its five lines; below it the bar and a
// standard 75 x 23 button.
constexpr int MARGIN = 16, LABEL_WIDTH = 480, LABEL_HEIGHT = 88, LABEL_LINES = 5;
constexpr int BAR_GAP = 8, BAR_HEIGHT = 18, BUTTON_GAP = 12, BUTTON_WIDTH = 75, BUTTON_HEIGHT = 23;
// A title bar and no system menu: nothing closes the window while files are copied.
constexpr DWORD WINDOW_STYLE = WS_CAPTION;
// The bar's range: fine enough that a 4.5 GB import moves it every 5 MB.
constexpr int BAR_STEPS = 1000;

// Sent by the worker with a progress_update*: the window's own thread shows the update, so
// the worker touches no window and an update can never overwrite "Cancelling...".
constexpr UINT WM_IMPORT_PROGRESS = WM_APP + 1;

struct progress_update {
  uint64_t done;
  uint64_t total;
  const char* path;
  uint32_t tick;
};

// Shared by the user-interface thread and the import worker while one import runs. The worker
// writes `status` and `result` before it sets `done` (atomically); the user-interface thread
// reads them only after it has seen `done` and the worker has ended. `cancel` goes the other
// way: set by the user-interface thread, read by the import.
struct import_job {
  std::string source;  // UTF-8, as long as the chosen path
  HWND window = nullptr;
  std::atomic<int> done{0};
  int status = 0;
  import_result result{};
  uint32_t last_tick = 0;
  std::atomic<int> cancel{0};
};

// The one import in flight, made afresh (all cleared) for every attempt. Process-wide: the
// worker and the progress callback reach it through their user pointer.
std::optional<import_job> job;

// The progress window's own state, on the user-interface thread only, for one attempt.
struct progress_window {
  HWND window = nullptr, label = nullptr, bar = nullptr, button = nullptr;
  font_handle font;
  scoped_handle<com_traits<ITaskbarList3>> taskbar;  // null where the shell has none
  moving_rate rate;
  std::atomic<int>* cancel = nullptr;
  bool cancelling = false;
  bool reading = false;  // a ZIP archive's first reading: its speed is not the copy's
};

DWORD WINAPI import_worker(LPVOID job);
void import_progress(uint64_t done, uint64_t total, const char* path, void* job);
LRESULT CALLBACK import_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

std::wstring wide(const char* text) { return utf8_to_wide(text); }

// COM on this thread for as long as the object lives (the taskbar object needs it).
class com_scope {
 public:
  com_scope() : initialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~com_scope() {
    if (initialized_) CoUninitialize();
  }
  com_scope(const com_scope&) = delete;
  com_scope& operator=(const com_scope&) = delete;

 private:
  bool initialized_;
};

// A window's device context, released on every way out.
class window_dc {
 public:
  explicit window_dc(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~window_dc() {
    if (dc_) ReleaseDC(window_, dc_);
  }
  window_dc(const window_dc&) = delete;
  window_dc& operator=(const window_dc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// A function of user32 that only newer Windows has (the per-monitor DPI calls came with
// Windows 10 1607): looked up at run time, so the launcher still starts on Windows 7 and 8.
template <typename Fn>
Fn newer_user32_function(const char* name) {
  return reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// The DPI the system's metrics (and older Windows's every window) are given at.
int system_dpi() {
  window_dc screen(nullptr);
  int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
  return dpi > 0 ? dpi : 96;
}

int dpi_of(HWND window) {
  static const auto dpi_for_window = newer_user32_function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  UINT dpi = dpi_for_window ? dpi_for_window(window) : 0;
  return dpi ? static_cast<int>(dpi) : system_dpi();
}

// The frame around a client area of `client` at `dpi`.
RECT window_rect_for(RECT client, int dpi) {
  static const auto adjust_for_dpi =
      newer_user32_function<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>(
          "AdjustWindowRectExForDpi");
  if (!adjust_for_dpi || !adjust_for_dpi(&client, WINDOW_STYLE, FALSE, 0, static_cast<UINT>(dpi)))
    AdjustWindowRectEx(&client, WINDOW_STYLE, FALSE, 0);
  return client;
}

// The font message boxes use, at `dpi`: the system gives its metrics at the system DPI, so
// a window on a monitor of another DPI scales them. Null if there is none; the controls
// then keep their default font.
font_handle message_font(int dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return {};
  metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, dpi, system_dpi());
  return font_handle(CreateFontIndirectW(&metrics.lfMessageFont));
}

int line_height(HWND window, HFONT font) {
  window_dc dc(window);
  if (!dc.get() || !font) return 0;
  HGDIOBJ old = SelectObject(dc.get(), font);
  TEXTMETRICW metrics{};
  int height =
      GetTextMetricsW(dc.get(), &metrics) ? metrics.tmHeight + metrics.tmExternalLeading : 0;
  SelectObject(dc.get(), old);
  return height;
}

// Places the controls and sizes the window for `dpi`, with the message font at that DPI.
void lay_out(progress_window& w, int dpi) {
  auto px = [dpi](int pixels_at_96) { return MulDiv(pixels_at_96, dpi, 96); };
  font_handle font = message_font(dpi);
  for (HWND control : {w.label, w.button})
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), FALSE);
  w.font = std::move(font);  // the old font goes only now that no control uses it

  // Large text (a setting of its own) needs more than the scaled height.
  const int label_height =
      std::max(px(LABEL_HEIGHT), LABEL_LINES * line_height(w.label, w.font.get()));
  const int bar_top = px(MARGIN) + label_height + px(BAR_GAP);
  const int button_top = bar_top + px(BAR_HEIGHT) + px(BUTTON_GAP);
  MoveWindow(w.label, px(MARGIN), px(MARGIN), px(LABEL_WIDTH), label_height, TRUE);
  MoveWindow(w.bar, px(MARGIN), bar_top, px(LABEL_WIDTH), px(BAR_HEIGHT), TRUE);
  MoveWindow(w.button, px(MARGIN) + px(LABEL_WIDTH) - px(BUTTON_WIDTH), button_top,
             px(BUTTON_WIDTH), px(BUTTON_HEIGHT), TRUE);
  RECT frame = window_rect_for({0, 0, px(MARGIN) + px(LABEL_WIDTH) + px(MARGIN),
                                button_top + px(BUTTON_HEIGHT) + px(MARGIN)},
                               dpi);
  SetWindowPos(w.window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The taskbar button's progress; null where the shell offers none (wine has no taskbar),
// and then the window alone shows it.
ITaskbarList3* create_taskbar() {
  ITaskbarList3* taskbar = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                              reinterpret_cast<void**>(&taskbar))) ||
      !taskbar)
    return nullptr;
  if (FAILED(taskbar->HrInit())) {
    taskbar->Release();
    return nullptr;
  }
  return taskbar;
}

void show_progress(progress_window& w, const progress_update& update) {
  if (w.cancelling) return;  // "Cancelling..." stays until the import has ended
  if (w.reading != !update.path) {
    w.reading = !update.path;
    w.rate = moving_rate();  // `done` starts again from 0 when the copy does
  }
  w.rate.add(update.tick, update.done);
  std::string text = progress_label_text(update.done, update.total, update.path);
  text += speed_and_time_left(update.done, update.total, w.rate);
  SetWindowTextW(w.label, wide(text.c_str()).c_str());
  const uint64_t step = update.total ? update.done * BAR_STEPS / update.total : 0;
  SendMessageW(w.bar, PBM_SETPOS, static_cast<WPARAM>(step), 0);
  if (w.taskbar && update.total)
    w.taskbar.get()->SetProgressValue(w.window, update.done, update.total);
}

void start_cancel(progress_window& w) {
  if (w.cancelling) return;
  w.cancelling = true;
  w.cancel->store(1);
  SetWindowTextW(w.label, wide(CANCELLING).c_str());
  EnableWindow(w.button, FALSE);
}

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

// Shows the progress window and runs job's import on a worker thread, pumping messages
// (the worker's updates arrive as messages) until the worker is done.
void run_import_attempt() {
  com_scope com;  // before the window's state, which releases the taskbar object
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = import_window_proc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursor(nullptr, IDC_WAIT);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = WINDOW_CLASS;
  RegisterClassW(&window_class);  // fails harmlessly when a retry registers it again

  progress_window w;
  w.cancel = &job->cancel;
  // Made hidden and shown once laid out for its own monitor's DPI.
  w.window =
      CreateWindowExW(0, WINDOW_CLASS, wide(PROGRESS_TITLE).c_str(), WINDOW_STYLE, CW_USEDEFAULT,
                      CW_USEDEFAULT, 520, 200, nullptr, nullptr, instance, &w);
  if (w.window) {
    w.label = CreateWindowExW(0, L"STATIC", wide(READING).c_str(), WS_CHILD | WS_VISIBLE, 0, 0, 0,
                              0, w.window, nullptr, instance, nullptr);
    w.bar = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, w.window,
                            nullptr, instance, nullptr);
    w.button = CreateWindowExW(0, L"BUTTON", wide(CANCEL).c_str(),
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
                               w.window, reinterpret_cast<HMENU>(IDCANCEL), instance, nullptr);
    SendMessageW(w.bar, PBM_SETRANGE32, 0, BAR_STEPS);
    lay_out(w, dpi_of(w.window));
    ShowWindow(w.window, SW_SHOWNORMAL);
    SetFocus(w.button);
    w.taskbar.reset(create_taskbar());
  }
  job->window = w.window;
  // Without a window the worker's wake-up message would go to its own queue and the loop
  // below would never end: count it as a start failure.
  kernel_handle worker(w.window ? CreateThread(nullptr, 0, import_worker, &*job, 0, nullptr)
                                : nullptr);
  if (!worker) {
    if (w.window) DestroyWindow(w.window);
    job->status = IMPORT_ERR_NO_MEMORY;
    job->result.message[0] = '\0';
    return;
  }
  while (!job->done.load()) {
    MSG message;
    if (GetMessageW(&message, nullptr, 0, 0) <= 0) break;
    // Tab and Space reach the Cancel button, Esc presses it.
    if (IsDialogMessageW(w.window, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  WaitForSingleObject(worker.get(), INFINITE);
  if (w.taskbar) w.taskbar.get()->SetProgressState(w.window, TBPF_NOPROGRESS);
  DestroyWindow(w.window);
}

LRESULT CALLBACK import_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* w = reinterpret_cast<progress_window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  // No exception may leave a window procedure: an update that cannot be shown for want of
  // memory is simply not shown.
  try {
    switch (message) {
      case WM_CLOSE:  // closing would not stop the copy; Cancel does, and says so
        return 0;
      case WM_COMMAND:
        if (w && LOWORD(wparam) == IDCANCEL) start_cancel(*w);
        return 0;
      case WM_CTLCOLORSTATIC:  // the label on the window's background, not in a grey box
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOW));
        SetTextColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      case WM_IMPORT_PROGRESS:
        if (w) show_progress(*w, *reinterpret_cast<const progress_update*>(lparam));
        return 0;
      case WM_DPICHANGED:  // moved to a monitor of another DPI: its suggested place, our size
        if (w) {
          const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
          SetWindowPos(window, nullptr, suggested->left, suggested->top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
          lay_out(*w, HIWORD(wparam));
        }
        return 0;
      default:
        break;
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

DWORD WINAPI import_worker(LPVOID user) {
  import_job* j = static_cast<import_job*>(user);
  j->status = import_game_cancellable(j->source.c_str(), "game", import_progress, j, &j->result,
                                      &j->cancel);
  j->done.exchange(1);
  PostMessageW(j->window, WM_NULL, 0, 0);
  return 0;
}

void import_progress(uint64_t done, uint64_t total, const char* path, void* user) {
  import_job* j = static_cast<import_job*>(user);
  uint32_t now = GetTickCount();
  if (!progress_update_due(now, j->last_tick, done, total)) return;
  j->last_tick = now;
  progress_update update{done, total, path, now};  // null: a ZIP archive's first reading
  // Sent, not posted: the update lives on this stack until it is shown. The window's thread
  // waits for the worker only after `done`, when no update comes any more, so the two never
  // wait for each other.
  SendMessageW(j->window, WM_IMPORT_PROGRESS, 0, reinterpret_cast<LPARAM>(&update));
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
  job.emplace();
  job->source = source;
  run_import_attempt();
  // The player stopped it: back to the question, without a box about what they just did.
  if (job->status == IMPORT_OK || job->status == IMPORT_ERR_CANCELLED) return 1;
  import_result result = job->result;
  return message_box(import_failure_text(job->status, result.message), GATE_TITLE,
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
