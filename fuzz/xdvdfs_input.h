// How a fuzz input maps onto an image: the input is the partition from its volume descriptor
// on; the 64 KiB before the descriptor hold nothing the lister reads, so they are implied
// zeros. Tiny inputs then reach the directory walk, and partition sector s sits at input
// offset (s - 32) * 2048. An input that starts with a CCI or CSO magic is instead a whole
// compressed image file, implied prefix and all; when its last byte is odd, two parts of one,
// the bytes before that last one saying where the first part ends.
#pragma once

#include <cstddef>

constexpr size_t FUZZ_IMPLIED_PREFIX = 0x10000;
