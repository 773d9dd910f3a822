// POSIX half of the file-system layer: paths are UTF-8 bytes already, so they go straight
// to the system calls.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fs.h"
#include "scoped_handle.h"

const char OUTPUT_SEPARATOR = '/';

#ifdef __linux__
const size_t WRITE_PIECE = 64u * 1024;
#else
const size_t WRITE_PIECE = SIZE_MAX;
#endif

namespace {

struct dir_traits : handle_traits<DIR*> {
  static void close(type d) { closedir(d); }
};

struct fd_traits : handle_traits<int, -1> {
  static bool is_valid(type fd) { return fd >= 0; }
  static void close(type fd) { ::close(fd); }
};
using scoped_fd = scoped_handle<fd_traits>;

// fsync of a folder: what makes a name created or moved in it durable.
int sync_dir(const char* dir) {
  scoped_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && fsync(fd.get()) == 0 ? 0 : -1;
}

}  // namespace

FILE* open_utf8(const char* path, const char* mode) {
  if (!path || !mode) return nullptr;
  return std::fopen(path, mode);
}

namespace {

// The file at `path` opened without waiting on a pipe, if it is a regular file; its status
// in *st.
int open_regular(const char* path, struct stat* st) {
  // Non-blocking, so that a pipe is refused rather than waited on; one open and one fstat,
  // no second walk of the path.
  scoped_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd || fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode)) return -1;
  return fd.release();
}

// `fd`, from open_regular, as an unbuffered stream that owns it. Null on failure, the
// descriptor closed.
FILE* stream_of(int fd) {
  scoped_fd own(fd);
  // Blocking again for the reads: a FUSE daemon may answer a non-blocking one with EAGAIN.
  if (fcntl(fd, F_SETFL, O_RDONLY) != 0) return nullptr;
  FILE* f = fdopen(fd, "rb");
  if (!f) return nullptr;
  own.release();
  std::setvbuf(f, nullptr, _IONBF, 0);  // whole pieces go straight to read()
  return f;
}

}  // namespace

FILE* open_regular_file(const char* path, uint64_t* size) {
  if (!path) return nullptr;
  struct stat st;
  const int fd = open_regular(path, &st);
  FILE* f = fd < 0 ? nullptr : stream_of(fd);
  if (f && size) *size = static_cast<uint64_t>(st.st_size);
  return f;
}

#ifdef __linux__
const bool CAN_READ_AHEAD = true;
#else
const bool CAN_READ_AHEAD = false;
#endif

FILE* open_to_read_soon(const char* path, bool read_now, bool* in_memory) {
  *in_memory = false;
#ifdef __linux__
  struct stat st;
  const int fd = path ? open_regular(path, &st) : -1;
  if (fd < 0) return nullptr;
  if (read_now) {
    char first;
    struct iovec one = {&first, 1};
    // Answered from memory or not at all; an empty file is as good as read.
    *in_memory = preadv2(fd, &one, 1, 0, RWF_NOWAIT) >= 0;
    if (!*in_memory) posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
  }
  return stream_of(fd);
#else
  (void)path;
  (void)read_now;
  return nullptr;
#endif
}

int open_file_size(FILE* f, uint64_t* size) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return -1;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

FILE* create_new_utf8(const char* path) {
  if (!path) return nullptr;
  // "x": O_EXCL, which refuses any name that exists, a link too, without following it; "e":
  // O_CLOEXEC. One system call, where open and fdopen take two.
  FILE* f = std::fopen(path, "wbxe");
  // A stale ".part", or a link planted there: the link goes, not its target. Only then, so
  // that the usual fresh name costs no failed unlink.
  if (!f && errno == EEXIST && unlink(path) == 0) f = std::fopen(path, "wbxe");
  return f;
}

int flush_written_file(FILE* f, uint64_t size) {
  if (std::fflush(f) != 0) return -1;
#ifdef __linux__
  // The wait comes later and finds the writing under way. Small files are left to the
  // flushes of their volume (every few MiB, and at the end), which write them together, where
  // writeback started file by file would send the disk thousands of small writes.
  constexpr uint64_t EARLY_WRITEBACK = 1 << 20;
  if (size < EARLY_WRITEBACK) return 0;
  return sync_file_range(fileno(f), 0, 0, SYNC_FILE_RANGE_WRITE) == 0 || errno == ESPIPE ? 0 : -1;
#else
  return 0;  // the finishing thread's sync_path flushes it; a flush here would be a second one
#endif
}

int sync_path(const char* path) {
  scoped_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  return (S_ISDIR(st.st_mode) ? fsync(fd.get()) : fdatasync(fd.get())) == 0 ? 0 : -1;
}

