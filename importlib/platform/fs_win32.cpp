// Win32 half of the file-system layer: UTF-8 inside, converted to UTF-16 at the last moment
// and handed to the wide-character calls, so any name on disc or in a folder survives.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <memory>

#include "fs.h"
#include "windows_support.h"

const char OUTPUT_SEPARATOR = '\\';
const size_t WRITE_PIECE = SIZE_MAX;

namespace {

struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};

// What a path leads to, links and junctions followed: the attribute query reports a link's
// own attributes and size (0), so a copy through it would come out empty. Folders need
// FILE_FLAG_BACKUP_SEMANTICS to be opened at all.
bool query_target(const std::wstring& w, BY_HANDLE_FILE_INFORMATION* info) {
  kernel_handle h(CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return h && GetFileInformationByHandle(h.get(), info);
}

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

FILE* create_new_utf8(const char* path) {
  std::wstring w = utf8_to_wide(path);
  if (w.empty()) return nullptr;
  DeleteFileW(w.c_str());  // a stale ".part", or a link planted there: the link goes
  kernel_handle h(CreateFileW(w.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return nullptr;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h.get()), _O_WRONLY | _O_BINARY);
  if (fd < 0) return nullptr;
  h.release();  // the descriptor owns the handle now
  FILE* f = _fdopen(fd, "wb");
  if (!f) _close(fd);
  return f;
}

int flush_written_file(FILE* f, uint64_t) {
  if (std::fflush(f) != 0) return -1;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) ? 0 : -1;
}

// Every file was flushed before its rename (flush_written_file), and renames are written
// through: nothing is left to wait for.
int sync_path(const char*) { return 0; }
int volume_sync_reaches(const char*, uint64_t*) { return 0; }
int sync_volume(const char*) { return 0; }

int seek_to(FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0 ? 0 : -1;
}

// Windows has no offset-to-handle copy in the kernel; the copier reads and writes.
uint64_t copy_in_kernel(FILE*, uint64_t, FILE*, uint64_t, uint64_t) { return 0; }

const bool CAN_READ_AHEAD = false;

FILE* open_to_read_soon(const char*, bool, bool* in_memory) {
  *in_memory = false;
  return nullptr;
}

void expect_sequential_read(FILE*) {}

FILE* open_regular_file(const char* path, uint64_t* size) {
  if (path_kind(path, size) != PATH_FILE) return nullptr;
  FILE* f = open_utf8(path, "rb");
  if (f) std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

int open_file_size(FILE* f, uint64_t* size) {
  const __int64 n = _filelengthi64(_fileno(f));
  if (n < 0) return -1;
  *size = static_cast<uint64_t>(n);
  return 0;
}

path_type path_kind(const char* path, uint64_t* size_out) {
  std::wstring w = utf8_to_wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return PATH_NONE;
  DWORD attributes = data.dwFileAttributes;
  uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!query_target(w, &info)) return PATH_NONE;  // a broken link
    attributes = info.dwFileAttributes;
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }
  if (size_out) *size_out = size;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PATH_FOLDER : PATH_FILE;
}

int file_space_of(const char* path, file_space* out) {
  std::wstring w = utf8_to_wide(path);
  if (w.empty()) return -1;
  // The name's own file, a link there not followed: a move over the name replaces the link.
  kernel_handle h(CreateFileW(
      w.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  FILE_STANDARD_INFO standard;
  if (!h || !GetFileInformationByHandle(h.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
      !GetFileInformationByHandleEx(h.get(), FileStandardInfo, &standard, sizeof standard))
    return -1;
  // The clusters the file holds: less than its size when sparse or compressed.
  out->allocated = static_cast<uint64_t>(standard.AllocationSize.QuadPart);
  out->links = standard.NumberOfLinks;
  return 0;
}

int make_dir(const char* path) {
  std::wstring w = utf8_to_wide(path);
  if (!w.empty() && CreateDirectoryW(w.c_str(), nullptr)) return 0;
  return path_kind(path, nullptr) == PATH_FOLDER ? 0 : -1;
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

int rename_replace_durable(const char* from, const char* to) {
  std::wstring wf = utf8_to_wide(from), wt = utf8_to_wide(to);
  if (wf.empty() || wt.empty()) return -1;
  // Returns only once the move is on the disk.
  return MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : -1;
}

int is_broken_link(const char* path) {
  std::wstring w = utf8_to_wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  BY_HANDLE_FILE_INFORMATION info;
  return !w.empty() && GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data) &&
         (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !query_target(w, &info);
}

int identity_of(const char* path, file_identity* out) {
  std::wstring w = utf8_to_wide(path);
  BY_HANDLE_FILE_INFORMATION info;
  if (w.empty() || !query_target(w, &info)) return -1;
  out->volume = info.dwVolumeSerialNumber;
  out->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return 0;
}

int last_write_of(const char* path, uint64_t* stamp) {
  std::wstring w = utf8_to_wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return -1;
  *stamp = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
           data.ftLastWriteTime.dwLowDateTime;
  return 0;
}

int free_space(const char* path, uint64_t* bytes_out) {
  std::wstring w = utf8_to_wide(path);
  // A share root is only understood with its trailing separator; any folder path can take one.
  if (!w.empty() && w.back() != L'\\' && w.back() != L'/') w += L'\\';
  ULARGE_INTEGER available, total;
  if (w.empty() || !GetDiskFreeSpaceExW(w.c_str(), &available, &total, nullptr)) return -1;
  if (total.QuadPart == 0) return -1;  // a file system that does not say: unknown, not full
  *bytes_out = available.QuadPart;
  return 0;
}

int file_lock::lock(const char* path) {
  unlock();
  std::wstring w = utf8_to_wide(path);
  if (w.empty()) return -1;
  // Deleted when the last handle closes, also when the process dies: no stale lock file.
  kernel_handle h(CreateFileW(
      w.c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) return -1;
  OVERLAPPED at{};
  if (!LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
    return GetLastError() == ERROR_LOCK_VIOLATION ? 1 : -1;
  path_ = path;
  handle_ = reinterpret_cast<intptr_t>(h.release());
  return 0;
}

void file_lock::unlock() {
  if (handle_ == -1) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));  // unlocks and deletes the file
  handle_ = -1;
  path_.clear();
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
    int is_dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    // Only these tags make a link: a cloud file's folder (OneDrive) is a reparse point too.
    // Wine shows a Unix link as a reparse point with no tag (wine 8).
    const DWORD tag = fd.dwReserved0;
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT || tag == 0) &&
        (is_dir || path_kind((std::string(dir) + '\\' + name).c_str(), nullptr) == PATH_FOLDER))
      is_dir = LIST_FOLDER_LINK;
    int status = cb(state, name.c_str(), is_dir);
    if (status != 0) return status;
  } while (FindNextFileW(h.get(), &fd));
  // Anything but "no more files" is a listing that broke off, not the end of the folder.
  return GetLastError() == ERROR_NO_MORE_FILES ? 0 : LIST_DIR_FAILED;
}
