// Running a program under conditions that end an import abnormally: a file-size limit that
// makes writes fail like a full disk, a memory limit, faults preloaded into it, and a kill or
// a signal at a chosen moment.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "testutil.h"

// POSIX only: replaces the calling (child) process with `exe` and `args`; exits with 127
// when that fails.
[[noreturn]] void exec_program(const std::string& exe, const std::vector<std::string>& args);

// POSIX only: run_process with `in_child` called in the child just before the program
// replaces it (to set limits and signal dispositions), and `while_running` (when given)
// called in the parent with the child's process id before it is waited for.
process_output run_process_prepared(const std::string& exe, const std::vector<std::string>& args,
                                    const std::function<void()>& in_child,
                                    const std::function<void(int pid)>& while_running = {});

// Like run_process, but no file the program writes may grow beyond `max_file_bytes`
// (writes past it fail short, as on a full disk). False, with nothing run, where the
// platform has no such limit.
bool run_process_file_limited(const std::string& exe, const std::vector<std::string>& args,
                              unsigned long long max_file_bytes, process_output* result);

// Like run_process, but sends the program `signal_number` once `armed()` first returns true
// (polled every 0.2 ms), unless it has ended by then; *sent says whether it went out. False,
// with nothing run, where unsupported.
// With `faults` (environment variables), the faults of fault_shim.cpp are preloaded into it.
bool run_process_signalled(const std::string& exe, const std::vector<std::string>& args,
                           int signal_number, const std::function<bool()>& armed,
                           process_output* result, bool* sent,
                           const std::vector<std::pair<std::string, std::string>>& faults = {});

// Like run_process, with the program's address space limited to `max_bytes`, so that an
// allocation past it fails. False, with nothing run, where the platform has no such limit or
// the build's sanitizers need terabytes of address space for themselves.
bool run_process_memory_limited(const std::string& exe, const std::vector<std::string>& args,
                                unsigned long long max_bytes, process_output* result);

// Runs the import tool as the tests build it with the faults of fault_shim.cpp preloaded and
// switched on by `faults` (environment variables). False, with nothing run, where unsupported.
bool run_qmimport_with_faults(const std::vector<std::string>& args,
                              const std::vector<std::pair<std::string, std::string>>& faults,
                              process_output* result);

// Starts the program with its output discarded and kills it outright `delay_us`
// microseconds after `armed()` first returns true (polled every 0.2 ms; no `armed` means
// from the start), unless it has ended by then. Sets *killed to whether the kill hit it and
// *armed_to_end_us (when given) to the time from arming to the end. False, with nothing
// run, where unsupported.
bool run_process_killed_after(const std::string& exe, const std::vector<std::string>& args,
                              long delay_us, bool* killed, const std::function<bool()>& armed = {},
                              long* armed_to_end_us = nullptr);
