#include "media_patch.h"

#include <cstring>

namespace {

void record_run(media_patch_scan* scan, size_t last) {
  if (scan->runs < MEDIA_PATCH_MAX_OFFSETS) scan->offsets[scan->runs] = scan->position + last;
  ++scan->runs;
}

// The runs alone: memchr finds each E8, the one byte that starts a run, at the speed of the
// memory rather than a byte at a time.
void find_runs(media_patch_scan* scan, const uint8_t* bytes, size_t len) {
  uint32_t matched = scan->matched;
  size_t i = 0;
  while (i < len) {
    if (matched == 0) {
      const void* e8 = std::memchr(bytes + i, MEDIA_PATCH_RUN[0], len - i);
      if (!e8) break;
      i = static_cast<size_t>(static_cast<const uint8_t*>(e8) - bytes);
    }
    const uint8_t b = bytes[i];
    if (b != MEDIA_PATCH_RUN[matched]) {
      matched = b == MEDIA_PATCH_RUN[0] ? 1 : 0;
    } else if (++matched == sizeof MEDIA_PATCH_RUN) {
      matched = 0;
      record_run(scan, i);
    }
    ++i;
  }
  scan->matched = matched;
  scan->position += len;
}

}  // namespace

void media_patch_init(media_patch_scan* scan, bool digest) {
  if (digest) sha256_init(&scan->restored);
  scan->position = 0;
  scan->runs = 0;
  scan->matched = 0;
  scan->digest = digest;
}

void media_patch_update(media_patch_scan* scan, const void* data, size_t len) {
  if (len == 0) return;  // nothing to do, and `data` may then be null
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (!scan->digest) {
    find_runs(scan, bytes, len);
    return;
  }
  size_t hashed = 0;  // bytes of this call already given to the digest
  uint32_t matched = scan->matched;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t b = bytes[i];
    if (b != MEDIA_PATCH_RUN[matched]) {
      // E8 starts the run and occurs nowhere else in it, so after a mismatch the only
      // partial run left is the one this byte may start.
      matched = b == MEDIA_PATCH_RUN[0] ? 1 : 0;
      continue;
    }
    if (++matched < sizeof MEDIA_PATCH_RUN) continue;
    // A whole run ends here: the digest gets the retail byte in place of this one. No
    // border, so nothing of this run starts the next one.
    matched = 0;
    sha256_update(&scan->restored, bytes + hashed, i - hashed);
    sha256_update(&scan->restored, &MEDIA_PATCH_RETAIL_BYTE, 1);
    hashed = i + 1;
    record_run(scan, i);
  }
  sha256_update(&scan->restored, bytes + hashed, len - hashed);
  scan->matched = matched;
  scan->position += len;
}

void media_patch_final(media_patch_scan* scan, uint8_t digest[32]) {
  sha256_final(&scan->restored, digest);
}

int media_patch_restorable(const media_patch_scan* scan) {
  return scan->runs <= MEDIA_PATCH_MAX_OFFSETS ? 1 : 0;
}
