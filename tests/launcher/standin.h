// Shared bits of the stand-in build kit programs.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include "fs.h"
#include "windows_support.h"

// Appends one line to the UTF-8 file `path` (relative to the current folder).
inline void append_log(const char* path, const std::string& line) {
  FILE* f = open_utf8(path, "ab");
  if (!f) return;
  std::fputs((line + "\n").c_str(), f);
  std::fclose(f);
}

inline std::string current_folder() {
  wchar_t buffer[32768];
  DWORD n = GetCurrentDirectoryW(32768, buffer);
  return n == 0 || n >= 32768 ? std::string() : wide_to_utf8(buffer);
}

// Runs `command_line` in the current console and folder; its exit code, or 99 when it
// cannot be started.
inline DWORD run_and_wait(std::wstring command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return 99;
  kernel_handle thread(process.hThread), child(process.hProcess);
  WaitForSingleObject(child.get(), INFINITE);
  DWORD code = 98;
  GetExitCodeProcess(child.get(), &code);
  return code;
}
