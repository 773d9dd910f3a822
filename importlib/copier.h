// The entry copier: one listed file from a folder or out of the image stream to its place in
// the output, always through a ".part" sibling, with progress and optional hashing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "fs.h"
#include "import.h"

class image_reader;
struct import_entry;
struct sha256_ctx;

// One buffer of this size serves every copy of an import.
constexpr size_t COPY_CHUNK = 4u * 1024 * 1024;

// Shared by all copies of one import.
struct copy_job {
  progress_fn progress = nullptr;  // may be null
  void* user = nullptr;            // passed back to progress
  uint64_t done = 0;               // bytes written so far in this import, all files
  uint64_t total = 0;              // bytes the whole import will write; set before the first copy
  std::unique_ptr<uint8_t[]> buffer;         // COPY_CHUNK bytes, allocated by the driver
  const std::atomic<int>* cancel = nullptr;  // non-zero once the caller gives up; may be null
  // Every file copied is checked against the disc's list afterwards (or, default.xbe, against
  // its digest): what a source file holds past its listed size cannot reach the output unseen.
  bool checked_by_list = false;
};

// IMPORT_ERR_CANCELLED, with its message in *message, once the caller has set the job's cancel
// flag; IMPORT_OK before.
int check_cancel(const copy_job* job, std::string* message);

// What becomes of a finished ".part" file.
enum part_fate : int {
  PART_RENAME = 0,  // moved over the target
  PART_KEEP = 1,    // left as it is, its path handed to the caller, who then owns the file
};

// Copies `entry` (a file of `image`, or of a folder source: then `image` may be null) to
// `target` + ".part", feeding `hash` (may be null) on the way; then moves the ".part" over
// `target`, or keeps it and stores its path in *part_out. A folder source's file is read from
// `opened` when that is not null (its stream, opened ahead as open_regular_file does; taken
// over), else opened here. An import status, explained in *message; after any failure the
// ".part" file is gone and an existing `target` is untouched.
int copy_entry(const import_entry& entry, image_reader* image, const char* target, copy_job* job,
               std::string* message, sha256_ctx* hash, part_fate fate, std::string* part_out,
               FILE* opened = nullptr);

// Deletes a ".part" file when it goes out of scope, unless released first: every path that
// gives up on a copy, exceptions included, leaves no ".part" behind.
class part_file_guard {
 public:
  part_file_guard() = default;
  explicit part_file_guard(std::string path) : path_(std::move(path)) {}
  ~part_file_guard() { discard(); }
  part_file_guard(const part_file_guard&) = delete;
  part_file_guard& operator=(const part_file_guard&) = delete;
  part_file_guard& operator=(std::string path) {
    discard();
    path_ = std::move(path);
    return *this;
  }
  const std::string& path() const { return path_; }
  // Deletes the file now (if it is still owned).
  void discard() {
    if (!path_.empty()) unlink_utf8(path_.c_str());
    path_.clear();
  }
  // Stops owning the file, handing its path over.
  std::string release() { return std::move(path_); }

 private:
  std::string path_;
};
