#include "verifier.h"

#include <cstring>
#include <new>
#include <system_error>

#include "import.h"
#include "manifest.h"
#include "sha256.h"

verifier::~verifier() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void verifier::start(const std::atomic<int>* cancel) {
  cancel_ = cancel;
  try {
    thread_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // hashed on the importing thread instead: slower, still checked
  }
}

void verifier::add(const std::string& path, const std::string& rel_path,
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

void verifier::run() {
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
      if (unreadable_.empty()) unreadable_ = j.path;
    }
  }
}

void verifier::check(const job& j) {
  uint8_t digest[32];
  char hex[65] = "";
  const bool read = sha256_file(j.path.c_str(), digest) == 0;
  if (read) digest_to_hex(digest, hex);
  std::lock_guard<std::mutex> lock(mu_);
  if (!read) {
    if (unreadable_.empty()) unreadable_ = j.path;
    return;
  }
  ++verified_;
  if (std::strcmp(hex, j.expected->sha256) != 0) damaged_.push_back(j.rel_path);
}

int verifier::finish(std::vector<std::string>* damaged, uint32_t* verified, std::string* message) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (cancel_ && cancel_->load() != 0) return IMPORT_ERR_CANCELLED;
  if (!unreadable_.empty()) {
    *message = "cannot read back " + unreadable_ + " (disk error?)";
    return IMPORT_ERR_OUTPUT_IO;
  }
  *damaged = std::move(damaged_);
  *verified = verified_;
  return IMPORT_OK;
}
