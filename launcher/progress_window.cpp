// The progress window: an import runs on a worker thread while the window shows how far it
// got, its speed and the time left, and offers Cancel. The window's thread alone touches the
// window; the worker sends its updates to it.
//
// Every text is UTF-8 here and becomes UTF-16 only at the call that puts it on screen.
#include "progress_window.h"

#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "launcher_rules.h"
#include "launcher_texts.h"
#include "win32_util.h"

namespace {

const wchar_t WINDOW_CLASS[] = L"QuillmoorImport";

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

// One import, on the stack of import_with_progress: the worker and the progress callback
// reach it through their user pointer. The worker writes `status` and `result` before it sets
// `done` (atomically); the user-interface thread reads them only after it has seen `done` and
// the worker has ended. `cancel` goes the other way: set by the user-interface thread, read by
// the import.
struct import_job {
  std::string source;  // UTF-8, as long as the chosen path
  HWND window = nullptr;
  std::atomic<int> done{0};
  int status = 0;
  import_result result{};
  uint32_t last_tick = 0;
  std::atomic<int> cancel{0};
};

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

// Shows the progress window and runs `job`'s import on a worker thread, pumping messages
// (the worker's updates arrive as messages) until the worker is done.
void run_import_attempt(import_job& job) {
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
  w.cancel = &job.cancel;
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
  job.window = w.window;
  // Without a window the worker's wake-up message would go to its own queue and the loop
  // below would never end: count it as a start failure.
  kernel_handle worker(w.window ? CreateThread(nullptr, 0, import_worker, &job, 0, nullptr)
                                : nullptr);
  if (!worker) {
    if (w.window) DestroyWindow(w.window);
    job.status = IMPORT_ERR_NO_MEMORY;
    job.result.message[0] = '\0';
    return;
  }
  while (!job.done.load()) {
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

}  // namespace

int import_with_progress(const std::string& source, import_result* result) {
  import_job job;
  job.source = source;
  run_import_attempt(job);
  *result = job.result;
  return job.status;
}
