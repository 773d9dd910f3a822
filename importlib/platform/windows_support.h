// Windows-only helpers shared by the import library, the launcher and the tests: UTF-8 <->
// UTF-16 at the system call, and the handle kinds for scoped_handle.
#pragma once

#include <windows.h>

#include <string>

#include "scoped_handle.h"

// UTF-8 <-> UTF-16 (code page 65001). Empty on failure or when the conversion yields nothing.
std::wstring utf8_to_wide(const char* text);
std::string wide_to_utf8(const wchar_t* wtext);

// Kernel objects (files, processes, threads). Both null and INVALID_HANDLE_VALUE mean none:
// CreateFile returns the one on failure, CreateThread the other.
struct kernel_handle_traits : handle_traits<HANDLE> {
  static bool is_valid(type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(type h) { CloseHandle(h); }
};
using kernel_handle = scoped_handle<kernel_handle_traits>;

// Directory searches from FindFirstFileW.
struct find_handle_traits : handle_traits<HANDLE> {
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(type h) { return h != INVALID_HANDLE_VALUE; }
  static void close(type h) { FindClose(h); }
};
using find_handle = scoped_handle<find_handle_traits>;

// Blocks the system allocates with LocalAlloc for us (CommandLineToArgvW's array).
template <typename T>
struct local_memory_traits : handle_traits<T*> {
  static void close(T* p) { LocalFree(p); }
};

// Modules loaded with LoadLibraryExW.
struct module_traits : handle_traits<HMODULE> {
  static void close(type m) { FreeLibrary(m); }
};
using module_handle = scoped_handle<module_traits>;
