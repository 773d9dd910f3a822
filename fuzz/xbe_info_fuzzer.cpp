// libFuzzer target over the executable-header reader, which runs on whatever default.xbe a
// player brings. Besides crashes and sanitizer reports it traps on a line that breaks the
// reader's promises: one of its three forms, valid UTF-8, nothing a terminal would obey.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "xbe_info.h"

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

// Valid UTF-8 (shortest forms, no surrogates) without C0, DEL or C1 control characters.
bool printable_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const uint8_t b = static_cast<uint8_t>(s[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7F) return false;
      ++i;
      continue;
    }
    const size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || b > 0xF4 || s.size() - i < n) return false;
    char32_t c = b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      const uint8_t t = static_cast<uint8_t>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = c << 6 | (t & 0x3F);
    }
    if ((n == 3 && c < 0x800) || (n == 4 && (c < 0x10000 || c > 0x10FFFF))) return false;
    if ((c >= 0xD800 && c <= 0xDFFF) || (c >= 0x80 && c <= 0x9F)) return false;
    i += n;
  }
  return true;
}

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  xbe_info info;
  const int status = xbe_read_info(data, size, &info);
  const bool magic = size >= 4 && std::memcmp(data, "XBEH", 4) == 0;
  require(status == XBE_INFO_OK || status == XBE_INFO_NOT_XBE || status == XBE_INFO_DAMAGED,
          "status");
  require((status == XBE_INFO_NOT_XBE) == !magic, "not an executable exactly without the magic");
  if (status == XBE_INFO_OK) {
    require(info.cert_address >= info.base_address &&
                info.cert_address - info.base_address <= size &&
                size - (info.cert_address - info.base_address) >= 0xB0,
            "certificate inside the input");
    require(info.title.size() <= 120, "title of 40 units");  // 3 bytes a unit at most
    require(printable_utf8(info.title), "printable UTF-8 title");
  }

  const std::string line = xbe_info_line(data, size);
  require(printable_utf8(line), "printable UTF-8 line");
  if (status == XBE_INFO_OK)
    require(line.rfind("This default.xbe is \"" + info.title + "\" (title ID ", 0) == 0 &&
                ends_with(line, ")."),
            "described line");
  else if (status == XBE_INFO_NOT_XBE)
    require(line.rfind("This default.xbe is not an Xbox executable", 0) == 0, "not-an-xbe line");
  else
    require(line.empty(), "no line for a damaged header");
  return 0;
}
