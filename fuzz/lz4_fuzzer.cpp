// libFuzzer target over the LZ4 block decoder alone. Besides crashes and sanitizer reports
// (input and output sit in buffers of exactly their size), it traps on output that depends
// on anything but the input: a decoded block must come out the same over any old contents.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lz4.h"

namespace {

void decode_twice(const uint8_t* data, size_t size, size_t out_len) {
  std::vector<uint8_t> zeros(out_len, 0x00), ones(out_len, 0xFF);
  const int a = lz4_decode_block(data, size, zeros.data(), out_len);
  const int b = lz4_decode_block(data, size, ones.data(), out_len);
  if (a != b || (a != 0 && a != -1) || (a == 0 && zeros != ones)) {
    std::fprintf(stderr, "broken promise: the result depends on more than the input\n");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decode_twice(data, size, 2048);  // a CCI or CSO sector
  // Small outputs reach the end-of-block rules at once; the first byte picks the size.
  if (size > 0) decode_twice(data, size, data[0]);
  return 0;
}
