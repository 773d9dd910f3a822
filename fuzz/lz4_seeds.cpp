// Writes the LZ4 fuzzers' seed corpus into the folder given: blocks of 2,048-byte sectors as
// the test compressor makes them (the sample disc's sectors, fills, repeats at every short
// distance, noise), and a block whose last match ends at the very end, which liblz4 accepts.
#include <cstdio>
#include <string>
#include <vector>

#include "compressed_writer.h"
#include "fs.h"
#include "image_writer.h"
#include "paths.h"
#include "testutil.h"

namespace {

bool save(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  unique_file f(open_utf8(join_out_path(dir.c_str(), name.c_str()).c_str(), "wb"));
  return f && std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size() &&
         std::fclose(f.release()) == 0;
}

std::vector<uint8_t> packed(const std::vector<uint8_t>& sector) {
  return lz4_compress_block(sector.data(), sector.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || make_dirs(argv[1]) != 0) {
    std::fprintf(stderr, "usage: lz4_seeds <corpus-folder>\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  const disc_image disc = build_image(sample_tree());
  for (uint64_t s = 32; s * 2048 < disc.size(); s += 7)  // the volume descriptor onwards
    ok &= save(dir, "disc-" + std::to_string(s), packed(disc.get(s * 2048, 2048)));
  ok &= save(dir, "zeros", packed(std::vector<uint8_t>(2048, 0)));
  ok &= save(dir, "ff", packed(std::vector<uint8_t>(2048, 0xFF)));
  ok &= save(dir, "noise", packed(pattern_bytes(2048, 3)));
  for (size_t period = 2; period <= 20; ++period) {
    const std::vector<uint8_t> seed = pattern_bytes(period, static_cast<uint32_t>(period));
    std::vector<uint8_t> sector(2048);
    for (size_t i = 0; i < sector.size(); ++i) sector[i] = seed[i % period];
    ok &= save(dir, "period-" + std::to_string(period), packed(sector));
  }
  // One literal repeated to 2,016 bytes; 14 literals and an 18-byte match to the end; an
  // empty last sequence.
  std::vector<uint8_t> tail = {0x1F, 'q', 1, 0, 255, 255, 255, 255, 255, 255, 255, 211, 0xEE};
  for (int i = 0; i < 14; ++i) tail.push_back(static_cast<uint8_t>('a' + i));
  tail.insert(tail.end(), {8, 0, 0x00});
  ok &= save(dir, "tail", tail);
  if (!ok) {
    std::fprintf(stderr, "lz4_seeds: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
