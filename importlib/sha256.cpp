#include "sha256.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "fs.h"
#include "sha256_impl.h"

namespace {

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void compress_portable(uint32_t h[8], const uint8_t* p, size_t blocks, const uint32_t*);

std::atomic<sha256_blocks_fn>& active_blocks() {
  static std::atomic<sha256_blocks_fn> fn{sha256_hardware_blocks() ? sha256_hardware_blocks()
                                                                   : compress_portable};
  return fn;
}

inline void compress(sha256_ctx* ctx, const uint8_t* p, size_t blocks) {
  active_blocks().load(std::memory_order_relaxed)(ctx->h, p, blocks, K);
}

}  // namespace

int sha256_use_hardware(int enable) {
  sha256_blocks_fn hw = sha256_hardware_blocks();
  active_blocks().store(enable && hw ? hw : compress_portable);
  return enable && hw ? 1 : 0;
}

void sha256_init(sha256_ctx* ctx) {
  static constexpr uint32_t IV[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(ctx->h, IV, sizeof IV);
  ctx->total = 0;
  ctx->used = 0;
}

void sha256_block(sha256_ctx* ctx, const uint8_t block[64]) { compress(ctx, block, 1); }

namespace {

void compress_portable(uint32_t hv[8], const uint8_t* block, size_t blocks, const uint32_t*) {
  for (; blocks > 0; --blocks, block += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = hv[0], b = hv[1], c = hv[2], d = hv[3];
    uint32_t e = hv[4], f = hv[5], g = hv[6], h = hv[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    hv[0] += a;
    hv[1] += b;
    hv[2] += c;
    hv[3] += d;
    hv[4] += e;
    hv[5] += f;
    hv[6] += g;
    hv[7] += h;
  }
}

}  // namespace

void sha256_update(sha256_ctx* ctx, const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  ctx->total += len;
  if (ctx->used != 0) {
    size_t take = 64 - ctx->used;
    if (take > len) take = len;
    std::memcpy(ctx->block + ctx->used, p, take);
    ctx->used += take;
    p += take;
    len -= take;
    if (ctx->used < 64) return;
    compress(ctx, ctx->block, 1);
    ctx->used = 0;
  }
  if (len >= 64) {
    compress(ctx, p, len / 64);
    p += len & ~size_t{63};
    len &= 63;
  }
  if (len) std::memcpy(ctx->block, p, len);
  ctx->used = len;
}

void sha256_final(sha256_ctx* ctx, uint8_t digest[32]) {
  const uint64_t bits = ctx->total * 8;
  size_t used = static_cast<size_t>(ctx->used);
  ctx->block[used++] = 0x80;
  if (used > 56) {
    std::memset(ctx->block + used, 0, 64 - used);
    sha256_block(ctx, ctx->block);
    used = 0;
  }
  std::memset(ctx->block + used, 0, 56 - used);
  for (int i = 0; i < 8; ++i) ctx->block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sha256_block(ctx, ctx->block);
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<uint8_t>(ctx->h[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(ctx->h[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(ctx->h[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(ctx->h[i]);
  }
}

int sha256_file(const char* path, uint8_t digest[32], uint8_t* buffer) {
  uint64_t left = 0;
  unique_file f(open_regular_file(path, &left));
  if (!f) return -1;
  std::unique_ptr<uint8_t[]> own;
  if (!buffer) {
    own.reset(new (std::nothrow) uint8_t[SHA256_FILE_CHUNK]);
    if (!(buffer = own.get())) return -1;
  }
  sha256_ctx ctx;
  sha256_init(&ctx);
  // The file as it was when opened: reading up to its size, not on to the end, saves every
  // small file a second read that finds nothing. One that shrank meanwhile gives what it had.
  while (left > 0) {
    const size_t want = left < SHA256_FILE_CHUNK ? static_cast<size_t>(left) : SHA256_FILE_CHUNK;
    const size_t got = std::fread(buffer, 1, want, f.get());
    sha256_update(&ctx, buffer, got);
    if (got < want) break;
    left -= got;
  }
  if (std::ferror(f.get())) return -1;
  sha256_final(&ctx, digest);
  return 0;
}

void digest_to_hex(const uint8_t digest[32], char text[65]) {
  static constexpr char HEX[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    text[2 * i] = HEX[digest[i] >> 4];
    text[2 * i + 1] = HEX[digest[i] & 15];
  }
  text[64] = '\0';
}
