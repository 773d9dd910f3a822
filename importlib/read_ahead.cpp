#include "read_ahead.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "fs.h"

namespace {

// How far ahead of the copy: enough reads under way to keep the disk busy, few enough bytes
// that they are still in memory when their turn comes.
constexpr size_t AHEAD_FILES = 256;
constexpr uint64_t AHEAD_BYTES = 16u << 20;
// This many files in a row found in memory already: the tree is warm.
constexpr size_t WARM_AFTER = 64;

}  // namespace

read_ahead::~read_ahead() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_.store(true);
  }
  moved_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void read_ahead::start(std::vector<const char*> paths, const std::vector<uint64_t>& sizes) {
  paths_ = std::move(paths);
  before_.assign(paths_.size() + 1, 0);
  for (size_t i = 0; i < paths_.size(); ++i) {
    if (sizes[i] == 0 || sizes[i] >= READ_AHEAD_BELOW) paths_[i] = nullptr;
    before_[i + 1] = before_[i] + (paths_[i] ? sizes[i] : 0);
  }
  size_t first = 0;
  while (first < paths_.size() && !paths_[first]) ++first;
  // The first file tells whether the system can be asked at all.
  if (first == paths_.size() || start_reading(paths_[first]) < 0) return;
  try {
    thread_ = std::thread([this, first] { run(first + 1); });
  } catch (const std::system_error&) {
    // The copy reads the files itself, only with more waits.
  }
}

void read_ahead::wake() {
  { std::lock_guard<std::mutex> lock(mu_); }
  moved_.notify_one();
}

void read_ahead::run(size_t next) {
  size_t in_memory = 0;
  while (next < paths_.size() && !stop_.load()) {
    const size_t copying = copying_.load();
    if (next < copying) next = copying;  // the copy got there first
    const bool files_full = next >= copying + AHEAD_FILES;
    const bool bytes_full = before_[next] - before_[copying] >= AHEAD_BYTES;
    if (files_full || bytes_full) {
      // Woken once the copy has used half of what is asked for: once half the files are
      // behind it, or so many that half the bytes are.
      size_t resume = copying + 1;
      if (files_full) resume = std::max(resume, next - AHEAD_FILES / 2);
      if (bytes_full) {
        const auto half =
            std::lower_bound(before_.begin(), before_.end(), before_[next] - AHEAD_BYTES / 2);
        resume = std::max(resume, static_cast<size_t>(half - before_.begin()));
      }
      std::unique_lock<std::mutex> lock(mu_);
      resume_.store(resume);
      waiting_.store(true);
      moved_.wait(lock, [&] { return stop_.load() || copying_.load() >= resume_.load(); });
      waiting_.store(false);
      continue;
    }
    if (paths_[next]) {
      in_memory = start_reading(paths_[next]) == 1 ? in_memory + 1 : 0;
      if (in_memory >= WARM_AFTER) return;
    }
    ++next;
  }
}