int volume_sync_reaches(const char* path, uint64_t* volume) {
#ifdef __linux__
  // FUSE: the kernel's syncfs sends nothing to the daemon (measured with a daemon that
  // records its calls: 0 flushes after an import that syncfs-ed, every file lost at a power
  // cut); only a flush of each file reaches it.
  constexpr long FUSE_SUPER_MAGIC = 0x65735546;
  struct statfs fs;
  struct stat st;
  if (statfs(path, &fs) != 0 || fs.f_type == FUSE_SUPER_MAGIC || stat(path, &st) != 0) return 0;
  *volume = static_cast<uint64_t>(st.st_dev);
  return 1;
#else
  (void)path, (void)volume;
  return 0;
#endif
}

int sync_volume(const char* path) {
#ifdef __linux__
  scoped_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  return fd && syncfs(fd.get()) == 0 ? 0 : -1;
#else
  (void)path;
  return -1;
#endif
}

int seek_to(FILE* f, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

#ifdef __linux__
namespace {

constexpr uint64_t PAGE = 4096;

// The pipe one thread's spliced copies go through, kept open between them.
struct splice_pipe {
  int fds[2] = {-1, -1};
  size_t capacity = 0;
  ~splice_pipe() { reset(); }
  void reset() {
    for (int& fd : fds) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }
  bool ready() {
    if (fds[0] >= 0) return true;
    if (pipe2(fds, O_CLOEXEC) != 0) {
      fds[0] = fds[1] = -1;
      return false;
    }
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);  // fewer calls where allowed; the default serves too
    const int size = fcntl(fds[1], F_GETPIPE_SZ);
    if (size < static_cast<int>(2 * PAGE)) {
      reset();
      return false;
    }
    capacity = static_cast<size_t>(size);
    return true;
  }
};

// copy_in_kernel for a source whose offset is not on a page boundary where the output's is
// (a file of a disc image starts on a 2,048-byte sector, half of them mid-page). The kernel's
// own copy then writes the output in pieces that start and end mid-page, which took it 1.5
// times as long to copy and 1.15 times as long to flush (4 files of 96 MiB). Through a pipe of
// our own, every piece written is whole pages of the output: a piece of n pages takes n + 1
// pipe slots from such a source, so a piece is one page less than the pipe holds.
uint64_t copy_spliced(int in_fd, loff_t from, int out_fd, uint64_t length) {
  thread_local splice_pipe pipe;
  if (!pipe.ready()) return 0;
  const uint64_t piece = pipe.capacity - PAGE;
  uint64_t copied = 0;
  while (copied < length) {
    const uint64_t want = length - copied < piece ? length - copied : piece;
    const ssize_t got = splice(in_fd, &from, pipe.fds[1], nullptr, static_cast<size_t>(want), 0);
    if (got <= 0) break;
    for (ssize_t left = got; left > 0;) {
      const ssize_t put =
          splice(pipe.fds[0], nullptr, out_fd, nullptr, static_cast<size_t>(left), 0);
      if (put <= 0) {
        pipe.reset();  // what is left in it belongs to no copy
        return copied;
      }
      left -= put;
      copied += static_cast<uint64_t>(put);
    }
  }
  return copied;
}

}  // namespace
#endif

uint64_t copy_in_kernel(FILE* in, uint64_t in_offset, FILE* out, uint64_t out_offset,
                        uint64_t length) {
#ifdef __linux__
  if (in_offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  const int in_fd = fileno(in), out_fd = fileno(out);
  loff_t from = static_cast<loff_t>(in_offset);
  // The kernel's own copy goes through a pipe of 16 pages, which takes a piece of up to 15
  // pages from such a source in one round and writes it in one go: only longer ones need ours.
  if ((in_offset - out_offset) % PAGE != 0 && length >= 16 * PAGE) {
    const uint64_t spliced = copy_spliced(in_fd, from, out_fd, length);
    if (spliced != 0) return spliced;
  }
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
  (void)out_offset;
  (void)length;
  return 0;
#endif
}

void expect_sequential_read(FILE* f) {
#ifdef POSIX_FADV_SEQUENTIAL
  (void)posix_fadvise(fileno(f), 0, 0, POSIX_FADV_SEQUENTIAL);
#else
  (void)f;
#endif
}

path_type path_kind(const char* path, uint64_t* size_out) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return PATH_NONE;
  if (size_out) *size_out = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  if (S_ISREG(st.st_mode)) return PATH_FILE;
  // Pipes, sockets and devices are not files to import or hash (opening a pipe blocks for
  // ever), but they are there: a caller that names the cause needs to tell them from absent.
  return S_ISDIR(st.st_mode) ? PATH_FOLDER : PATH_OTHER;
}

