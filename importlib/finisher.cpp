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
    closing_ = flusher_closing_ = true;
    flush_asked_ = false;
    queue_.clear();
  }
  wake_.notify_all();
  flush_wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (flusher_.joinable()) flusher_.join();
}

void finisher::start(const std::atomic<int>* cancel, const char* out) {
  cancel_ = cancel;
  try {
    thread_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // hashed on the importing thread instead: slower, still checked
  }
  uint64_t volume = 0;
  if (!out || !volume_sync_reaches(out, &volume)) return;
  out_ = out;
  try {
    flusher_ = std::thread([this] { run_flushes(); });
  } catch (const std::system_error&) {
    // Everything is flushed at the end instead.
  }
}

namespace {

// The thread is woken once this much is waiting, not for every file: waking a sleeping core
// costs more than checking a small file (2,000 small files spent a third of the import's
// processor time on it), and a few MiB are still in the cache when their turn comes.
constexpr uint64_t WAKE_BYTES = 4u << 20;
constexpr size_t WAKE_FILES = 64;

// The output's volume is flushed each time this much more is written. Small files have no
// writeback started on their own (see flush_written_file), so without it all their bytes
// waited for the flush at the end: 2,000 small files from a folder took 1.06x of cp+sync, and
// 0.89x with a flush every 16 MiB (docs/performance.md).
constexpr uint64_t FLUSH_EVERY = 16u << 20;

}  // namespace

void finisher::add(const std::string& path, const std::string& rel_path, uint64_t size,
                   const manifest_file* expected) {
  job j{path, rel_path, expected, false};
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    unflushed_bytes_ += size;
    if (unflushed_bytes_ >= FLUSH_EVERY) ask_flush();
    if (threaded_) {
      queue_.push_back(std::move(j));
      queued_bytes_ += size;
      wake = queued_bytes_ >= WAKE_BYTES || queue_.size() >= WAKE_FILES;
      if (wake) queued_bytes_ = 0;
    }
  }
  if (!threaded_) check(j);
  if (wake) wake_.notify_one();
}

void finisher::ask_flush() {
  unflushed_bytes_ = 0;
  if (!flusher_.joinable()) return;
  // A flush asked for while one runs is made once that one ends: it may have missed the latest
  // files.
  flush_asked_ = true;
  flush_wake_.notify_one();
}

void finisher::run_flushes() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    flush_wake_.wait(lock, [this] { return flush_asked_ || flusher_closing_; });
    if (!flush_asked_) return;
    flush_asked_ = false;
    if (cancel_ && cancel_->load() != 0) continue;
    lock.unlock();
    // Each flush reports a write error once, to whoever asks first: checked every time.
    const bool flushed = sync_volume(out_.c_str()) == 0;
    lock.lock();
    if (!flushed && failure_.empty())
      failure_ = "cannot flush " + out_ + " to the disk (disk error?)";
  }
}

void finisher::add_folders(const std::vector<std::string>& paths) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ask_flush();
  }
  for (const std::string& path : paths) {
    job j{path, path, nullptr, true};
    if (!threaded_) {
      check(j);
      continue;
    }
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
    if (!buffer_) buffer_.reset(new uint8_t[SHA256_FILE_CHUNK]);
    read = sha256_file(j.path.c_str(), digest, buffer_.get()) == 0;
    if (read) digest_to_hex(digest, hex);
  }
  // Its writeback started when the copy closed it: a flush now mostly finds it done.
  uint64_t volume = 0;
  const bool by_volume = read && volume_reaches(j, &volume);
  const bool durable = read && (by_volume || sync_path(j.path.c_str()) == 0);
  std::lock_guard<std::mutex> lock(mu_);
  if (by_volume) volumes_.emplace(volume, j.path);
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

bool finisher::volume_reaches(const job& j, uint64_t* volume) {
  // Every file the import writes is new and no link, so its folder's file system is its own;
  // a folder may be a link to another.
  const size_t cut = j.path.find_last_of("/\\");
  const std::string folder =
      j.folder || cut == std::string::npos ? std::string() : j.path.substr(0, cut);
  if (folder.empty() || folder != last_folder_) {
    last_reaches_ = volume_sync_reaches(j.path.c_str(), &last_volume_) != 0;
    last_folder_ = folder;
  }
  *volume = last_volume_;
  return last_reaches_;
}

int finisher::wait(std::vector<std::string>* damaged, uint32_t* verified, std::string* message) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    flusher_closing_ = true;
  }
  flush_wake_.notify_all();
  if (flusher_.joinable()) flusher_.join();
  if (cancel_ && cancel_->load() != 0) return IMPORT_ERR_CANCELLED;
  for (const auto& [volume, path] : volumes_) {
    if (failure_.empty() && sync_volume(path.c_str()) != 0)
      failure_ = "cannot flush " + path + " to the disk (disk error?)";
  }
  if (!failure_.empty()) {
    *message = failure_;
    return IMPORT_ERR_OUTPUT_IO;
  }
  *damaged = std::move(damaged_);
  *verified = verified_;
  return IMPORT_OK;
}
