#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "proc_limits.h"

namespace {

long long now_us() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

}  // namespace

bool run_process_file_limited(const std::string& exe, const std::vector<std::string>& args,
                              unsigned long long max_file_bytes, process_output* result) {
  *result = run_process_prepared(exe, args, [max_file_bytes] {
    // Ignored, the signal turns into a short write with EFBIG: the program sees what a
    // full disk looks like.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {static_cast<rlim_t>(max_file_bytes),
                           static_cast<rlim_t>(max_file_bytes)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  });
  return true;
}

namespace {

// In the child, before the program replaces it: the shim preloaded, its faults switched on.
void preload_faults(const std::vector<std::pair<std::string, std::string>>& faults) {
  setenv("LD_PRELOAD", (exe_dir() + "/libqm_fault_shim.so").c_str(), 1);
  // The sanitizers' runtime wants to come first among the libraries; the shim does.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
  for (const auto& [name, value] : faults) setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace

bool run_process_signalled(const std::string& exe, const std::vector<std::string>& args,
                           int signal_number, const std::function<bool()>& armed,
                           process_output* result, bool* sent,
                           const std::vector<std::pair<std::string, std::string>>& faults) {
  *sent = false;
  std::function<void()> in_child;
  if (!faults.empty()) in_child = [&] { preload_faults(faults); };
  *result = run_process_prepared(exe, args, in_child, [&](int pid) {
    const struct timespec tick = {0, 200 * 1000};
    while (!armed()) {
      // Ended already? Asked without reaping it: the caller waits for it afterwards.
      siginfo_t info = {};
      if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == pid)
        return;
      nanosleep(&tick, nullptr);
    }
    *sent = kill(pid, signal_number) == 0;
  });
  return true;
}

bool run_process_memory_limited(const std::string& exe, const std::vector<std::string>& args,
                                unsigned long long max_bytes, process_output* result) {
#if defined(__SANITIZE_ADDRESS__)
  (void)exe, (void)args, (void)max_bytes, (void)result;
  return false;
#else
  *result = run_process_prepared(exe, args, [max_bytes] {
    struct rlimit limit = {static_cast<rlim_t>(max_bytes), static_cast<rlim_t>(max_bytes)};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
  });
  return true;
#endif
}

bool run_qmimport_with_faults(const std::vector<std::string>& args,
                              const std::vector<std::pair<std::string, std::string>>& faults,
                              process_output* result) {
  *result =
      run_process_prepared(sibling_exe("qmimport_sample"), args, [&] { preload_faults(faults); });
  return true;
}

bool run_process_killed_after(const std::string& exe, const std::vector<std::string>& args,
                              long delay_us, bool* killed, const std::function<bool()>& armed,
                              long* armed_to_end_us) {
  pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null < 0) _exit(127);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    exec_program(exe, args);
  }
  // Poll, so that a program that ends early is not waited for until the deadline.
  const struct timespec tick = {0, 200 * 1000};
  long long armed_at = -1;
  int status = 0;
  for (;;) {
    if (armed_at < 0 && (!armed || armed())) armed_at = now_us();
    if (waitpid(pid, &status, WNOHANG) == pid) {
      *killed = false;
      if (armed_to_end_us)
        *armed_to_end_us = armed_at < 0 ? 0 : static_cast<long>(now_us() - armed_at);
      return true;
    }
    if (armed_at >= 0 && now_us() - armed_at >= delay_us) break;
    nanosleep(&tick, nullptr);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0) {
  }
  *killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  if (armed_to_end_us) *armed_to_end_us = static_cast<long>(now_us() - armed_at);
  return true;
}