int file_space_of(const char* path, file_space* out) {
  struct stat st;
  if (!path || lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  // st_blocks counts 512-byte units whatever the file system's block size.
  out->allocated = static_cast<uint64_t>(st.st_blocks) * 512u;
  out->links = static_cast<uint64_t>(st.st_nlink);
  return 0;
}

int make_dir(const char* path) {
  if (mkdir(path, 0777) == 0) return 0;
  return path_kind(path, nullptr) == PATH_FOLDER ? 0 : -1;
}

int unlink_utf8(const char* path) { return unlink(path) == 0 ? 0 : -1; }

int rename_replace(const char* from, const char* to) {
  // rename() refuses to put a file over a folder, like MoveFileExW does.
  return rename(from, to) == 0 ? 0 : -1;
}

int rename_replace_durable(const char* from, const char* to) {
  if (rename_replace(from, to) != 0) return -1;
  std::string dir = to;
  const size_t cut = dir.find_last_of('/');
  dir = cut == std::string::npos ? "." : cut == 0 ? "/" : dir.substr(0, cut);
  if (sync_dir(dir.c_str()) == 0) return 0;
  unlink(to);
  return -1;
}

int is_broken_link(const char* path) {
  struct stat st;
  return path && lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && stat(path, &st) != 0;
}

int identity_of(const char* path, file_identity* out) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  out->volume = static_cast<uint64_t>(st.st_dev);
  out->index = static_cast<uint64_t>(st.st_ino);
  return 0;
}

int last_write_of(const char* path, uint64_t* stamp) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return -1;
  *stamp = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
           static_cast<uint64_t>(st.st_mtim.tv_nsec);
  return 0;
}

int free_space(const char* path, uint64_t* bytes_out) {
  struct statvfs st;
  if (!path || statvfs(path, &st) != 0) return -1;
  // libfuse answers statfs with every count 0 for a file system that does not implement it:
  // that is "unknown", not "full".
  if (st.f_blocks == 0) return -1;
  *bytes_out = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  return 0;
}

int file_lock::lock(const char* path) {
  unlock();
  // The holder before us removes the file as it unlocks, so the file we opened may be gone
  // from the name by the time we hold its lock, which then guards nothing: open it again.
  for (int attempt = 0; attempt < 16; ++attempt) {
    scoped_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) return -1;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? 1 : -1;
    struct stat held, named;
    if (fstat(fd.get(), &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      path_ = path;
      handle_ = fd.release();
      return 0;
    }
  }
  return 1;
}

void file_lock::unlock() {
  if (handle_ < 0) return;
  unlink(path_.c_str());  // while still locked: nobody can take over a file about to go
  ::close(static_cast<int>(handle_));
  handle_ = -1;
  path_.clear();
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
  // Handed out a batch at a time in the order of their inode numbers, which on most file
  // systems is the order the files were created and their inodes and data lie on the disk;
  // the order of the listing itself is a hash on ext4. A tree read cold from a disk is
  // read forward instead of to and fro (cp does the same).
  struct found {
    ino_t ino;
    unsigned char type;
    std::string name;
  };
  std::vector<found> batch;
  constexpr size_t BATCH = 1024;
  for (bool more = true; more;) {
    batch.clear();
    while (batch.size() < BATCH) {
      // readdir says "no more" and "failed" both with null; only errno tells them apart, and
      // a flaky drive taken for the end of a folder would give a partial game.
      errno = 0;
      struct dirent* e = readdir(d.get());
      if (!e) {
        if (errno != 0) return LIST_DIR_FAILED;
        more = false;
        break;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      batch.push_back({e->d_ino, e->d_type, e->d_name});
    }
    std::sort(batch.begin(), batch.end(),
              [](const found& a, const found& b) { return a.ino < b.ino; });
    for (const found& f : batch) {
      int is_dir = 0;
      if (f.type == DT_DIR) {
        is_dir = 1;
      } else if (f.type == DT_UNKNOWN || f.type == DT_LNK) {
        // Follow links and ask when the file system does not say, like the attribute query
        // on Windows reports the target's kind.
        path.resize(base_len);
        path += f.name;
        if (path_kind(path.c_str(), nullptr) == PATH_FOLDER) {
          struct stat own;
          is_dir = lstat(path.c_str(), &own) == 0 && S_ISLNK(own.st_mode) ? LIST_FOLDER_LINK : 1;
        }
      }
      int status = cb(state, f.name.c_str(), is_dir);
      if (status != 0) return status;
    }
  }
  return 0;
}
