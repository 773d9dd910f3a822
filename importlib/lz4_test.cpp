#include "lz4.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compressed_writer.h"
#include "testutil.h"

namespace {

using bytes = std::vector<uint8_t>;

int decode(const bytes& in, size_t out_len, bytes* out = nullptr) {
  bytes buf(out_len + 1, 0xA5);  // one guard byte past the end
  int status = lz4_decode_block(in.data(), in.size(), buf.data(), out_len);
  EXPECT_EQ(buf[out_len], 0xA5) << "wrote past the output";
  buf.resize(out_len);
  if (out) *out = buf;
  return status;
}

// `period` bytes repeated: compressed into overlapping matches at that offset.
bytes periodic(size_t size, size_t period) {
  bytes seed = pattern_bytes(period, static_cast<uint32_t>(period)), out(size);
  for (size_t i = 0; i < size; ++i) out[i] = seed[i % period];
  return out;
}

TEST(Lz4, RoundTripsThroughTheTestCompressor) {
  struct row {
    std::string what;
    bytes data;
    size_t most;  // largest compressed size that shows matches were used
  };
  bytes text;
  for (int i = 0; text.size() < 4000; ++i) {
    std::string line = "entry " + std::to_string(i % 37) + " of the table, flags 0x0" +
                       std::to_string(i % 3) + "\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  bytes mixed = pattern_bytes(2048, 9);
  std::fill(mixed.begin() + 300, mixed.begin() + 1500, 0);
  std::vector<row> rows = {
      {"empty", {}, 1},
      {"shorter than a match may be", pattern_bytes(12, 1), 13},
      {"zeros", bytes(2048, 0), 40},
      {"0xFF fill", bytes(65536 + 100, 0xFF), 400},
      {"random", pattern_bytes(2048, 2), 2048 + 16},
      {"text", text, 1500},
      {"random around zeros", mixed, 900},
  };
  for (size_t period = 2; period <= 20; ++period)  // every overlap case of the match copy
    rows.push_back({"period " + std::to_string(period), periodic(2048 + period, period), 80});
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    const bytes packed = lz4_compress_block(r.data.data(), r.data.size());
    EXPECT_LE(packed.size(), r.most);
    bytes out;
    ASSERT_EQ(decode(packed, r.data.size(), &out), 0);
    EXPECT_EQ(out, r.data);
    // Exactly out_len bytes: a block is refused by a larger or smaller output.
    EXPECT_EQ(decode(packed, r.data.size() + 1), -1);
    if (!r.data.empty()) {
      EXPECT_EQ(decode(packed, r.data.size() - 1), -1);
    }
  }
}

// Literals in one run: token, length bytes, the bytes.
bytes literals(size_t n, uint8_t fill = 'x') {
  bytes b;
  b.reserve(n + n / 255 + 2);  // also keeps mingw g++ 12 -O3 from a false -Warray-bounds
  b.push_back(static_cast<uint8_t>((n < 15 ? n : 15) << 4));
  if (n >= 15) {
    size_t v = n - 15;
    for (; v >= 255; v -= 255) b.push_back(255);
    b.push_back(static_cast<uint8_t>(v));
  }
  b.resize(b.size() + n, fill);
  return b;
}

// `block` with the last token given a match: literals, offset, match code (0 = 4 bytes).
bytes with_match(bytes block, uint16_t offset, uint8_t code, bytes more_length = {}) {
  size_t token = 0;  // the single token of a block made by literals()
  block[token] = static_cast<uint8_t>(block[token] | code);
  block.push_back(static_cast<uint8_t>(offset));
  block.push_back(static_cast<uint8_t>(offset >> 8));
  block.insert(block.end(), more_length.begin(), more_length.end());
  return block;
}

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Lz4, RefusesHostileBlocksAndKeepsTheEndRules) {
  struct row {
    std::string what;
    bytes block;
    size_t out_len;
    int status;
  };
  const bytes ok = with_match(literals(8), 8, 0) + literals(8);  // 8 + 4 + 8 bytes
  // One literal, its byte repeated to 2,015, then a short sequence whose match ends exactly
  // at the end: against the rules, but liblz4 decodes it, so we do.
  const bytes tail = with_match(literals(1), 1, 15, {255, 255, 255, 255, 255, 255, 255, 211}) +
                     with_match(literals(14), 8, 14) + bytes{0x00};
  std::vector<row> rows = {
      {"a valid block", ok, 20, 0},
      {"empty input", {}, 20, -1},
      {"empty output: the zero token", {0x00}, 0, 0},
      {"empty output: another token", {0x01}, 0, -1},
      {"offset 0", with_match(literals(8), 0, 0) + literals(8), 20, -1},
      {"offset before the start", with_match(literals(8), 9, 0) + literals(8), 20, -1},
      {"literal run past the input", bytes{0x50, 'a', 'b'}, 5, -1},
      {"literal length bytes past the input", bytes{0xF0, 255, 255}, 600, -1},
      {"literal run past the output", literals(10), 5, -1},
      {"match past the output", with_match(literals(8), 8, 15, {200}) + literals(5), 40, -1},
      {"match into the last five bytes", with_match(literals(8), 8, 1) + literals(4), 17, -1},
      {"match starting in the last twelve bytes", with_match(literals(9), 8, 0) + literals(7), 20,
       -1},
      {"match length bytes past the input", with_match(literals(8), 8, 15, {255, 255}), 600, -1},
      {"no sequence after the match", with_match(literals(8), 8, 0), 12, -1},
      {"bytes after the last literals", ok + bytes{0}, 20, -1},
      {"last match ending at the end, as liblz4 allows", tail, 2048, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(decode(r.block, r.out_len), r.status);
  }
  bytes out;
  ASSERT_EQ(decode(ok, 20, &out), 0);
  EXPECT_EQ(out, bytes(20, 'x'));
}

}  // namespace
