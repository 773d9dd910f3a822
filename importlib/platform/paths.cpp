#include "paths.h"

#include <cctype>
#include <cstring>

#include "fs.h"

namespace {

bool is_sep(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string join_out_path(const char* folder, const char* relative) {
  std::string out = folder;
  while (!out.empty() && is_sep(out.back())) out.pop_back();
  out += '/';
  out += relative;
  for (char& c : out)
    if (is_sep(c)) c = OUTPUT_SEPARATOR;
  return out;
}

int equals_nocase(const char* a, const char* b) {
  size_t n = std::strlen(a);
  if (n != std::strlen(b)) return 0;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return 0;
  return 1;
}

int is_safe_output_path(const char* path) {
  if (!path) return 0;
  size_t n = std::strlen(path);
  while (n > 0 && is_sep(path[n - 1])) --n;
  if (n == 0) return 0;
  if (n == 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') return 0;
  if (n == 2 && path[0] == '.' && path[1] == '.') return 0;
  if (n == 1 && path[0] == '.') return 0;
  if (is_sep(path[0]) && is_sep(path[1])) {
    if (path[2] == '?' || path[2] == '.' || n <= 2) return 0;
    int components = 0;
    for (size_t i = 2; i < n; ++i)
      if (!is_sep(path[i]) && (i == 2 || is_sep(path[i - 1]))) ++components;
    if (components <= 2) return 0;
  }
  if (n == 2 && is_sep(path[0]) && path[1] == '.') return 0;
  return 1;
}

int make_dirs(const char* path) {
  std::string p = path;
  const size_t n = p.size();
  size_t start = 0;
  if (n >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
    start = 2;
  } else if (n >= 2 && is_sep(p[0]) && is_sep(p[1])) {
    // \\server\share is never created: start after the separator that ends the share.
    int seps = 0;
    size_t i = 2;
    for (; i < n; ++i)
      if (is_sep(p[i]) && ++seps == 2) break;
    if (i >= n) return 0;
    start = i;
  }
  while (start < n && is_sep(p[start])) ++start;

  int result = 0;
  for (size_t q = start; q <= n; ++q) {
    if (q <= start || (q != n && !is_sep(p[q]))) continue;
    char saved = p[q];
    p[q] = '\0';
    if (path_kind(p.c_str(), nullptr) != PATH_FOLDER) result = make_dir(p.c_str());
    p[q] = saved;
    if (result != 0) break;
  }
  return result;
}
