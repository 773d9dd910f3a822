// The launcher's two gates and its entry: game files first, then the build, then the game.
#pragma once

#include <windows.h>

#include <cstdint>

#include "import.h"

// Closes a kernel handle when it goes out of scope.
struct scoped_handle {
  HANDLE h = nullptr;
  scoped_handle() = default;
  explicit scoped_handle(HANDLE handle) : h(handle) {}
  scoped_handle(const scoped_handle&) = delete;
  scoped_handle& operator=(const scoped_handle&) = delete;
  ~scoped_handle() {
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// 1 when `path` (relative to the launcher's folder, plain ASCII) exists and is not a folder.
inline int is_plain_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

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

// 1 when "game\default.xbe" is in place (imported now if needed) and verified, or the check
// is switched off by RECOMP_SKIP_XBE_CHECK; 0 when the launcher must quit (the player
// declined, or the executable is not the supported build; the player was told).
int ensure_game_files();

DWORD WINAPI import_worker(LPVOID job);
void import_progress(uint64_t done, uint64_t total, const char* path, void* job);
LRESULT CALLBACK import_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The whole launcher; `arguments` is its command line without the program name, handed on
// to the game. Returns the exit code: 0 when the game was started, 1 otherwise.
int launcher_main(const wchar_t* arguments);
