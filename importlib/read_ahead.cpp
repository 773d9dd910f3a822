#include "read_ahead.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "fs.h"

namespace {

// How far ahead of the copy: enough reads under way to keep the disk busy, few enough bytes
// that they are still in memory when their turn comes, and a few hundred files open at most.
constexpr size_t AHEAD_FILES = 256;
constexpr uint64_t AHEAD_BYTES = 16u << 20;
// This many files in a row found in memory already: the tree is warm, and asking for reads
// would only cost system calls.
constexpr size_t WARM_AFTER = 64;

}  // namespace

read_ahead::~read_ahead() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_.store(true);
  }
  moved_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (size_t i = 0; state_ && i < paths_.size(); ++i) {
    if (state_[i].load() == OPENED) std::fclose(files_[i]);
  }
}

void read_ahead::start(std::vector<const char*> paths, const std::vector<uint64_t>& sizes) {
  if (!CAN_READ_AHEAD || std::none_of(paths.begin(), paths.end(), [](const char* p) { return p; }))
    return;
  const size_t n = paths.size();
  paths_ = std::move(paths);
  before_.assign(n + 1, 0);
  for (size_t i = 0; i < n; ++i) {
    const bool read = paths_[i] && sizes[i] < READ_AHEAD_BELOW;
    before_[i + 1] = before_[i] + (read ? sizes[i] : 0);
  }
  files_.reset(new FILE*[n]());
  state_.reset(new std::atomic<int>[n]);
  for (size_t i = 0; i < n; ++i) state_[i].store(EMPTY);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // The copy opens and reads the files itself, only with more waits.
  }
}

FILE* read_ahead::at(size_t i) {
  if (!state_ || i >= paths_.size()) return nullptr;
  copying_.store(i);
  if (waiting_.load() && i >= resume_.load()) wake();
  // What the thread opens from now on, it closes again.
  return state_[i].exchange(TAKEN) == OPENED ? files_[i] : nullptr;
}

void read_ahead::wake() {
  { std::lock_guard<std::mutex> lock(mu_); }
  moved_.notify_one();
}

void read_ahead::run() {
  size_t in_memory = 0;
  for (size_t next = 0; next < paths_.size() && !stop_.load();) {
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
    if (paths_[next] && state_[next].load() == EMPTY) {
      const bool read = before_[next + 1] > before_[next] && in_memory < WARM_AFTER;
      bool cached = false;
      FILE* f = open_to_read_soon(paths_[next], read, &cached);
      if (read) in_memory = cached ? in_memory + 1 : 0;
      files_[next] = f;
      if (f && state_[next].exchange(OPENED) == TAKEN) {
        // The copy came to it meanwhile and opened it itself.
        state_[next].store(TAKEN);
        std::fclose(f);
      }
    }
    ++next;
  }
}
