#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "proc_limits.h"

namespace {

[[noreturn]] void exec_child(const std::string& exe, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(exe.c_str(), argv.data());
  _exit(127);
}

long long now_us() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

int wait_code(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool run_process_file_limited(const std::string& exe, const std::vector<std::string>& args,
                              unsigned long long max_file_bytes, process_output* result) {
  temp_dir capture;
  const std::string out_path = capture.path() + "/out", err_path = capture.path() + "/err";
  pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || in < 0) _exit(127);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    // Ignored, the signal turns into a short write with EFBIG: the program sees what a
    // full disk looks like.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {static_cast<rlim_t>(max_file_bytes), static_cast<rlim_t>(max_file_bytes)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    exec_child(exe, args);
  }
  result->exit_code = wait_code(pid);
  result->out = read_text(out_path);
  result->err = read_text(err_path);
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
    exec_child(exe, args);
  }
  // Poll, so that a program that ends early is not waited for until the deadline.
  const struct timespec tick = {0, 200 * 1000};
  long long armed_at = -1;
  int status = 0;
  for (;;) {
    if (armed_at < 0 && (!armed || armed())) armed_at = now_us();
    if (waitpid(pid, &status, WNOHANG) == pid) {
      *killed = false;
      if (armed_to_end_us) *armed_to_end_us = armed_at < 0 ? 0 : static_cast<long>(now_us() - armed_at);
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
