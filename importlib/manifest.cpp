#include "manifest.h"

#include <algorithm>
#include <cstring>

namespace {

unsigned char lower(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + 32) : u;
}

}  // namespace

bool manifest_path_less(const char* a, size_t a_len, const char* b, size_t b_len) {
  return std::lexicographical_compare(a, a + a_len, b, b + b_len,
                                      [](char x, char y) { return lower(x) < lower(y); });
}

const manifest_file* manifest_find(const char* path, size_t len) {
  return manifest_find_in(disc_manifest(), path, len);
}

const manifest_file* manifest_find_in(const manifest_list& list, const char* path, size_t len) {
  const manifest_file* end = list.files + list.count;
  const manifest_file* at =
      std::lower_bound(list.files, end, path, [len](const manifest_file& f, const char* p) {
        return manifest_path_less(f.path, std::strlen(f.path), p, len);
      });
  if (at == end || manifest_path_less(path, len, at->path, std::strlen(at->path))) return nullptr;
  return at;
}
