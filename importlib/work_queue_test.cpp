#include "work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A task that holds its worker until the test lets it go.
struct gate {
  std::atomic<bool> entered{false}, open{false};
  void pass() {
    entered = true;
    while (!open) std::this_thread::yield();
  }
  void wait_entered() const {
    while (!entered) std::this_thread::yield();
  }
};

// One worker runs its tasks in the order queued, a batch queued without waking included;
// clear drops what has not begun, never the task running; the queue drains when empty and
// takes more after. Without a thread every task runs as it is pushed.
TEST(WorkQueue, OrderClearDrainAndNoThread) {
  work_queue q;
  ASSERT_TRUE(q.start(1));
  std::vector<int> ran;
  q.drain();  // empty: returns at once
  for (int i = 0; i < 100; ++i) q.push([&ran, i] { ran.push_back(i); }, i % 10 == 9);
  q.drain();
  ASSERT_EQ(ran.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[static_cast<size_t>(i)], i);

  gate g;
  ran.clear();
  q.push([&] {
    g.pass();
    ran.push_back(0);
  });
  for (int i = 1; i < 4; ++i) q.push([&ran, i] { ran.push_back(i); });
  g.wait_entered();
  q.clear();
  g.open = true;
  q.drain();
  EXPECT_EQ(ran, std::vector<int>{0});
  q.push([&] { ran.push_back(9); });
  q.drain();
  EXPECT_EQ(ran, (std::vector<int>{0, 9}));

  work_queue unstarted;
  std::thread::id where;
  unstarted.push([&] { where = std::this_thread::get_id(); });
  EXPECT_EQ(where, std::this_thread::get_id());
  EXPECT_FALSE(unstarted.threaded());
}

// Ending the queue drops the tasks not begun and waits for the one running.
TEST(WorkQueue, EndingWaitsForTheRunningTaskOnly) {
  auto q = std::make_unique<work_queue>();
  ASSERT_TRUE(q->start(2));
  gate g;
  std::atomic<int> done{0};
  q->push([&] {
    g.pass();
    ++done;
  });
  g.wait_entered();
  gate second;
  q->push([&] {
    second.pass();
    done += 10;
  });
  second.wait_entered();
  for (int i = 0; i < 5; ++i) q->push([&] { done += 100; });
  std::thread ender([&] { q.reset(); });
  g.open = true;
  second.open = true;
  ender.join();
  EXPECT_EQ(done.load() % 100, 11);  // both running tasks ended; of the rest, what began ran
}

}  // namespace
