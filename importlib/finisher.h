// Finishes every file the import writes, behind the copy, on a second thread: checks it
// against the disc's list (when there is one) while its pages are still in the cache, then
// waits until it is on the disk. The copy itself keeps its pace and its copies inside the
// kernel, and the final wait finds the work done. A file that differs does not stop the
// import; the driver names every one at the end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct manifest_file;

class finisher {
 public:
  finisher() = default;
  ~finisher();
  finisher(const finisher&) = delete;
  finisher& operator=(const finisher&) = delete;

  // Starts the thread, which stops early once `*cancel` (may be null) is set. Where no thread
  // can be started, files are finished as they are added instead.
  void start(const std::atomic<int>* cancel);

  // Finishes the file at `path`, written and closed: compares it with `expected` (when not
  // null; the file is named by `rel_path` when it differs), then makes it durable. May throw
  // std::bad_alloc.
  void add(const std::string& path, const std::string& rel_path, const manifest_file* expected);

  // Waits for every file added. IMPORT_OK with the relative paths of the files that differ
  // (in the order added) in *damaged and the number checked in *verified;
  // IMPORT_ERR_OUTPUT_IO with "cannot read back <path> (disk error?)" or "cannot flush <path>
  // to the disk (disk error?)" in *message; or IMPORT_ERR_CANCELLED.
  int wait(std::vector<std::string>* damaged, uint32_t* verified, std::string* message);

 private:
  struct job {
    std::string path, rel_path;
    const manifest_file* expected;
  };
  void run();
  void check(const job& j);  // with mu_ unlocked; records the outcome under it

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<job> queue_;
  bool closing_ = false;
  bool threaded_ = false;
  std::thread thread_;
  const std::atomic<int>* cancel_ = nullptr;
  std::vector<std::string> damaged_;
  uint32_t verified_ = 0;
  std::string failure_;  // what went wrong with the first file that could not be finished
};
