// Tasks run in the order they are queued, on threads of their own: the one way the library
// runs work beside the copy. A task that must stop early looks at the import's cancel flag
// itself; the queue only drops what has not started.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class work_queue {
 public:
  work_queue() = default;
  // Drops the tasks not started and waits for those running.
  ~work_queue();
  work_queue(const work_queue&) = delete;
  work_queue& operator=(const work_queue&) = delete;

  // Starts `threads` workers. False when none could be started: then every task runs on the
  // caller's thread as it is pushed, slower but the same work.
  bool start(size_t threads);

  // Queues `task`. With `wake` false a worker is not woken for it, so that a batch costs one
  // wake-up, not one a task (waking a sleeping core costs more than a small task); the next
  // push with `wake`, wake() or drain() sets the batch going. May throw std::bad_alloc.
  void push(std::function<void()> task, bool wake = true);
  void wake();

  // Waits until every task queued has run. The workers stay for more.
  void drain();

  // Drops the tasks not started yet.
  void clear();

  bool threaded() const { return !workers_.empty(); }

 private:
  void run();

  std::mutex mu_;
  std::condition_variable work_;  // a task is queued, or the workers are to end
  std::condition_variable idle_;  // the queue is empty and no task runs
  std::deque<std::function<void()>> tasks_;
  size_t running_ = 0;
  bool closing_ = false;
  std::vector<std::thread> workers_;
};
