// Win32 helpers the launcher's modules share.
#pragma once

#include <windows.h>

#include <string>

#include "windows_support.h"

// 1 when `path` (relative to the launcher's folder, plain ASCII) exists and is not a folder.
inline int is_plain_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The current folder's full path; empty when the system cannot say.
inline std::wstring current_folder() {
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

// A message box (no owner) with the UTF-8 `text` and `title`, turned into UTF-16 only here:
// the ANSI box showed the UTF-8 bytes of a path such as "ゲーム é" as "ã‚²ãƒ¼ãƒ Ã©".
inline int message_box(const std::string& text, const char* title, UINT flags) {
  return MessageBoxW(nullptr, utf8_to_wide(text.c_str()).c_str(), utf8_to_wide(title).c_str(),
                     flags);
}

// Fonts from CreateFontIndirectW.
struct font_traits : handle_traits<HFONT> {
  static void close(type f) { DeleteObject(f); }
};
using font_handle = scoped_handle<font_traits>;

// COM interface pointers: released, never deleted.
template <typename T>
struct com_traits : handle_traits<T*> {
  static void close(T* p) { p->Release(); }
};
