// The sample default.xbe: deterministic bytes the whole suite agrees on. Its SHA-256 is the
// project's default supported digest, so a plain build imports the sample disc.
#pragma once

#include <cstdint>
#include <vector>

// 1 MiB + 4,321 bytes: an "XBEH" header followed by a fixed pseudo-random body.
std::vector<uint8_t> sample_xbe();

// Digest of sample_xbe(), the value tests link as the supported one.
extern const char SAMPLE_XBE_SHA256[65];
