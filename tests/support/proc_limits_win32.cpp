// None of these faults is staged on Windows: the tests that need them run on the native build.
#include "proc_limits.h"

bool run_process_file_limited(const std::string&, const std::vector<std::string>&,
                              unsigned long long, process_output*) {
  return false;
}

bool run_process_signalled(const std::string&, const std::vector<std::string>&, int,
                           const std::function<bool()>&, process_output*, bool*,
                           const std::vector<std::pair<std::string, std::string>>&) {
  return false;
}

bool run_process_killed_after(const std::string&, const std::vector<std::string>&, long, bool*,
                              const std::function<bool()>&, long*) {
  return false;
}

bool run_process_memory_limited(const std::string&, const std::vector<std::string>&,
                                unsigned long long, process_output*) {
  return false;
}

bool run_qmimport_with_faults(const std::vector<std::string>&,
                              const std::vector<std::pair<std::string, std::string>>&,
                              process_output*) {
  return false;
}
