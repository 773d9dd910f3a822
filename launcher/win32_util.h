// Win32 helpers the launcher's modules share.
#pragma once

#include <windows.h>

#include "windows_support.h"

// 1 when `path` (relative to the launcher's folder, plain ASCII) exists and is not a folder.
inline int is_plain_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
