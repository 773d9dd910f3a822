// libFuzzer target comparing the LZ4 block decoder with the system's liblz4: for a 2,048-byte
// output, the same input must give the same bytes from both, or an error from both. The one
// known difference: liblz4 decodes a match of offset 0 (as zeros), ours refuses the block.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lz4.h"

// Declared here: liblz4's own header is also named lz4.h, and ours comes first on the path.
extern "C" int LZ4_decompress_safe(const char* src, char* dst, int compressed_size,
                                   int dst_capacity);

namespace {

constexpr size_t OUT = 2048;

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "broken promise: %s\n", what);
  std::abort();
}

// Whether the sequences of a block that liblz4 decoded include a match of offset 0.
bool has_zero_offset(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    const unsigned token = p[i++];
    size_t lit = token >> 4;
    if (lit == 15) {
      unsigned b;
      do {
        if (i >= n) return false;
        b = p[i++];
        lit += b;
      } while (b == 255);
    }
    i += lit;
    if (i + 2 > n) return false;
    if ((p[i] | p[i + 1] << 8) == 0) return true;
    i += 2;
    if ((token & 15) == 15) {
      unsigned b;
      do {
        if (i >= n) return false;
        b = p[i++];
      } while (b == 255);
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;  // liblz4 takes an int; fuzz/run caps inputs far below
  std::vector<uint8_t> theirs(OUT, 0x55), ours(OUT, 0xAA);
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(data),
                                    reinterpret_cast<char*>(theirs.data()), static_cast<int>(size),
                                    static_cast<int>(OUT));
  const bool they_decode = n == static_cast<int>(OUT);
  const bool we_decode = lz4_decode_block(data, size, ours.data(), OUT) == 0;
  if (we_decode && !they_decode) broken("we decode a block liblz4 refuses");
  if (they_decode && !we_decode && !has_zero_offset(data, size))
    broken("liblz4 decodes a block we refuse");
  if (we_decode && theirs != ours) broken("the two decode to different bytes");
  return 0;
}
