// Win32 half of the file-system layer: UTF-8 inside, converted to UTF-16 at the last moment
// and handed to the wide-character calls, so any name on disc or in a folder survives.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <memory>

#include "fs.h"
#include "windows_support.h"

const char OUTPUT_SEPARATOR = '\\';

namespace {

struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

std::wstring utf8_to_wide(const char* text) {
  if (!text) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 1) return {};  // fails, or yields only the terminator
  std::wstring out(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n) != n) return {};
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string wide_to_utf8(const wchar_t* wtext) {
  if (!wtext) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wtext, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, wtext, -1, out.data(), n, nullptr, nullptr) != n) return {};
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

FILE* open_utf8(const char* path, const char* mode) {
  std::wstring wpath = utf8_to_wide(path);
  std::wstring wmode = utf8_to_wide(mode);
  if (wpath.empty() || wmode.empty()) return nullptr;
  return _wfopen(wpath.c_str(), wmode.c_str());
}

int seek_to(FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0 ? 0 : -1;
}

// Windows has no offset-to-handle copy in the kernel; the copier reads and writes.
uint64_t copy_in_kernel(FILE*, uint64_t, FILE*, uint64_t) { return 0; }

int path_kind(const char* path, uint64_t* size_out) {
  std::wstring w = utf8_to_wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return 0;
  if (size_out) *size_out = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 2 : 1;
}

int make_dir(const char* path) {
  std::wstring w = utf8_to_wide(path);
  if (!w.empty() && CreateDirectoryW(w.c_str(), nullptr)) return 0;
  return path_kind(path, nullptr) == 2 ? 0 : -1;
}

int unlink_utf8(const char* path) {
  std::wstring w = utf8_to_wide(path);
  return !w.empty() && DeleteFileW(w.c_str()) ? 0 : -1;
}

int rename_replace(const char* from, const char* to) {
  std::wstring wf = utf8_to_wide(from), wt = utf8_to_wide(to);
  if (wf.empty() || wt.empty()) return -1;
  return MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

std::string full_path_utf8(const char* path) {
  std::wstring w = utf8_to_wide(path);
  if (w.empty()) return {};
  std::unique_ptr<wchar_t, free_deleter> full(_wfullpath(nullptr, w.c_str(), 0));
  if (!full) return {};
  std::string out = wide_to_utf8(full.get());
  while (out.size() > 3 && (out.back() == '\\' || out.back() == '/')) out.pop_back();
  return out;
}

int list_dir_raw(const char* dir, dir_callback cb, void* state) {
  std::string pattern = dir;
  pattern += "\\*";
  std::wstring wpattern = utf8_to_wide(pattern.c_str());
  if (wpattern.empty()) return LIST_DIR_FAILED;
  WIN32_FIND_DATAW fd;
  find_handle h(FindFirstFileW(wpattern.c_str(), &fd));
  if (!h) return LIST_DIR_FAILED;
  do {
    if (std::wcscmp(fd.cFileName, L".") == 0 || std::wcscmp(fd.cFileName, L"..") == 0) continue;
    std::string name = wide_to_utf8(fd.cFileName);
    if (name.empty()) continue;  // not representable: skipped, as for any unreadable name
    int status = cb(state, name.c_str(), (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0);
    if (status != 0) return status;
  } while (FindNextFileW(h.get(), &fd));
  return 0;
}
