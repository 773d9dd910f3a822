// A small file system of its own for a test, on a loop device: where the blocks, the links
// or the volume under a path matter, which the temporary folder's file system does not fix.
// POSIX only, and root only.
#pragma once

#include <cstdint>
#include <string>

class loop_mount {
 public:
  // Writes an empty ext4 image of `bytes` (no journal, no blocks reserved for root) at
  // `image` and mounts it on the folder `at`, which it creates.
  loop_mount(const std::string& image, const std::string& at, uint64_t bytes);
  // Unmounts; the image and the folder stay for their temporary folder to remove.
  ~loop_mount();
  loop_mount(const loop_mount&) = delete;
  loop_mount& operator=(const loop_mount&) = delete;
  // Empty once mounted; else why not, for the test's skip message.
  const std::string& failure() const { return failure_; }

 private:
  std::string at_, failure_;
};
