// Little-endian fields of untrusted formats (XDVDFS, XBE, CCI, CSO), read byte by byte so
// that neither alignment nor the host's byte order matters. The caller checks the bounds.
#pragma once

#include <cstdint>

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t le64(const uint8_t* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }
