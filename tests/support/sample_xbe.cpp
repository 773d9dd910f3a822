#include "sample_xbe.h"

#include <cstring>

namespace {

void put_u32(std::vector<uint8_t>& d, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<uint8_t> sample_xbe() {
  std::vector<uint8_t> data(1024 * 1024 + 4321);
  // xorshift64: fixed seed, so every build and platform writes the same bytes.
  uint64_t x = 0x51a11e0f7e57d15cULL;
  for (size_t i = 0; i < data.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data[i] = static_cast<uint8_t>(x >> 32);
  }
  // Header and certificate as the Xbox tools lay them out.
  std::memcpy(data.data(), "XBEH", 4);
  put_u32(data, 0x104, SAMPLE_XBE_BASE);
  put_u32(data, 0x118, SAMPLE_XBE_BASE + SAMPLE_XBE_CERTIFICATE);
  const size_t cert = SAMPLE_XBE_CERTIFICATE;
  put_u32(data, cert + 0x08, SAMPLE_XBE_TITLE_ID);
  std::memset(data.data() + cert + 0x0C, 0, 80);
  const char title[] = "Quillmoor";
  for (size_t i = 0; i + 1 < sizeof title; ++i) data[cert + 0x0C + 2 * i] = title[i];
  put_u32(data, cert + 0xA0, SAMPLE_XBE_REGIONS);
  put_u32(data, cert + 0xAC, SAMPLE_XBE_VERSION);
  // The retail code the common XISO tool patches, at a few places.
  for (size_t at : SAMPLE_XBE_MEDIA_RUNS) std::memcpy(data.data() + at, SAMPLE_XBE_RETAIL_RUN, 8);
  return data;
}

const char SAMPLE_XBE_SHA256[65] = QM_SAMPLE_XBE_SHA256;
