#include "loop_mount.h"

#include <fcntl.h>
#include <unistd.h>

#include "fs.h"
#include "testutil.h"

loop_mount::loop_mount(const std::string& image, const std::string& at, uint64_t bytes) {
  if (geteuid() != 0) {
    failure_ = "not root: a loop mount needs root";
    return;
  }
  const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0;
  if (fd >= 0) close(fd);
  if (!sized || make_dir(at.c_str()) != 0) {
    failure_ = "cannot write " + image + " or make " + at;
    return;
  }
  process_output r =
      run_process("/usr/sbin/mkfs.ext4", {"-q", "-F", "-m", "0", "-O", "^has_journal", image});
  if (r.exit_code != 0) {
    failure_ = "mkfs.ext4 failed: " + r.err;
    return;
  }
  r = run_process("/usr/bin/mount", {"-o", "loop", image, at});
  if (r.exit_code != 0) failure_ = "mount failed: " + r.err;
  if (failure_.empty()) at_ = at;
}

loop_mount::~loop_mount() {
  // Lazily: a process of the test that still holds a file there must not keep the mount.
  if (!at_.empty()) run_process("/usr/bin/umount", {"-l", at_});
}
