#include <signal.h>

#include "console.h"

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
std::atomic<int>* interrupt_flag = nullptr;

void on_interrupt(int) { interrupt_flag->store(1); }

}  // namespace

void write_text(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

void cancel_on_interrupt(std::atomic<int>* flag) {
  interrupt_flag = flag;
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: a write interrupted by the signal must not fail as if the disk were full.
  // SA_RESETHAND: the second signal finds the default action again.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}
