// Internal to the SHA-256 code: the compression back ends.
#pragma once

#include <cstddef>
#include <cstdint>

// Compresses `blocks` consecutive 64-byte blocks at `p` into the chaining value `h`;
// `k` is the table of the 64 round constants.
using sha256_blocks_fn = void (*)(uint32_t h[8], const uint8_t* p, size_t blocks,
                                  const uint32_t* k);

// The processor's SHA instructions when it has them, else null.
sha256_blocks_fn sha256_hardware_blocks();
