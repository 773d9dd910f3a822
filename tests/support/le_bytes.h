// Little-endian fields: the byte order of everything the tests write or forge (XDVDFS, XBE,
// CCI, CSO, LZ4 offsets). Standard library only, so the tools and seed writers use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

// The low `width` bytes of `value` at `out`, least significant first.
inline void store_le(uint8_t* out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A field written over `bytes` at `pos`. One that would end past the buffer throws
// std::out_of_range: a forged offset that misses fails its test instead of writing past it.
inline void put_le(std::vector<uint8_t>& bytes, size_t pos, uint64_t value, size_t width) {
  if (pos > bytes.size() || bytes.size() - pos < width) throw std::out_of_range("put_le");
  store_le(bytes.data() + pos, value, width);
}
inline void put_le32(std::vector<uint8_t>& bytes, size_t pos, uint32_t value) {
  put_le(bytes, pos, value, 4);
}
inline void put_le64(std::vector<uint8_t>& bytes, size_t pos, uint64_t value) {
  put_le(bytes, pos, value, 8);
}

inline void append_le(std::vector<uint8_t>& bytes, uint64_t value, size_t width) {
  bytes.resize(bytes.size() + width);
  store_le(bytes.data() + bytes.size() - width, value, width);
}

// Throws std::out_of_range as put_le does.
inline uint32_t get_le32(const std::vector<uint8_t>& bytes, size_t pos) {
  return bytes.at(pos) | bytes.at(pos + 1) << 8 | bytes.at(pos + 2) << 16 |
         static_cast<uint32_t>(bytes.at(pos + 3)) << 24;
}
