// Streaming SHA-256 (FIPS 180-4).
#pragma once

#include <cstddef>
#include <cstdint>

struct sha256_ctx {
  uint32_t h[8];      // chaining value
  uint64_t total;     // bytes fed so far
  uint8_t block[64];  // not yet compressed tail of the input
  uint64_t used;      // valid bytes in block, 0..63 between calls
};

void sha256_init(sha256_ctx* ctx);
void sha256_update(sha256_ctx* ctx, const void* data, size_t len);
void sha256_final(sha256_ctx* ctx, uint8_t digest[32]);
// The compression function on one 64-byte block.
void sha256_block(sha256_ctx* ctx, const uint8_t block[64]);

// Digest of the regular file at the UTF-8 `path`, read in SHA256_FILE_CHUNK pieces into
// `buffer` (that many bytes), or into one of its own when `buffer` is null. 0, or -1 on any
// failure, a path that is not a regular file included.
constexpr size_t SHA256_FILE_CHUNK = 1024 * 1024;
int sha256_file(const char* path, uint8_t digest[32], uint8_t* buffer = nullptr);

// Chooses the compression back end: the processor's SHA instructions (the default where it
// has them) or the portable code. Returns 1 if the hardware path is now in use. For tests
// and benchmarks; both give the same digests.
int sha256_use_hardware(int enable);

// 64 lowercase hex characters and a NUL.
void digest_to_hex(const uint8_t digest[32], char text[65]);
