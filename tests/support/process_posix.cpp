// Temporary folders, tree removal and child processes on POSIX systems.
#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "proc_limits.h"
#include "testutil.h"

temp_dir::temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/qmtest-XXXXXX";
  if (!mkdtemp(templ.data())) std::abort();
  path_ = templ;
}

temp_dir::~temp_dir() { remove_tree(path_); }

void remove_tree(const std::string& path) {
  nftw(
      path.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) {
        ::remove(p);
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

std::string exe_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) std::abort();
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.find_last_of('/'));
}

void exec_program(const std::string& exe, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(exe.c_str(), argv.data());
  _exit(127);
}

bool make_link(const std::string& folder, const std::string& name, const std::string& target) {
  return symlink(target.c_str(), (folder + "/" + name).c_str()) == 0;
}

process_output run_process_prepared(const std::string& exe, const std::vector<std::string>& args,
                                    const std::function<void()>& in_child,
                                    const std::function<void(int pid)>& while_running) {
  process_output result;
  temp_dir capture;
  std::string out_path = capture.path() + "/out", err_path = capture.path() + "/err";
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
    if (in_child) in_child();
    exec_program(exe, args);
  }
  if (while_running) while_running(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read_text(out_path);
  result.err = read_text(err_path);
  return result;
}

process_output run_process(const std::string& exe, const std::vector<std::string>& args) {
  return run_process_prepared(exe, args, {});
}

without_disc_list::without_disc_list() { setenv("QM_TEST_WITHOUT_LIST", "1", 1); }
without_disc_list::~without_disc_list() { unsetenv("QM_TEST_WITHOUT_LIST"); }
