#include "sample_xbe.h"

#include <cstring>

std::vector<uint8_t> sample_xbe() {
  std::vector<uint8_t> data(1024 * 1024 + 4321);
  std::memcpy(data.data(), "XBEH", 4);
  // xorshift64: fixed seed, so every build and platform writes the same bytes.
  uint64_t x = 0x51a11e0f7e57d15cULL;
  for (size_t i = 4; i < data.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data[i] = static_cast<uint8_t>(x >> 32);
  }
  return data;
}

const char SAMPLE_XBE_SHA256[65] = QM_SAMPLE_XBE_SHA256;
