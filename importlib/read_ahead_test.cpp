#include "read_ahead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fs.h"
#include "testutil.h"

#ifdef __linux__
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Whether the first page of `path` is in the page cache, asked without reading it (a read
// that may not wait still starts one).
bool cached(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  void* map = mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return false;
  unsigned char in = 0;
  const bool ok = mincore(map, 1, &in) == 0;
  munmap(map, 1);
  return ok && (in & 1);
}

// Writes the file to the disk and drops it from the page cache. False where the file system
// keeps it in memory regardless (tmpfs).
bool written_and_dropped(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool dropped = fdatasync(fd) == 0;
  // Pages still on their way to the page lists stay; a moment later they go.
  for (int i = 0; dropped && i < 50 && cached(path); ++i) {
    if (i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    dropped = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  }
  close(fd);
  return dropped && !cached(path);
}

bool becomes_cached(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    if (cached(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

size_t open_descriptors() {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += e.exists();
  return n;
}

// The thread opens and reads as far ahead as the copy allows and no further, hands each file
// over open, goes on as the copy moves, and stops when the copy is done with it even while it
// waits, closing what the copy never took.
TEST(ReadAhead, StaysAWindowAheadOfTheCopy) {
  temp_dir dir;
  std::vector<std::string> names;
  std::vector<const char*> paths;
  for (int i = 0; i < 400; ++i) {
    names.push_back(dir / std::to_string(i));
    write_file(names.back(), pattern_bytes(8192, static_cast<uint32_t>(i)));
  }
  for (const std::string& n : names) {
    if (!written_and_dropped(n)) GTEST_SKIP() << "this file system keeps files in memory";
    paths.push_back(n.c_str());
  }
  paths[5] = nullptr;  // not to be read ahead
  const size_t descriptors = open_descriptors();
  {
    read_ahead ahead;
    ahead.start(paths, std::vector<uint64_t>(paths.size(), 8192));
    EXPECT_TRUE(becomes_cached(names[255]));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(cached(names[5]));
    EXPECT_FALSE(cached(names[300])) << "beyond the window while the copy is at the start";
    for (size_t k = 0; k <= 200; ++k) {
      unique_file f(ahead.at(k));
      ASSERT_EQ(f != nullptr, k != 5) << k;
      if (!f) continue;
      std::vector<uint8_t> bytes(8193);
      bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f.get()));
      EXPECT_EQ(bytes, pattern_bytes(8192, static_cast<uint32_t>(k))) << k;
    }
    // The thread woke at some file from 128 on: seeing the copy at 143 or before, it went a
    // window (256) past it and waits for the copy to be half a window further, at 271 at the
    // most; past that it reads to the end. Files it has not opened by then the copy opens.
    for (size_t k = 201; k <= 280; ++k) unique_file f(ahead.at(k));
    EXPECT_TRUE(becomes_cached(names[399]));
  }
  EXPECT_EQ(open_descriptors(), descriptors);
}

}  // namespace
#endif
