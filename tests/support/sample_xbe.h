// The sample default.xbe: deterministic bytes the whole suite agrees on. Its SHA-256 is the
// project's default supported digest, so a plain build imports the sample disc.
#pragma once

#include <cstddef>
#include <cstdint>
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
// What the wrong-build message says of a changed copy of it.
inline constexpr char SAMPLE_XBE_LINE[] =
    "This default.xbe is \"Quillmoor\" (title ID QM-001, version 1, region North America).";

// Digest of sample_xbe(), the value tests link as the supported one.
extern const char SAMPLE_XBE_SHA256[65];
