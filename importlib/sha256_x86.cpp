// SHA-256 compression with the x86 SHA extensions, chosen at run time. About five times the
// speed of the portable code on processors that have them (see docs/performance.md).
#include "sha256_impl.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#if defined(__GNUC__) || defined(__clang__)
#include <cpuid.h>
#define QM_TARGET_SHA __attribute__((target("sha,sse4.1,ssse3")))
#else
#include <intrin.h>
#define QM_TARGET_SHA
#endif

namespace {

bool cpu_has_sha_extensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
#if defined(__GNUC__) || defined(__clang__)
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool sse41 = (c >> 19) & 1, ssse3 = (c >> 9) & 1;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
#else
  int r[4];
  __cpuid(r, 1);
  const bool sse41 = (r[2] >> 19) & 1, ssse3 = (r[2] >> 9) & 1;
  __cpuidex(r, 7, 0);
  b = static_cast<unsigned>(r[1]);
#endif
  return sse41 && ssse3 && ((b >> 29) & 1);
}

// Four rounds: group G of 16 uses message words m0 and prepares later ones (m1, m3) while
// the rounds run, as the instruction set intends.
#define QM_QUAD(G, m0, m1, m3)                                                             \
  msg = _mm_add_epi32(m0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * (G)))); \
  s1 = _mm_sha256rnds2_epu32(s1, s0, msg);                                                 \
  if ((G) >= 3 && (G) <= 14) {                                                             \
    m1 = _mm_sha256msg2_epu32(_mm_add_epi32(m1, _mm_alignr_epi8(m0, m3, 4)), m0);          \
  }                                                                                        \
  s0 = _mm_sha256rnds2_epu32(s0, s1, _mm_shuffle_epi32(msg, 0x0E));                        \
  if ((G) >= 1 && (G) <= 12) m3 = _mm_sha256msg1_epu32(m3, m0);

QM_TARGET_SHA void compress_shani(uint32_t h[8], const uint8_t* p, size_t blocks,
                                  const uint32_t* k) {
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0xB1);
  __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), 0x1B);
  __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);  // ABEF
  s1 = _mm_blend_epi16(s1, tmp, 0xF0);       // CDGH
  for (; blocks > 0; --blocks, p += 64) {
    const __m128i abef = s0, cdgh = s1;
    __m128i msg;
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), mask);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), mask);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), mask);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), mask);
    QM_QUAD(0, m0, m1, m3)
    QM_QUAD(1, m1, m2, m0)
    QM_QUAD(2, m2, m3, m1)
    QM_QUAD(3, m3, m0, m2)
    QM_QUAD(4, m0, m1, m3)
    QM_QUAD(5, m1, m2, m0)
    QM_QUAD(6, m2, m3, m1)
    QM_QUAD(7, m3, m0, m2)
    QM_QUAD(8, m0, m1, m3)
    QM_QUAD(9, m1, m2, m0)
    QM_QUAD(10, m2, m3, m1)
    QM_QUAD(11, m3, m0, m2)
    QM_QUAD(12, m0, m1, m3)
    QM_QUAD(13, m1, m2, m0)
    QM_QUAD(14, m2, m3, m1)
    QM_QUAD(15, m3, m0, m2)
    s0 = _mm_add_epi32(s0, abef);
    s1 = _mm_add_epi32(s1, cdgh);
  }
  tmp = _mm_shuffle_epi32(s0, 0x1B);    // FEBA
  s1 = _mm_shuffle_epi32(s1, 0xB1);     // DCHG
  s0 = _mm_blend_epi16(tmp, s1, 0xF0);  // DCBA
  s1 = _mm_alignr_epi8(s1, tmp, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h), s0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(h + 4), s1);
}

#undef QM_QUAD

}  // namespace

sha256_blocks_fn sha256_hardware_blocks() {
  return cpu_has_sha_extensions() ? compress_shani : nullptr;
}

#else

sha256_blocks_fn sha256_hardware_blocks() { return nullptr; }

#endif
