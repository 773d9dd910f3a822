// What an Xbox executable says about itself: title, title ID, version and regions from its
// header and certificate, read from untrusted bytes without ever reading outside them, and
// the line that tells a player which executable they brought.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// xbe_read_info_from() reads the executable's bytes through a byte_reader, asking only for
// ranges inside [0, size()).
class byte_reader;

constexpr int XBE_INFO_OK = 0;
constexpr int XBE_INFO_NOT_XBE = -1;     // no "XBEH" at offset 0 (also: under 4 bytes)
constexpr int XBE_INFO_DAMAGED = -2;     // the magic, but a header that does not hold together
constexpr int XBE_INFO_READ_ERROR = -3;  // the reader failed

// Enough for every field xbe_read_info() looks at when the certificate follows the image
// header as the Xbox tools lay it out; a caller handing a prefix of the file gives this much.
constexpr size_t XBE_INFO_PREFIX = 0x1000;

struct xbe_info {
  uint32_t base_address;  // where the image loads
  uint32_t cert_address;  // the certificate's load address
  uint32_t title_id;      // two ASCII letters (high 16 bits) and a number (low 16 bits)
  uint32_t region_flags;  // XBE_REGION_* bits
  uint32_t version;
  std::string title;  // UTF-8, fit for a terminal: no control characters
};

constexpr uint32_t XBE_REGION_NORTH_AMERICA = 0x1;
constexpr uint32_t XBE_REGION_JAPAN = 0x2;
constexpr uint32_t XBE_REGION_REST_OF_WORLD = 0x4;
constexpr uint32_t XBE_REGION_DEBUG = 0x80000000;

// Reads the header and certificate. An XBE_INFO_* status; *info is filled only on success.
int xbe_read_info_from(byte_reader& source, xbe_info* info);
// The same over the first `size` bytes of the file (or all of it).
int xbe_read_info(const uint8_t* data, size_t size, xbe_info* info);

// "MS-004" for 0x4D530004: the letters high byte first ('?' for any that is not printable
// ASCII), a dash, the number in at least three digits.
std::string xbe_title_id_text(uint32_t title_id);
// "North America+Japan", "Europe/rest of world+debug"; "none" without any bit set, and
// "unknown (0x...)" with only bits the Xbox does not define.
std::string xbe_region_text(uint32_t region_flags);

// The sentence a failure message ends with when default.xbe is not the wanted one:
//   This default.xbe is "<title>" (title ID MS-004, version 3, region North America).
// or, without the magic, that it is no Xbox executable at all. Empty when the header does
// not hold together or cannot be read: then there is nothing trustworthy to say.
std::string xbe_info_line_from(byte_reader& source);
std::string xbe_info_line(const uint8_t* data, size_t size);
