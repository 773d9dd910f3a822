// LZ4 block decoding: the raw block format (no frame), as CCI and CSO images store each
// compressed sector. Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes the LZ4 block in[0, in_len) into out[0, out_len). Returns 0 when the block decodes
// to exactly out_len bytes and ends exactly at in_len, else -1 (damaged, or a block of
// another size); out then holds unspecified bytes. Every literal run, match offset and match
// length is checked against both buffers: whatever the input, nothing outside them is read
// or written.
//
// Accepts exactly the blocks that liblz4's LZ4_decompress_safe decodes to out_len bytes,
// end-of-block leniencies included, with one exception: a match offset of 0 is refused
// (liblz4 writes zeros for such a match; no compressor emits one).
int lz4_decode_block(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len);
