// Undoing the media patch: the most common XISO tool, whenever it creates or rewrites an
// image, turns every `E8 CA FD FF FF 85 C0 7D` (call; test eax, eax; jge) in an .xbe into
// `... EB` (jmp). A streaming scan, fed the file chunk by chunk like a hash, counts the
// patched runs, digests the content as it was before the patch and records where the
// original byte goes back, so the copy can be restored and checked against the retail
// digest.
//
// The patched run has no border (no proper prefix equals a suffix: its last byte EB occurs
// nowhere else in it), so two runs never overlap and a scan needs only the length of the
// partial run at the end of what it has seen.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sha256.h"

constexpr uint8_t MEDIA_PATCH_RUN[8] = {0xE8, 0xCA, 0xFD, 0xFF, 0xFF, 0x85, 0xC0, 0xEB};
// The retail value of a patched run's last byte.
constexpr uint8_t MEDIA_PATCH_RETAIL_BYTE = 0x7D;

// Offsets kept. Restoring is right only when the restored digest is the supported build's,
// so the count that matters is the retail executable's, and it is small: the call's
// displacement is fixed (every run calls the code 0x231 bytes before itself), so few places
// in any executable match. 64 leaves wide margin, and a hostile file with a run every 8
// bytes (8M runs in 64 MB) costs nothing more: runs past 64 are counted, not kept, and the
// file is then not restorable.
constexpr size_t MEDIA_PATCH_MAX_OFFSETS = 64;

struct media_patch_scan {
  sha256_ctx restored;  // the content with every patched run's last byte set back
  uint64_t position;    // bytes fed so far
  uint64_t runs;        // patched runs found
  // Absolute file offsets of the last bytes of the first min(runs, MAX) runs, ascending.
  uint64_t offsets[MEDIA_PATCH_MAX_OFFSETS];
  uint32_t matched;  // bytes of a run matched at the end of the input so far, 0..7
  bool digest;       // whether `restored` is kept
};

// With `digest` false the scan only finds the runs, without hashing: a file that holds none,
// as nearly every file does, is then hashed once, and the restored digest is worth a second
// pass only once a run is found.
void media_patch_init(media_patch_scan* scan, bool digest = true);
// Feeds the next `len` bytes of the file. Runs that straddle calls are found.
void media_patch_update(media_patch_scan* scan, const void* data, size_t len);
// The SHA-256 of everything fed, with each patched run's last byte as MEDIA_PATCH_RETAIL_BYTE
// (equal to the plain digest when runs is 0). Only for a scan made with `digest`.
void media_patch_final(media_patch_scan* scan, uint8_t digest[32]);
// 1 if offsets holds every run found (writing MEDIA_PATCH_RETAIL_BYTE at each of them
// gives back the content media_patch_final digested), 0 if there were too many.
int media_patch_restorable(const media_patch_scan* scan);
