// Small helpers shared by the test suites: temporary folders, whole-file I/O, and running a
// program as a separate process with its output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh, empty folder under the system's temporary folder, removed with its contents
// when the object goes away.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  // path() joined with a relative path (with the platform's separator).
  std::string operator/(const std::string& rel) const;

 private:
  std::string path_;
};

// Writes `data` to the UTF-8 `path`, creating missing parent folders. Aborts the test
// program on failure: a test cannot go on without its input.
void write_file(const std::string& path, const std::vector<uint8_t>& data);
void write_file(const std::string& path, const std::string& text);
// The whole file; sets *ok (when given) to false and returns {} if it cannot be read.
std::vector<uint8_t> read_file(const std::string& path, bool* ok = nullptr);
std::string read_text(const std::string& path);

// Removes a file or a whole folder tree. Missing paths are fine.
void remove_tree(const std::string& path);

// Every file and folder below `root` as sorted relative paths with '/' ("a/", "a/b.bin").
std::vector<std::string> list_tree(const std::string& root);

// The folder holding the running test program.
std::string exe_dir();

// A program in exe_dir() by its base name ("qmimport_sample"; ".exe" is added on Windows).
std::string sibling_exe(const std::string& base);

// One of the sample tools ("mkdisc"), built in the tools folder beside the tests' folder.
std::string tool_exe(const std::string& base);

// Makes `name` in the folder `folder` a symbolic link to `target` (a path relative to
// `folder`, or absolute, in the system's own spelling). Under wine, whose CreateSymbolicLinkW
// makes nothing, with the Unix ln on drive Z:, as a player's links come about there. False
// when no link was made.
bool make_link(const std::string& folder, const std::string& name, const std::string& target);

struct process_output {
  int exit_code = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `exe` with `args` (UTF-8, passed as separate arguments, quoted as the platform needs),
// waits for it and captures both output streams (on Windows with "\r\n" folded to "\n").
process_output run_process(const std::string& exe, const std::vector<std::string>& args);

// While one lives, imports in this process and in the programs it runs have no list of the
// disc's files, as in a build configured with a digest alone: for trees other than the
// sample disc's, which the tests' list describes.
class without_disc_list {
 public:
  without_disc_list();
  ~without_disc_list();
  without_disc_list(const without_disc_list&) = delete;
  without_disc_list& operator=(const without_disc_list&) = delete;
};

// Runs the import tool as the tests build it (linked with the sample digest).
process_output run_qmimport(const std::vector<std::string>& args);

// "\r\n" folded to "\n": what a Windows program writes in text mode, made comparable.
std::string fold_crlf(const std::string& text);

// `p` with every '/' and '\\' turned into the platform's separator.
std::string native_path(std::string p);

// prefix + n + suffix. Built by appending: mingw g++ 12 at -O3 warns falsely (-Wrestrict)
// on "literal" + std::string.
std::string numbered(const char* prefix, long n, const char* suffix = "");

// SHA-256 of the bytes as 64 lowercase hex characters.
// "0x1F": how the tool's report and messages write positions.
std::string hex(uint64_t v);

std::string sha256_hex(const void* data, size_t len);
std::string sha256_hex(const std::vector<uint8_t>& data);

// Deterministic pseudo-random bytes.
std::vector<uint8_t> pattern_bytes(size_t size, uint32_t seed);
