#include "testutil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "fs.h"
#include "paths.h"
#include "sha256.h"

namespace {

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "test support: %s: %s\n", what, path.c_str());
  std::abort();
}

void make_parents(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  if (cut != std::string::npos && cut > 0) make_dirs(path.substr(0, cut).c_str());
}

}  // namespace

std::string temp_dir::operator/(const std::string& rel) const {
  return join_out_path(path_.c_str(), rel.c_str());
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
  make_parents(path);
  unique_file f(open_utf8(path.c_str(), "wb"));
  if (!f) die("cannot create", path);
  if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f.get()) != data.size())
    die("cannot write", path);
  if (std::fclose(f.release()) != 0) die("cannot close", path);
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> read_file(const std::string& path, bool* ok) {
  if (ok) *ok = false;
  unique_file f(open_utf8(path.c_str(), "rb"));
  if (!f) return {};
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0)
    data.insert(data.end(), buf, buf + got);
  if (std::ferror(f.get())) return {};
  if (ok) *ok = true;
  return data;
}

std::string read_text(const std::string& path) {
  std::vector<uint8_t> d = read_file(path);
  return std::string(d.begin(), d.end());
}

std::vector<std::string> list_tree(const std::string& root) {
  std::vector<std::string> out;
  std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& dir,
                                                                         const std::string& rel) {
    list_dir(dir.c_str(), [&](const char* name, int is_dir) {
      std::string r = rel.empty() ? name : rel + "/" + name;
      std::string full = join_out_path(dir.c_str(), name);
      if (is_dir) {
        out.push_back(r + "/");
        walk(full, r);
      } else {
        out.push_back(r);
      }
      return 0;
    });
  };
  walk(root, "");
  std::sort(out.begin(), out.end());
  return out;
}

std::string sibling_exe(const std::string& base) {
#ifdef _WIN32
  return join_out_path(exe_dir().c_str(), (base + ".exe").c_str());
#else
  return join_out_path(exe_dir().c_str(), base.c_str());
#endif
}

std::string tool_exe(const std::string& base) {
  return join_out_path(join_out_path(exe_dir().c_str(), "../tools").c_str(),
                       sibling_exe(base).substr(exe_dir().size() + 1).c_str());
}

std::vector<uint8_t> pattern_bytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    data[i] = static_cast<uint8_t>(x >> 24);
  }
  return data;
}

process_output run_qmimport(const std::vector<std::string>& args) {
  return run_process(sibling_exe("qmimport_sample"), args);
}

std::string fold_crlf(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  return out;
}

std::string native_path(std::string p) {
  for (char& c : p)
    if (c == '/' || c == '\\') c = OUTPUT_SEPARATOR;
  return p;
}

std::string numbered(const char* prefix, long n, const char* suffix) {
  std::string s = prefix;
  s += std::to_string(n);
  s += suffix;
  return s;
}

std::string sha256_hex(const void* data, size_t len) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data, len);
  uint8_t digest[32];
  sha256_final(&ctx, digest);
  char hex[65];
  digest_to_hex(digest, hex);
  return hex;
}

std::string sha256_hex(const std::vector<uint8_t>& data) {
  return sha256_hex(data.data(), data.size());
}

std::string hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}
