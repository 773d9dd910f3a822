// Checks every file the import writes against the disc's list, behind the copy: a second
// thread hashes each finished file while its pages are still in the cache, so the copy itself
// keeps its pace (and its copies inside the kernel). A file that differs does not stop the
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

class verifier {
 public:
  verifier() = default;
  ~verifier();
  verifier(const verifier&) = delete;
  verifier& operator=(const verifier&) = delete;

  // Starts the thread that hashes, which stops early once `*cancel` (may be null) is set.
  // Where no thread can be started, files are hashed as they are added instead.
  void start(const std::atomic<int>* cancel);

  // Hashes the file at `path`, written and closed, and compares it with `expected`; the file
  // is named by `rel_path` when it differs. May throw std::bad_alloc.
  void add(const std::string& path, const std::string& rel_path, const manifest_file* expected);

  // Waits for every file added. IMPORT_OK with the relative paths of the files that differ
  // (in the order added) in *damaged and the number checked in *verified, or
  // IMPORT_ERR_OUTPUT_IO with "cannot read back <path>" in *message when a written file
  // cannot be read, or IMPORT_ERR_CANCELLED.
  int finish(std::vector<std::string>* damaged, uint32_t* verified, std::string* message);

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
  std::string unreadable_;  // the first written file that could not be read back
};
