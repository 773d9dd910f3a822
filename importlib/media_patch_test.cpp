#include "media_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using bytes = std::vector<uint8_t>;

const bytes PATCHED(MEDIA_PATCH_RUN, MEDIA_PATCH_RUN + 8);

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string hex(const uint8_t digest[32]) {
  char text[65];
  digest_to_hex(digest, text);
  return text;
}

// Every chunking finds the same runs, and the digest is that of the file with 7D written at
// the offsets reported: what the caller does to its copy.
TEST(MediaPatch, FindsRunsAcrossChunks) {
  const bytes filler = pattern_bytes(13, 1);
  struct {
    const char* what;
    bytes data;
    std::vector<uint64_t> offsets;
  } cases[] = {
      {"none", pattern_bytes(5000, 2), {}},
      {"retail run left alone",
       cat({filler, {0xE8, 0xCA, 0xFD, 0xFF, 0xFF, 0x85, 0xC0, 0x7D}}),
       {}},
      {"at the start and the end", cat({PATCHED, filler, PATCHED}), {7, 28}},
      {"back to back", cat({PATCHED, PATCHED}), {7, 15}},
      {"after a stray E8", cat({{0xE8}, PATCHED}), {8}},
      {"after a broken run", cat({bytes(PATCHED.begin(), PATCHED.end() - 2), PATCHED}), {13}},
      {"cut at the end of the file", bytes(PATCHED.begin(), PATCHED.end() - 1), {}},
  };
  for (const auto& c : cases) {
    bytes restored = c.data;
    for (uint64_t at : c.offsets) restored[at] = MEDIA_PATCH_RETAIL_BYTE;
    sha256_ctx plain;
    sha256_init(&plain);
    sha256_update(&plain, restored.data(), restored.size());
    uint8_t want[32], got[32];
    sha256_final(&plain, want);
    for (size_t chunk : {1, 3, 7, 8, 4096}) {
      for (bool digest : {true, false}) {  // the runs alone are found by another loop
        media_patch_scan scan;
        media_patch_init(&scan, digest);
        for (size_t at = 0; at < c.data.size(); at += chunk)
          media_patch_update(&scan, c.data.data() + at, std::min(chunk, c.data.size() - at));
        EXPECT_EQ(std::vector<uint64_t>(scan.offsets, scan.offsets + scan.runs), c.offsets)
            << c.what << ", chunks of " << chunk << (digest ? "" : ", runs alone");
        if (!digest) continue;
        media_patch_final(&scan, got);
        EXPECT_EQ(hex(got), hex(want)) << c.what << ", chunks of " << chunk;
      }
    }
  }
}

// All runs are counted and the first MAX kept; more make the file one we cannot restore,
// rather than one restored in part.
TEST(MediaPatch, OffsetsAreBounded) {
  for (size_t runs : {MEDIA_PATCH_MAX_OFFSETS, MEDIA_PATCH_MAX_OFFSETS + 1}) {
    bytes data;
    for (size_t i = 0; i < runs; ++i) data.insert(data.end(), PATCHED.begin(), PATCHED.end());
    media_patch_scan scan;
    media_patch_init(&scan, runs % 2 == 0);
    media_patch_update(&scan, data.data(), data.size());
    EXPECT_EQ(scan.runs, runs);
    EXPECT_EQ(scan.offsets[MEDIA_PATCH_MAX_OFFSETS - 1], 8 * MEDIA_PATCH_MAX_OFFSETS - 1);
    EXPECT_EQ(media_patch_restorable(&scan), runs <= MEDIA_PATCH_MAX_OFFSETS ? 1 : 0) << runs;
  }
}

}  // namespace
