#include "sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "import.h"
#include "sample_xbe.h"
#include "testutil.h"

namespace {

std::string hex_of(const std::string& s) { return sha256_hex(s.data(), s.size()); }

TEST(Sha256, FipsVectors) {
  struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex_of(c.input), c.digest) << c.input.size() << " bytes";
}

// Lengths around the padding boundary: 55 bytes pad within one block, 56..63 need a second.
TEST(Sha256, PaddingBoundaries) {
  struct {
    size_t len;
    const char* digest;  // of that many 'a' bytes (sha256sum)
  } cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex_of(std::string(c.len, 'a')), c.digest) << c.len;
}

TEST(Sha256, PiecewiseFeedMatchesWhole) {
  std::vector<uint8_t> data = pattern_bytes(3 * 4194304 + 777, 7);
  const std::string whole = sha256_hex(data);
  for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{4194304}}) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    // Single bytes over the whole input would take long; a 1 MiB prefix shows the same path.
    size_t limit = piece == 1 ? (1u << 20) : data.size();
    size_t off = 0;
    for (; off < limit; off += piece)
      sha256_update(&ctx, data.data() + off, std::min(piece, limit - off));
    if (limit < data.size()) sha256_update(&ctx, data.data() + limit, data.size() - limit);
    uint8_t d[32];
    sha256_final(&ctx, d);
    char hex[65];
    digest_to_hex(d, hex);
    EXPECT_EQ(whole, hex) << "pieces of " << piece;
  }
}

TEST(Sha256, FileDigestAndSupportedCheck) {
  temp_dir dir;
  const std::vector<uint8_t> xbe = sample_xbe();
  write_file(dir / "default.xbe", xbe);
  std::vector<uint8_t> altered = xbe;
  altered[12345] ^= 1;
  write_file(dir / "altered.xbe", altered);
  write_file(dir / "empty.bin", std::string());

  // The sample's digest is what tests link as supported; it must never drift.
  EXPECT_STREQ(SUPPORTED_XBE_SHA256, SAMPLE_XBE_SHA256);
  EXPECT_EQ(sha256_hex(xbe), SAMPLE_XBE_SHA256);

  uint8_t d[32];
  char hex[65];
  ASSERT_EQ(sha256_file((dir / "default.xbe").c_str(), d), 0);
  digest_to_hex(d, hex);
  EXPECT_STREQ(hex, SAMPLE_XBE_SHA256);
  ASSERT_EQ(sha256_file((dir / "empty.bin").c_str(), d), 0);
  digest_to_hex(d, hex);
  EXPECT_STREQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_file((dir / "missing").c_str(), d), -1);
  // Files are read in pieces up to their size: the ends of a piece, with a caller's buffer and
  // without.
  std::vector<uint8_t> buffer(SHA256_FILE_CHUNK);
  for (size_t size : {SHA256_FILE_CHUNK - 1, SHA256_FILE_CHUNK, 2 * SHA256_FILE_CHUNK + 1}) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 4099);
    write_file(dir / "pieces.bin", data);
    for (uint8_t* b : {static_cast<uint8_t*>(nullptr), buffer.data()}) {
      ASSERT_EQ(sha256_file((dir / "pieces.bin").c_str(), d, b), 0) << size;
      digest_to_hex(d, hex);
      EXPECT_EQ(hex, sha256_hex(data)) << size;
    }
  }
#ifndef _WIN32
  // A pipe is refused at once, not waited on for a writer.
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(sha256_file((dir / "pipe").c_str(), d), -1);
#endif

  struct {
    std::string path;
    int supported;
  } cases[] = {
      {dir / "default.xbe", 1}, {dir / "altered.xbe", 0}, {dir / "missing.xbe", 0},
      {dir.path(), 0},          {dir / "empty.bin", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(is_supported_xbe(c.path.c_str()), c.supported) << c.path;
  EXPECT_EQ(is_supported_xbe(nullptr), 0);
}

// The hardware and portable back ends must agree on every length and alignment.
TEST(Sha256, HardwareAndPortableAgree) {
  std::vector<uint8_t> data = pattern_bytes(70000, 3);
  auto digest_all = [&] {
    std::string out;
    for (size_t len : {0, 1, 55, 56, 64, 119, 4096, 65537})
      for (size_t offset : {0, 1, 7}) out += sha256_hex(data.data() + offset, len) + "\n";
    return out;
  };
  sha256_use_hardware(0);
  const std::string portable = digest_all();
  const int hardware = sha256_use_hardware(1);
  const std::string chosen = digest_all();
  EXPECT_EQ(chosen, portable);
  EXPECT_EQ(hex_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  if (!hardware) GTEST_SKIP() << "this processor has no SHA extensions";
}

TEST(Sha256, HexIsLowerCase) {
  uint8_t d[32];
  for (int i = 0; i < 32; ++i) d[i] = static_cast<uint8_t>(i * 8 + 0xA0 + i);
  char hex[65];
  digest_to_hex(d, hex);
  EXPECT_EQ(std::string(hex).find_first_of("ABCDEF"), std::string::npos);
  EXPECT_EQ(std::string(hex).size(), 64u);
  EXPECT_EQ(std::string(hex, 4), "a0a9");
}

}  // namespace
