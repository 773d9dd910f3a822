#include "finisher.h"

#include <cstring>
#include <new>
#include <system_error>

#include "fs.h"
#include "import.h"
#include "manifest.h"
#include "sha256.h"

finisher::~finisher() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void finisher::start(const std::atomic<int>* cancel) {
  cancel_ = cancel;
  try {
    thread_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // hashed on the importing thread instead: slower, still checked
  }
}

void finisher::add(const std::string& path, const std::string& rel_path,
                   const manifest_file* expected) {
  job j{path, rel_path, expected};
  if (!threaded_) {
    check(j);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(j));
  }
  wake_.notify_one();
}

void finisher::run() {
  for (;;) {
    job j;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      j = std::move(queue_.front());
      queue_.pop_front();
    }
    if (cancel_ && cancel_->load() != 0) continue;  // drained without hashing
    try {
      check(j);
    } catch (const std::bad_alloc&) {
      std::lock_guard<std::mutex> lock(mu_);
      if (failure_.empty()) failure_ = "cannot read back " + j.path + " (out of memory)";
    }
  }
}

void finisher::check(const job& j) {
  char hex[65] = "";
  bool read = true;
  if (j.expected) {
    uint8_t digest[32];
    read = sha256_file(j.path.c_str(), digest) == 0;
    if (read) digest_to_hex(digest, hex);
  }
  // Its writeback started when the copy closed it: this wait mostly finds it done.
  const bool durable = read && sync_file(j.path.c_str()) == 0;
  std::lock_guard<std::mutex> lock(mu_);
  if (!read || !durable) {
    if (failure_.empty())
      failure_ = (read ? "cannot flush " + j.path + " to the disk" : "cannot read back " + j.path) +
                 " (disk error?)";
    return;
  }
  if (!j.expected) return;
  ++verified_;
  if (std::strcmp(hex, j.expected->sha256) != 0) damaged_.push_back(j.rel_path);
}

int finisher::wait(std::vector<std::string>* damaged, uint32_t* verified, std::string* message) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (cancel_ && cancel_->load() != 0) return IMPORT_ERR_CANCELLED;
  if (!failure_.empty()) {
    *message = failure_;
    return IMPORT_ERR_OUTPUT_IO;
  }
  *damaged = std::move(damaged_);
  *verified = verified_;
  return IMPORT_OK;
}
