// Drives the launcher under test through its real windows, from another process of the same
// wine session: starts it, finds its windows by title, reads their static texts, presses
// their buttons and fills the open-file dialog.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "windows_support.h"

// UTF-8 to UTF-16; empty stays empty.
std::wstring wide(const std::string& s);

// Generous bounds: wine may take seconds to bring up its first window.
constexpr DWORD WINDOW_TIMEOUT_MS = 30000;
constexpr DWORD EXIT_TIMEOUT_MS = 60000;

// A started launcher. Killed on destruction if it is still running (a failed test).
class launcher_process {
 public:
  launcher_process() = default;
  ~launcher_process();
  launcher_process(const launcher_process&) = delete;
  launcher_process& operator=(const launcher_process&) = delete;

  // Starts `exe` with the wide `arguments` appended to its quoted name, in `folder` (UTF-8),
  // with RECOMP_SKIP_XBE_CHECK set to `skip_check` or removed when there is none. Standard
  // error goes to a file read by err(). False when it cannot be started.
  bool start(const std::string& exe, const std::wstring& arguments, const std::string& folder,
             const std::optional<std::string>& skip_check = std::nullopt);

  DWORD pid() const { return pid_; }
  // The exit code, or -1 when it has not ended within `timeout_ms`.
  int wait_exit(DWORD timeout_ms = EXIT_TIMEOUT_MS);
  bool running() const;
  // What it wrote to standard error so far.
  std::string err() const;

 private:
  kernel_handle process_;
  DWORD pid_ = 0;
  std::wstring err_path_;
};

// A visible top-level window of process `pid` titled exactly `title`; null after the time-out
// or when the process ended first.
HWND wait_window(const launcher_process& process, const std::string& title,
                 DWORD timeout_ms = WINDOW_TIMEOUT_MS);

// The window's children of class `class_name` (case-insensitive), in creation order.
std::vector<HWND> children_of_class(HWND window, const wchar_t* class_name);
// A child's rectangle in its parent's client coordinates.
RECT rect_in_parent(HWND child);

// Texts of the window's STATIC children in creation order, empty texts left out.
std::vector<std::string> static_texts(HWND window);
// The text of a message box (its one STATIC with text); "" when there is none.
std::string message_text(HWND box);

// The text the system holds for a window of another process, read with GetWindowTextW
// (wine answers it from its server's copy, for controls too): what the program set, in
// UTF-16, whatever its window procedure would say.
std::string window_text(HWND window);

// Clicks `button` as the mouse would (BM_CLICK), without waiting for what it does.
bool click(HWND button);

// Presses the dialog button `id` (IDOK, IDCANCEL, IDRETRY...) and waits until the dialog is
// gone. False when it stays.
bool press(HWND dialog, int id);

// Types `path` into the open-file dialog's file name box and presses Open. False when the
// box is not found or the dialog stays open.
bool choose_file(HWND dialog, const std::string& path);

// Saves a screenshot of the whole (virtual X) screen as `png_path` (a Windows path into the
// build tree). False when it could not be taken.
bool screenshot(const std::string& png_path);

// Sets a value under HKEY_CURRENT_USER while the object lives, then puts back what was there
// (or removes it). Programs started meanwhile see it: wine reads such settings per process.
class scoped_user_setting {
 public:
  scoped_user_setting(const wchar_t* key, const wchar_t* name, DWORD type, const void* data,
                      DWORD size);
  ~scoped_user_setting();
  scoped_user_setting(const scoped_user_setting&) = delete;
  scoped_user_setting& operator=(const scoped_user_setting&) = delete;

 private:
  HKEY key_ = nullptr;
  std::wstring name_;
  bool had_value_ = false;
  DWORD old_type_ = 0;
  std::vector<BYTE> old_;
};

// Sets an environment variable of this process while the object lives, then removes it;
// programs started meanwhile inherit it.
class scoped_environment {
 public:
  scoped_environment(const std::wstring& name, const std::wstring& value) : name_(name) {
    SetEnvironmentVariableW(name_.c_str(), value.c_str());
  }
  ~scoped_environment() { SetEnvironmentVariableW(name_.c_str(), nullptr); }
  scoped_environment(const scoped_environment&) = delete;
  scoped_environment& operator=(const scoped_environment&) = delete;

 private:
  std::wstring name_;
};

// Suspends (or resumes) every thread of `pid` but the one owning `window`: freezes an import
// mid-way while its window stays responsive. Returns how many threads were touched.
int suspend_other_threads(DWORD pid, HWND window, bool suspend);
