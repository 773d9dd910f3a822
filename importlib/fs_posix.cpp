// POSIX half of the file-system layer: paths are UTF-8 bytes already, so they go straight
// to the system calls.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fs.h"
#include "scoped_handle.h"

const char OUTPUT_SEPARATOR = '/';

namespace {

struct dir_traits {
  using type = DIR*;
  static type invalid() { return nullptr; }
  static bool is_valid(type d) { return d != nullptr; }
  static void close(type d) { closedir(d); }
};

}  // namespace

FILE* open_utf8(const char* path, const char* mode) {
  if (!path || !mode) return nullptr;
  return std::fopen(path, mode);
}

int seek_to(FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

uint64_t copy_in_kernel(FILE* in, uint64_t in_offset, FILE* out, uint64_t length) {
#ifdef __linux__
  if (in_offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  const int in_fd = fileno(in), out_fd = fileno(out);
  loff_t from = static_cast<loff_t>(in_offset);
  uint64_t copied = 0;
  while (copied < length) {
    ssize_t n =
        copy_file_range(in_fd, &from, out_fd, nullptr, static_cast<size_t>(length - copied), 0);
    if (n <= 0) break;
    copied += static_cast<uint64_t>(n);
  }
  return copied;
#else
  (void)in;
  (void)in_offset;
  (void)out;
  (void)length;
  return 0;
#endif
}

int path_kind(const char* path, uint64_t* size_out) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return 0;
  // Pipes, sockets and devices are not files to import or hash: opening a pipe blocks for
  // ever. Windows' attribute query never reports such things, so they count as absent.
  if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) return 0;
  if (size_out) *size_out = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  return S_ISDIR(st.st_mode) ? 2 : 1;
}

int make_dir(const char* path) {
  if (mkdir(path, 0777) == 0) return 0;
  return path_kind(path, nullptr) == 2 ? 0 : -1;
}

int unlink_utf8(const char* path) { return unlink(path) == 0 ? 0 : -1; }

int rename_replace(const char* from, const char* to) {
  // rename() refuses to put a file over a folder, like MoveFileExW does.
  return rename(from, to) == 0 ? 0 : -1;
}

std::string full_path_utf8(const char* path) {
  if (!path || !*path) return {};
  std::string abs;
  if (path[0] == '/') {
    abs = path;
  } else {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return {};
    abs = cwd;
    abs += '/';
    abs += path;
  }
  // Normalise lexically, as the Windows full-path function does: fold "." and "..",
  // collapse separator runs. The path need not exist.
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < abs.size()) {
    while (i < abs.size() && abs[i] == '/') ++i;
    size_t j = i;
    while (j < abs.size() && abs[j] != '/') ++j;
    std::string part = abs.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

int list_dir_raw(const char* dir, dir_callback cb, void* state) {
  scoped_handle<dir_traits> d(opendir(dir));
  if (!d) return LIST_DIR_FAILED;
  std::string path = dir;
  path += '/';
  const size_t base_len = path.size();
  while (struct dirent* e = readdir(d.get())) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    int is_dir = 0;
    if (e->d_type == DT_DIR) {
      is_dir = 1;
    } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      // Follow links and ask when the file system does not say, like the attribute query
      // on Windows reports the target's kind.
      path.resize(base_len);
      path += e->d_name;
      is_dir = path_kind(path.c_str(), nullptr) == 2;
    }
    int status = cb(state, e->d_name, is_dir);
    if (status != 0) return status;
  }
  return 0;
}
