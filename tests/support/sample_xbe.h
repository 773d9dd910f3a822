// The sample default.xbe: deterministic bytes the whole suite agrees on. Its SHA-256 is the
// project's default supported digest, so a plain build imports the sample disc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// 1 MiB + 4,321 bytes: an "XBEH" header and a certificate (title "Quillmoor", QM-001,
// version 1, North America) in a fixed pseudo-random body holding the retail run that XISO
// tools patch at SAMPLE_XBE_MEDIA_RUNS, the last across the first 1 MiB boundary.
std::vector<uint8_t> sample_xbe();

inline constexpr uint32_t SAMPLE_XBE_BASE = 0x10000;
inline constexpr uint32_t SAMPLE_XBE_CERTIFICATE = 0x178;  // file offset
inline constexpr uint32_t SAMPLE_XBE_TITLE_ID = 0x514D0001;
inline constexpr uint32_t SAMPLE_XBE_REGIONS = 1;
inline constexpr uint32_t SAMPLE_XBE_VERSION = 1;
inline constexpr size_t SAMPLE_XBE_MEDIA_RUNS[] = {0x2000, 0x9F31, 1024 * 1024 - 5};
inline constexpr uint8_t SAMPLE_XBE_RETAIL_RUN[8] = {0xE8, 0xCA, 0xFD, 0xFF,
                                                     0xFF, 0x85, 0xC0, 0x7D};

// The header and certificate fields the import reads; the defaults are the sample's.
struct xbe_header {
  uint32_t base = SAMPLE_XBE_BASE;                // the address the image loads at
  uint32_t certificate = SAMPLE_XBE_CERTIFICATE;  // file offset
  uint32_t title_id = SAMPLE_XBE_TITLE_ID;
  std::u16string title = u"Quillmoor";  // the first 40 units are kept
  uint32_t regions = SAMPLE_XBE_REGIONS;
  uint32_t version = SAMPLE_XBE_VERSION;
};

// Writes `header` into `xbe` as the Xbox tools lay it out: "XBEH" at 0, the base address at
// 0x104, the certificate's address at 0x118, and in the certificate the title ID at +0x08,
// the title (40 UTF-16LE units, zero-padded) at +0x0C, the regions at +0xA0 and the version
// at +0xAC. Every other byte is left as it is; `xbe` must reach past the version field.
void write_xbe_header(std::vector<uint8_t>& xbe, const xbe_header& header);

// Digest of sample_xbe(), the value tests link as the supported one.
extern const char SAMPLE_XBE_SHA256[65];
