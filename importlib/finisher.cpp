#include "finisher.h"

#include <cstring>
#include <new>

#include "fs.h"
#include "import.h"
#include "manifest.h"
#include "sha256.h"

void finisher::start(const std::atomic<int>* cancel, const char* out) {
  cancel_ = cancel;
  // Without a thread, files are hashed on the importing thread instead: slower, still checked.
  verifier_.start(1);
  uint64_t volume = 0;
  if (!out || !volume_sync_reaches(out, &volume)) return;
  out_ = out;
  // Without it, everything is flushed at the end instead.
  flusher_.start(1);
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
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    unflushed_bytes_ += size;
    if (unflushed_bytes_ >= FLUSH_EVERY) ask_flush();
    queued_bytes_ += size;
    wake = queued_bytes_ >= WAKE_BYTES || ++queued_files_ >= WAKE_FILES;
    if (wake) queued_bytes_ = queued_files_ = 0;
  }
  queue_check({path, rel_path, expected, false}, wake);
}

void finisher::queue_check(job j, bool wake) {
  verifier_.push(
      [this, j = std::move(j)] {
        if (cancel_ && cancel_->load() != 0) return;  // drained without hashing
        try {
          check(j);
        } catch (const std::bad_alloc&) {
          std::lock_guard<std::mutex> lock(mu_);
          if (failure_.empty()) failure_ = "cannot read back " + j.path + " (out of memory)";
        }
      },
      wake);
}

void finisher::ask_flush() {
  unflushed_bytes_ = 0;
  // A flush asked for while one runs is made once that one ends: it may have missed the latest
  // files.
  if (!flusher_.threaded() || flush_queued_) return;
  flush_queued_ = true;
  flusher_.push([this] {
    {
      std::lock_guard<std::mutex> lock(mu_);
      flush_queued_ = false;
    }
    if (cancel_ && cancel_->load() != 0) return;
    // Each flush reports a write error once, to whoever asks first: checked every time.
    const bool flushed = sync_volume(out_.c_str()) == 0;
    std::lock_guard<std::mutex> lock(mu_);
    if (!flushed && failure_.empty())
      failure_ = "cannot flush " + out_ + " to the disk (disk error?)";
  });
}

void finisher::add_folders(const std::vector<std::string>& paths) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ask_flush();
  }
  for (const std::string& path : paths) queue_check({path, path, nullptr, true}, false);
  verifier_.wake();
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

int finisher::complete(std::vector<std::string>* damaged, uint32_t* verified,
                       std::string* message) {
  // Once the player has cancelled, what is still queued would only be skipped: dropped now.
  if (cancel_ && cancel_->load() != 0) {
    verifier_.clear();
    flusher_.clear();
  }
  verifier_.drain();
  flusher_.drain();
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
