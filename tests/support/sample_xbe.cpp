#include "sample_xbe.h"

#include <cstring>

#include "le_bytes.h"

void write_xbe_header(std::vector<uint8_t>& xbe, const xbe_header& header) {
  const size_t cert = header.certificate;
  put_le32(xbe, 0x104, header.base);
  put_le32(xbe, 0x118, header.base + header.certificate);
  put_le32(xbe, cert + 0x08, header.title_id);
  for (size_t i = 0; i < 40; ++i)
    put_le(xbe, cert + 0x0C + 2 * i, i < header.title.size() ? header.title[i] : 0, 2);
  put_le32(xbe, cert + 0xA0, header.regions);
  put_le32(xbe, cert + 0xAC, header.version);
  std::memcpy(xbe.data(), "XBEH", 4);  // the writes above found the buffer long enough
}

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
  write_xbe_header(data, {});
  // The retail code the common XISO tool patches, at a few places.
  for (size_t at : SAMPLE_XBE_MEDIA_RUNS) std::memcpy(data.data() + at, SAMPLE_XBE_RETAIL_RUN, 8);
  return data;
}

const char SAMPLE_XBE_SHA256[65] = QM_SAMPLE_XBE_SHA256;
