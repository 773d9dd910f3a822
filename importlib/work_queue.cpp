#include "work_queue.h"

#include <system_error>
#include <utility>

work_queue::~work_queue() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
    tasks_.clear();
  }
  work_.notify_all();
  for (std::thread& t : workers_) t.join();
}

bool work_queue::start(size_t threads) {
  for (size_t i = 0; i < threads; ++i) {
    try {
      workers_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
      break;  // those started do the work
    }
  }
  return threaded();
}

void work_queue::push(std::function<void()> task, bool wake) {
  if (!threaded()) {
    task();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    tasks_.push_back(std::move(task));
  }
  if (wake) work_.notify_one();
}

void work_queue::wake() { work_.notify_all(); }

void work_queue::drain() {
  work_.notify_all();
  std::unique_lock<std::mutex> lock(mu_);
  idle_.wait(lock, [this] { return tasks_.empty() && running_ == 0; });
}

void work_queue::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  tasks_.clear();
  if (running_ == 0) idle_.notify_all();
}

void work_queue::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
    if (closing_) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    ++running_;
    lock.unlock();
    task();
    lock.lock();
    --running_;
    if (tasks_.empty() && running_ == 0) idle_.notify_all();
  }
}
