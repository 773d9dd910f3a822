// Finishes every file the import writes, behind the copy, on a second thread: checks it
// against the disc's list (when there is one) while its pages are still in the cache, then
// sees that it reaches the disk: flushed on its own where the file system needs that (FUSE),
// else by one flush of its whole volume at the end, which on the benchmark's 2,000 small
// files cost a fraction of a flush each. A third thread flushes the output's volume every
// FLUSH_EVERY bytes meanwhile, so that the disk writes while the copy goes on and the flush
// at the end finds little left (docs/performance.md). The copy itself keeps its pace and its
// copies inside the kernel. A file that differs does not stop the import; the driver names
// every one at the end.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "work_queue.h"

struct manifest_file;

class finisher {
 public:
  finisher() = default;
  ~finisher() = default;
  finisher(const finisher&) = delete;
  finisher& operator=(const finisher&) = delete;

  // Starts the verifier, which skips what is left once `*cancel` (may be null) is set. Where no
  // thread can be started, files are finished as they are added instead. Where one flush of
  // its volume reaches the output folder `out`, the flushing thread too.
  void start(const std::atomic<int>* cancel, const char* out);

  // Finishes the file at `path`, `size` bytes written and closed: compares it with `expected`
  // (when not null; the file is named by `rel_path` when it differs), then makes it durable.
  // May throw std::bad_alloc.
  void add(const std::string& path, const std::string& rel_path, uint64_t size,
           const manifest_file* expected);

  // Makes the folders durable, each once every entry made in it is in place: the last work,
  // so the thread sets to it, and to any files still waiting, right away, while the output's
  // volume is flushed once more. May throw std::bad_alloc.
  void add_folders(const std::vector<std::string>& paths);

  // Waits for every file added, then flushes the volumes they lie on. IMPORT_OK with the relative
  // paths of the files that differ (in the order added) in *damaged and the number checked in
  // *verified; IMPORT_ERR_OUTPUT_IO with "cannot read back <path> (disk error?)" or "cannot flush
  // <path> to the disk (disk error?)" in *message; or IMPORT_ERR_CANCELLED.
  int complete(std::vector<std::string>* damaged, uint32_t* verified, std::string* message);

 private:
  struct job {
    std::string path, rel_path;
    const manifest_file* expected;
    bool folder;
  };
  void queue_check(job j, bool wake);
  void ask_flush();          // with mu_ locked
  void check(const job& j);  // with mu_ unlocked; records the outcome under it
  // Whether one flush of its volume makes the file or folder durable; for files asked once
  // per folder.
  bool volume_reaches(const job& j, uint64_t* volume);

  std::mutex mu_;
  uint64_t queued_bytes_ = 0;  // added since the verifier was last woken
  size_t queued_files_ = 0;
  const std::atomic<int>* cancel_ = nullptr;
  std::vector<std::string> damaged_;
  uint32_t verified_ = 0;
  std::string failure_;  // what went wrong with the first file that could not be finished
  std::map<uint64_t, std::string> volumes_;  // flushed as a whole at the end: a path on each
  // The flushes': the output folder, bytes added since it was last asked to flush, and whether
  // one is queued and not begun.
  std::string out_;
  uint64_t unflushed_bytes_ = 0;
  bool flush_queued_ = false;
  // The verifier's own: the read buffer, and the folder last asked about and its answer.
  std::unique_ptr<uint8_t[]> buffer_;
  std::string last_folder_;
  bool last_reaches_ = false;
  uint64_t last_volume_ = 0;
  // Last, so that they end, and their tasks with them, before anything the tasks use.
  work_queue verifier_;
  work_queue flusher_;
};
