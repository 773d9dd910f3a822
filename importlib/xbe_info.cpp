#include "xbe_info.h"

#include <cstdio>
#include <cstring>

#include "byte_order.h"
#include "byte_reader.h"
#include "charsets.h"

namespace {

constexpr uint64_t BASE_ADDRESS_AT = 0x104;
constexpr uint64_t CERT_ADDRESS_AT = 0x118;
// The image header is 0x178 bytes and the certificate follows it; one that starts earlier
// would overlap the header's own fields, which no tool writes.
constexpr uint64_t IMAGE_HEADER_SIZE = 0x178;
constexpr size_t CERT_TITLE_ID_AT = 0x08;
constexpr size_t CERT_TITLE_AT = 0x0C;
constexpr size_t CERT_TITLE_UNITS = 40;
constexpr size_t CERT_REGION_AT = 0xA0;
constexpr size_t CERT_VERSION_AT = 0xAC;
constexpr size_t CERT_NEEDED = CERT_VERSION_AT + 4;  // the fields read, not the whole record

int read_field(byte_reader& source, uint64_t offset, void* out, size_t len) {
  if (offset > source.size() || source.size() - offset < len) return XBE_INFO_DAMAGED;
  std::string message;
  return source.read(offset, out, len, &message) == IMPORT_OK ? XBE_INFO_OK : XBE_INFO_READ_ERROR;
}

// A title for a terminal: control characters (C0, DEL, C1) could move the cursor or start
// an escape sequence, so each becomes '?'; a surrogate without its partner becomes U+FFFD.
std::string display_title(const uint8_t* units) {
  std::string out;
  for (size_t i = 0; i < CERT_TITLE_UNITS; ++i) {
    char32_t c = char32_t{units[2 * i]} | char32_t{units[2 * i + 1]} << 8;
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < CERT_TITLE_UNITS) {
      const char32_t low = char32_t{units[2 * i + 2]} | char32_t{units[2 * i + 3]} << 8;
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF)
      c = 0xFFFD;
    else if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
      c = '?';
    append_utf8(out, c);
  }
  return out;
}

}  // namespace

int xbe_read_info_from(byte_reader& source, xbe_info* info) {
  uint8_t magic[4];
  if (source.size() < sizeof magic) return XBE_INFO_NOT_XBE;
  int status = read_field(source, 0, magic, sizeof magic);
  if (status != XBE_INFO_OK) return status;
  if (std::memcmp(magic, "XBEH", 4) != 0) return XBE_INFO_NOT_XBE;

  uint8_t field[4];
  if ((status = read_field(source, BASE_ADDRESS_AT, field, 4)) != XBE_INFO_OK) return status;
  const uint32_t base = le32(field);
  if ((status = read_field(source, CERT_ADDRESS_AT, field, 4)) != XBE_INFO_OK) return status;
  const uint32_t cert_address = le32(field);
  // Both are 32-bit load addresses, so their difference cannot overflow, only go below
  // zero; a certificate below the image's base is not in the file at all.
  if (cert_address < base) return XBE_INFO_DAMAGED;
  const uint64_t cert_at = uint64_t{cert_address} - base;
  if (cert_at < IMAGE_HEADER_SIZE) return XBE_INFO_DAMAGED;
  uint8_t cert[CERT_NEEDED];
  if ((status = read_field(source, cert_at, cert, sizeof cert)) != XBE_INFO_OK) return status;

  info->base_address = base;
  info->cert_address = cert_address;
  info->title_id = le32(cert + CERT_TITLE_ID_AT);
  info->region_flags = le32(cert + CERT_REGION_AT);
  info->version = le32(cert + CERT_VERSION_AT);
  info->title = display_title(cert + CERT_TITLE_AT);
  return XBE_INFO_OK;
}

int xbe_read_info(const uint8_t* data, size_t size, xbe_info* info) {
  memory_reader reader(data, size);
  return xbe_read_info_from(reader, info);
}

std::string xbe_title_id_text(uint32_t title_id) {
  std::string out;
  for (int shift : {24, 16}) {
    const char letter = static_cast<char>((title_id >> shift) & 0xFF);
    out += letter >= 0x20 && letter <= 0x7E ? letter : '?';
  }
  char number[8];
  std::snprintf(number, sizeof number, "-%03u", static_cast<unsigned>(title_id & 0xFFFF));
  return out += number;
}

std::string xbe_region_text(uint32_t region_flags) {
  static const struct {
    uint32_t bit;
    const char* name;
  } REGIONS[] = {
      {XBE_REGION_NORTH_AMERICA, "North America"},
      {XBE_REGION_JAPAN, "Japan"},
      {XBE_REGION_REST_OF_WORLD, "Europe/rest of world"},
      {XBE_REGION_DEBUG, "debug"},
  };
  std::string out;
  for (const auto& r : REGIONS) {
    if (!(region_flags & r.bit)) continue;
    if (!out.empty()) out += '+';
    out += r.name;
  }
  if (!out.empty()) return out;
  if (region_flags == 0) return "none";
  char unknown[32];
  std::snprintf(unknown, sizeof unknown, "unknown (0x%08X)", static_cast<unsigned>(region_flags));
  return unknown;
}

std::string xbe_info_line_from(byte_reader& source) {
  xbe_info info;
  const int status = xbe_read_info_from(source, &info);
  if (status == XBE_INFO_NOT_XBE)
    return "This default.xbe is not an Xbox executable at all (a damaged or incomplete dump?)";
  if (status != XBE_INFO_OK) return "";
  std::string line = "This default.xbe is \"";
  line += info.title;
  line += "\" (title ID ";
  line += xbe_title_id_text(info.title_id);
  line += ", version ";
  line += std::to_string(info.version);
  line += ", region ";
  line += xbe_region_text(info.region_flags);
  line += ").";
  return line;
}

std::string xbe_info_line(const uint8_t* data, size_t size) {
  memory_reader reader(data, size);
  return xbe_info_line_from(reader);
}
