// Faults that a test cannot stage on a real file system, preloaded into the program under
// test (LD_PRELOAD; POSIX only) and switched on by its environment:
//   QM_FAULT_READDIR=1      every readdir fails with EIO, as on a failing drive
//   QM_FAULT_OPENDIR=NAME   opening a folder whose path ends in NAME is refused (EACCES), as
//                           for a folder another user's rights close to this one
//   QM_FAULT_FREE_BYTES=N   statvfs reports N bytes available to the user
//   QM_FAULT_NO_BLOCKS=1    statvfs reports every block count 0, as libfuse does for a
//                           file system without statfs
//   QM_FAULT_SLOW_SYNC_MS=N every fsync and fdatasync takes N ms more, as on a slow stick
//   QM_FAULT_FUSE=1         statfs says every file system is a FUSE one
//   QM_FAULT_SYNCFS_EIO=N   the Nth syncfs (from 1) flushes, then reports EIO, as when the
//                           disk failed a write
#include <dirent.h>
#include <dlfcn.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Fn>
Fn next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

template <typename Entry>
Entry* failed_readdir(DIR* dir, const char* name) {
  if (std::getenv("QM_FAULT_READDIR")) {
    errno = EIO;
    return nullptr;
  }
  return next<Entry* (*)(DIR*)>(name)(dir);
}

template <typename Stat>
int faked_statvfs(const char* path, Stat* st, const char* name) {
  int status = next<int (*)(const char*, Stat*)>(name)(path, st);
  const char* free_bytes = std::getenv("QM_FAULT_FREE_BYTES");
  if (status == 0 && free_bytes) {
    st->f_frsize = 1;  // so that any byte count is exact
    st->f_bavail = std::strtoull(free_bytes, nullptr, 10);
  }
  if (status == 0 && std::getenv("QM_FAULT_NO_BLOCKS"))
    st->f_blocks = st->f_bfree = st->f_bavail = 0;
  return status;
}

template <typename Stat>
int faked_statfs(const char* path, Stat* st, const char* name) {
  int status = next<int (*)(const char*, Stat*)>(name)(path, st);
  if (status == 0 && std::getenv("QM_FAULT_FUSE")) st->f_type = 0x65735546;
  return status;
}

template <typename Sync>
int slow_sync(int fd, const char* name) {
  if (const char* ms = std::getenv("QM_FAULT_SLOW_SYNC_MS")) {
    const long n = std::strtol(ms, nullptr, 10);
    const struct timespec wait = {n / 1000, (n % 1000) * 1000000};
    nanosleep(&wait, nullptr);
  }
  return next<Sync>(name)(fd);
}

}  // namespace

extern "C" int statfs(const char* path, struct statfs* st) {
  return faked_statfs(path, st, "statfs");
}
extern "C" int statfs64(const char* path, struct statfs64* st) {
  return faked_statfs(path, st, "statfs64");
}
extern "C" int syncfs(int fd) {
  static std::atomic<long> calls{0};
  const long n = ++calls;
  const int status = next<int (*)(int)>("syncfs")(fd);
  const char* fail = std::getenv("QM_FAULT_SYNCFS_EIO");
  if (status != 0 || !fail || std::strtol(fail, nullptr, 10) != n) return status;
  errno = EIO;
  return -1;
}
extern "C" int fsync(int fd) { return slow_sync<int (*)(int)>(fd, "fsync"); }
extern "C" int fdatasync(int fd) { return slow_sync<int (*)(int)>(fd, "fdatasync"); }

extern "C" DIR* opendir(const char* path) {
  const char* name = std::getenv("QM_FAULT_OPENDIR");
  const size_t n = name ? std::strlen(name) : 0, len = std::strlen(path);
  if (n && len >= n && std::strcmp(path + len - n, name) == 0) {
    errno = EACCES;
    return nullptr;
  }
  return next<DIR* (*)(const char*)>("opendir")(path);
}

// Both names: which one a program calls depends on how it was built (_FILE_OFFSET_BITS).
extern "C" struct dirent* readdir(DIR* dir) {
  return failed_readdir<struct dirent>(dir, "readdir");
}
extern "C" struct dirent64* readdir64(DIR* dir) {
  return failed_readdir<struct dirent64>(dir, "readdir64");
}
extern "C" int statvfs(const char* path, struct statvfs* st) {
  return faked_statvfs(path, st, "statvfs");
}
extern "C" int statvfs64(const char* path, struct statvfs64* st) {
  return faked_statvfs(path, st, "statvfs64");
}
