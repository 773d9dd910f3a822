#include "driver.h"

#include <tlhelp32.h>

#include <string>
#include <vector>

#include "fs.h"
#include "testutil.h"

namespace {

constexpr DWORD POLL_MS = 20;
constexpr UINT SEND_TIMEOUT_MS = 5000;

std::string narrow(const std::wstring& s) {
  return s.empty() ? std::string() : wide_to_utf8(s.c_str());
}

std::wstring class_of(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// The text of a window of another process: WM_GETTEXT is marshalled across processes,
// GetWindowText is not for controls.
std::wstring text_of(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS,
                           &length))
    return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &copied))
    return {};
  text.resize(copied);
  return text;
}

bool wait_gone(HWND window, DWORD timeout_ms) {
  for (DWORD waited = 0; IsWindow(window); waited += POLL_MS) {
    if (waited >= timeout_ms) return false;
    Sleep(POLL_MS);
  }
  return true;
}

struct window_search {
  DWORD pid;
  std::wstring title;
  HWND found = nullptr;
};

}  // namespace

launcher_process::~launcher_process() {
  if (process_) {
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 255);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  if (!err_path_.empty()) DeleteFileW(err_path_.c_str());
}

bool launcher_process::start(const std::string& exe, const std::wstring& arguments,
                             const std::string& folder,
                             const std::optional<std::string>& skip_check) {
  wchar_t temp[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (!GetTempPathW(MAX_PATH + 1, temp) || !GetTempFileNameW(temp, L"qml", 0, name)) return false;
  err_path_ = name;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  kernel_handle err(CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!err) return false;

  std::wstring command = L"\"" + wide(exe) + L"\"";
  if (!arguments.empty()) command += L" " + arguments;
  // The child copies our environment: set the switch just for this start.
  SetEnvironmentVariableW(L"RECOMP_SKIP_XBE_CHECK",
                          skip_check ? wide(*skip_check).c_str() : nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = err.get();
  PROCESS_INFORMATION info{};
  BOOL ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           wide(folder).c_str(), &startup, &info);
  SetEnvironmentVariableW(L"RECOMP_SKIP_XBE_CHECK", nullptr);
  if (!ok) return false;
  kernel_handle thread(info.hThread);
  process_.reset(info.hProcess);
  pid_ = info.dwProcessId;
  return true;
}

int launcher_process::wait_exit(DWORD timeout_ms) {
  if (!process_ || WaitForSingleObject(process_.get(), timeout_ms) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  return static_cast<int>(code);
}

bool launcher_process::running() const {
  return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

std::wstring wide(const std::string& s) {
  return s.empty() ? std::wstring() : utf8_to_wide(s.c_str());
}

std::string launcher_process::err() const {
  kernel_handle f(CreateFileW(err_path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  if (!f) return {};
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(f.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
  // The C runtime writes standard error in text mode.
  return fold_crlf(text);
}

HWND wait_window(const launcher_process& process, const std::string& title, DWORD timeout_ms) {
  window_search search{process.pid(), wide(title)};
  for (DWORD waited = 0;; waited += POLL_MS) {
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
          auto* s = reinterpret_cast<window_search*>(param);
          DWORD pid = 0;
          GetWindowThreadProcessId(window, &pid);
          if (pid != s->pid || !IsWindowVisible(window)) return TRUE;
          wchar_t text[512] = {};
          GetWindowTextW(window, text, 512);
          if (s->title != text) return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    if (waited >= timeout_ms || !process.running()) return nullptr;
    Sleep(POLL_MS);
  }
}

std::vector<HWND> children_of_class(HWND window, const wchar_t* class_name) {
  std::vector<HWND> children;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM param) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  std::vector<HWND> found;
  for (HWND child : children)
    if (_wcsicmp(class_of(child).c_str(), class_name) == 0) found.push_back(child);
  return found;
}

RECT rect_in_parent(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string window_text(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return narrow(text);
}

bool click(HWND button) { return PostMessageW(button, BM_CLICK, 0, 0) != 0; }

std::vector<std::string> static_texts(HWND window) {
  std::vector<std::string> texts;
  for (HWND child : children_of_class(window, L"Static")) {
    std::wstring text = text_of(child);
    if (!text.empty()) texts.push_back(narrow(text));
  }
  return texts;
}

std::string message_text(HWND box) {
  std::vector<std::string> texts = static_texts(box);
  return texts.size() == 1 ? texts[0] : std::string();
}

bool press(HWND dialog, int id) {
  if (!PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                    reinterpret_cast<LPARAM>(GetDlgItem(dialog, id))))
    return false;
  return wait_gone(dialog, 10000);
}

// The open-file dialog's file name box: the edit inside cmb13 (0x47c; a ComboBoxEx holding a
// combo box holding the edit, in wine's Explorer-style dialog), or edt1 (0x480) in older
// templates. Null while the dialog has not created it yet.
HWND file_name_box(HWND dialog) {
  if (HWND combo = GetDlgItem(dialog, 0x47c)) {
    if (_wcsicmp(class_of(combo).c_str(), L"Edit") == 0) return combo;
    HWND edit = nullptr;
    EnumChildWindows(
        combo,
        [](HWND child, LPARAM param) -> BOOL {
          if (_wcsicmp(class_of(child).c_str(), L"Edit") != 0) return TRUE;
          *reinterpret_cast<HWND*>(param) = child;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&edit));
    if (edit) return edit;
  }
  return GetDlgItem(dialog, 0x480);
}

bool choose_file(HWND dialog, const std::string& path) {
  // Wine shows the dialog before it has created all of its controls: wait for the box.
  HWND edit = nullptr;
  for (DWORD waited = 0; !(edit = file_name_box(dialog)); waited += POLL_MS) {
    if (waited >= WINDOW_TIMEOUT_MS || !IsWindow(dialog)) return false;
    Sleep(POLL_MS);
  }
  std::wstring text = wide(path);
  DWORD_PTR ignored = 0;
  if (!SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                           SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &ignored))
    return false;
  return press(dialog, IDOK);
}

bool screenshot(const std::string& png_path) {
  // ImageMagick's import, a Unix program: wine starts non-PE files as native processes.
  using unix_name_fn = char* (*)(const wchar_t*);
  auto to_unix = reinterpret_cast<unix_name_fn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!to_unix) return false;
  DeleteFileW(wide(png_path).c_str());
  char* unix_path = to_unix(wide(png_path).c_str());
  if (!unix_path) return false;
  std::wstring command = L"/usr/bin/import -window root \"" + wide(unix_path) + L"\"";
  HeapFree(GetProcessHeap(), 0, unix_path);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(L"Z:\\usr\\bin\\import", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info))
    return false;
  kernel_handle thread(info.hThread), process(info.hProcess);
  WaitForSingleObject(process.get(), 20000);
  // The native process may not be waitable through its handle: wait for the file instead.
  for (int i = 0; i < 200; ++i) {
    uint64_t size = 0;
    if (path_kind(png_path.c_str(), &size) == PATH_FILE && size > 0) {
      Sleep(300);  // let it finish writing
      return true;
    }
    Sleep(50);
  }
  return false;
}

scoped_user_setting::scoped_user_setting(const wchar_t* key, const wchar_t* name, DWORD type,
                                         const void* data, DWORD size)
    : name_(name) {
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      nullptr, &key_, nullptr) != ERROR_SUCCESS) {
    key_ = nullptr;
    return;
  }
  DWORD old_size = 0;
  had_value_ =
      RegQueryValueExW(key_, name, nullptr, &old_type_, nullptr, &old_size) == ERROR_SUCCESS;
  old_.resize(old_size);
  if (had_value_ &&
      RegQueryValueExW(key_, name, nullptr, &old_type_, old_.data(), &old_size) != ERROR_SUCCESS)
    had_value_ = false;
  RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size);
}

scoped_user_setting::~scoped_user_setting() {
  if (!key_) return;
  if (had_value_)
    RegSetValueExW(key_, name_.c_str(), 0, old_type_, old_.data(), static_cast<DWORD>(old_.size()));
  else
    RegDeleteValueW(key_, name_.c_str());
  RegCloseKey(key_);
}

int suspend_other_threads(DWORD pid, HWND window, bool suspend) {
  DWORD ui_thread = GetWindowThreadProcessId(window, nullptr);
  kernel_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  int touched = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != pid || entry.th32ThreadID == ui_thread) continue;
    kernel_handle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
    if (!thread) continue;
    if ((suspend ? SuspendThread(thread.get()) : ResumeThread(thread.get())) !=
        static_cast<DWORD>(-1))
      ++touched;
  }
  return touched;
}
