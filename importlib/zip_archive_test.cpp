// The ZIP layer on archives as players get them: written by Python's zipfile, Info-ZIP and
// 7-Zip around images from the test image writer. The archivers run as processes; a case
// whose archiver is not installed is skipped (scripts/check installs them).
#include "zip_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fs.h"
#include "image_writer.h"
#include "import.h"
#include "testutil.h"
#include "zip_image.h"
#include "zip_writer.h"

#include <zlib.h>

namespace {

struct image_file {
  disc_image image;
  disc_layout layout;
};

// The sample disc at `base` with a file of 20 KiB of noise repeated, saved as `path`. The
// sample's files are noise that deflate stores as it is; the repeats make inflating after a
// restart point need the window it keeps, and every 29th byte changed keeps zlib's blocks
// short enough (about 240 KiB) for points to fall among them.
image_file save_image(const std::string& path, uint64_t base) {
  disc_node tree = sample_tree();
  const std::vector<uint8_t> noise = pattern_bytes(20480, 9);
  std::vector<uint8_t> repeats(2u << 20);
  for (size_t i = 0; i < repeats.size(); ++i)
    repeats[i] = i % 29 ? noise[i % noise.size()] : static_cast<uint8_t>(i / 29);
  tree.children.push_back(file_node("repeats.bin", repeats));
  image_options options;
  options.partition_base = base;
  image_file f;
  f.image = build_image(tree, options, &f.layout);
  EXPECT_TRUE(f.image.save(path)) << path;
  return f;
}

// A byte_reader over memory that counts the bytes read through it.
struct counting_reader final : byte_reader {
  explicit counting_reader(const std::vector<uint8_t>& bytes) : mem(bytes.data(), bytes.size()) {}
  uint64_t size() const override { return mem.size(); }
  int read(uint64_t pos, void* out, size_t len, std::string* message) override {
    read_bytes += len;
    return mem.read(pos, out, len, message);
  }
  memory_reader mem;
  uint64_t read_bytes = 0;
};

struct archive_case {
  const char* what;
  uint64_t base;  // of the disc image written as "game.iso" in the archive's folder
  // Archiver and arguments; "@" stands for the archive's path, "%" for the image's, "$"
  // for a text file's, "#" for the Python writer.
  std::vector<std::string> command;
  const char* entry;              // the disc image chosen; null when refused
  const char* refusal = nullptr;  // the message, "@" for the archive's path
};

std::string expand(const std::string& s, const temp_dir& dir) {
  std::string out;
  for (char c : s)
    out += c == '@'   ? dir / "game.zip"
           : c == '%' ? dir / "game.iso"
           : c == '$' ? dir / "readme.txt"
           : c == '#' ? ZIP_PYTHON_WRITER
                      : std::string(1, c);
  return out;
}

// Writes the image and the archive of `c` in `dir`; false when its archiver is missing.
bool make_archive(const archive_case& c, const temp_dir& dir, image_file* disc) {
  const std::string tool = find_program(c.command[0]);
  if (tool.empty()) return false;
  *disc = save_image(dir / "game.iso", c.base);
  write_file(dir / "readme.txt", "Redump set\n");
  std::vector<std::string> args;
  for (size_t i = 1; i < c.command.size(); ++i) args.push_back(expand(c.command[i], dir));
  const process_output made = run_process(tool, args);
  EXPECT_EQ(made.exit_code, 0) << c.what << ": " << made.out << made.err;
  return true;
}

void PrintTo(const archive_case& c, std::ostream* out) { *out << c.what; }

class ZipArchive : public testing::TestWithParam<archive_case> {};

// Every form an archiver writes opens, and reads back the image's bytes: each file's data in
// disc order (the copy) and in reverse (reads far apart, from restart points), at 64 KiB
// point spacing so that small images have many points. Each refusal has its sentence.
TEST_P(ZipArchive, ChoosesTheImageAndReadsItOrRefuses) {
  const archive_case& c = GetParam();
  temp_dir dir;
  image_file disc;
  if (!make_archive(c, dir, &disc)) GTEST_SKIP() << c.command[0] << " is not installed";
  const std::string archive = dir / "game.zip";

  const std::vector<uint8_t> bytes = read_file(archive);
  memory_reader reader(bytes.data(), bytes.size());
  zip_entry entry;
  std::string message;
  const int status = zip_find_image(reader, archive.c_str(), &entry, &message);
  if (c.refusal) {
    EXPECT_EQ(status, IMPORT_ERR_DAMAGED) << c.what;
    EXPECT_EQ(message, expand(c.refusal, dir)) << c.what;
    return;
  }
  ASSERT_EQ(status, IMPORT_OK) << c.what << ": " << message;
  EXPECT_EQ(entry.name, c.entry) << c.what;
  zip_image zip;
  zip_open_options options;
  options.spacing = 65536;
  ASSERT_EQ(zip.open(reader, entry, archive.c_str(), options, &message), IMPORT_OK)
      << c.what << ": " << message;
  ASSERT_EQ(zip.size(), disc.image.size()) << c.what;
  EXPECT_EQ(zip.point_count() > 1, entry.method == ZIP_DEFLATED) << c.what;
  std::vector<const placed_entry*> files;
  for (const placed_entry& e : disc.layout.entries)
    if (!e.is_dir && e.size > 0) files.push_back(&e);
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = 0; k < files.size(); ++k) {
      const placed_entry& e = *files[pass == 0 ? k : files.size() - 1 - k];
      std::vector<uint8_t> got(e.size);
      ASSERT_EQ(zip.read(e.data_pos, got.data(), got.size(), &message), IMPORT_OK)
          << c.what << ": " << e.rel_path << ": " << message;
      ASSERT_EQ(got, disc.image.get(e.data_pos, e.size)) << c.what << ": " << e.rel_path;
    }
  }
  // Reads inside files too, backwards from the very end: restarts from every point (from a
  // third of the Redump layout's 1,024).
  std::vector<uint8_t> got(3000);
  const uint64_t step = std::max<uint64_t>(50000, zip.size() / 300);
  for (uint64_t end = zip.size(); end >= got.size(); end -= std::min(end, step)) {
    ASSERT_EQ(zip.read(end - got.size(), got.data(), got.size(), &message), IMPORT_OK)
        << c.what << ": " << message;
    ASSERT_EQ(got, disc.image.get(end - got.size(), got.size())) << c.what << " at " << end;
  }
  EXPECT_EQ(zip.read(zip.size() - 2999, got.data(), got.size(), &message), IMPORT_ERR_SOURCE_IO);
}

const char *const PY = "python3", *const SCRIPT = "#";
const archive_case CASES[] = {
    {"zipfile, deflate", 0, {PY, "-c", SCRIPT, "@", "deflate", "-", "game.iso=%"}, "game.iso"},
    {"zipfile, Redump layout",
     REDUMP_PARTITION_BASE,
     {PY, "-c", SCRIPT, "@", "deflate", "-", "Game (USA).iso=%"},
     "Game (USA).iso"},
    {"zipfile, stored", 0, {PY, "-c", SCRIPT, "@", "stored", "-", "g.XISO=%"}, "g.XISO"},
    {"zipfile, zip64 forced, data descriptors",
     0,
     {PY, "-c", SCRIPT, "@", "deflate", "zip64,stream", "readme.txt=$", "d/GAME.ISO=%"},
     "d/GAME.ISO"},
    {"zipfile, deflate, found by its volume",
     0,
     {PY, "-c", SCRIPT, "@", "deflate", "-", "readme.txt=$", "disc.img=%"},
     "disc.img"},
    {"zipfile, stored, found by its volume at 0x2080000",
     0x2080000,
     {PY, "-c", SCRIPT, "@", "stored", "-", "disc=%"},
     "disc"},
    {"Info-ZIP", 0, {"zip", "-q", "-j", "@", "%"}, "game.iso"},
    {"Info-ZIP, zip64 end records", 0, {"zip", "-q", "-j", "-fz", "@", "%"}, "game.iso"},
    {"7-Zip, deflate", 0, {"7z", "a", "-tzip", "-mm=Deflate", "@", "%"}, "game.iso"},
    {"7-Zip, Deflate64",
     0,
     {"7z", "a", "-tzip", "-mm=Deflate64", "@", "%"},
     nullptr,
     "@ is compressed with Deflate64 (as Windows Explorer writes large archives), which this "
     "version does not read: extract the disc image with 7-Zip first."},
    {"zipfile, bzip2",
     0,
     {PY, "-c", SCRIPT, "@", "bzip2", "-", "game.iso=%"},
     nullptr,
     "@ is compressed with bzip2, which this version does not read: extract the disc image "
     "with 7-Zip first."},
    {"Info-ZIP, encrypted",
     0,
     {"zip", "-q", "-j", "-P", "secret", "@", "%"},
     nullptr,
     "@ is encrypted: extract it with the password first."},
    {"two images",
     0,
     {PY, "-c", SCRIPT, "@", "deflate", "-", "a.iso=%", "b.ISO=%"},
     nullptr,
     "@ holds 2 disc images (a.iso, b.ISO): extract the one you want."},
    {"no image",
     0,
     {PY, "-c", SCRIPT, "@", "deflate", "-", "readme.txt=$"},
     nullptr,
     "@ holds no disc image."},
    {"Info-ZIP, split",
     0,
     {"zip", "-q", "-j", "-s", "200k", "@", "%"},
     nullptr,
     "@ is one part of a split ZIP archive (there is a .z01 part beside it), which this "
     "version does not read: extract the disc image with 7-Zip first."},
};

INSTANTIATE_TEST_SUITE_P(Archivers, ZipArchive, testing::ValuesIn(CASES));

const archive_case DEFLATED = CASES[0];

struct opened {
  int find = -1, open = -1;
  std::string message;
  zip_entry entry;
};

opened open_archive(byte_reader& reader, const std::string& name,
                    const zip_open_options& options = {}, zip_image* zip = nullptr) {
  opened o;
  zip_image own;
  o.find = zip_find_image(reader, name.c_str(), &o.entry, &o.message);
  if (o.find == IMPORT_OK)
    o.open = (zip ? *zip : own).open(reader, o.entry, name.c_str(), options, &o.message);
  return o;
}

// Damage anywhere is named as such, with what is wrong; none of it reads past the archive
// (the sanitizers watch).
TEST(ZipArchiveDamage, IsNamed) {
  temp_dir dir;
  image_file disc;
  if (!make_archive(DEFLATED, dir, &disc)) GTEST_SKIP() << "python3 is not installed";
  const std::vector<uint8_t> good = read_file(dir / "game.zip");
  const size_t end = good.size() - 22, cd = good.size() - 22 - 46 - 8;  // "game.iso", no extra
  ASSERT_EQ(good[cd], 'P');
  auto put32 = [](std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> 8 * i);
  };
  struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* reason;  // part of the explanation
  } cases[] = {
      {"a changed byte inside the deflate stream", [](auto& b) { b[b.size() / 2] ^= 0x10; },
       "game.iso"},
      {"cut short", [](auto& b) { b.resize(b.size() * 3 / 4); },
       ": no end of central directory record ("},
      {"directory past the file", [&](auto& b) { put32(b, end + 16, 0x7FFFFFF0); },
       "central directory of"},
      {"more entries than the directory holds", [&](auto& b) { put32(b, end + 8, 0x00030003); },
       "3 entries cannot fit"},
      {"data overlapping the directory", [&](auto& b) { put32(b, cd + 42, 64); }, "overlap"},
      {"no local header where it points", [&](auto& b) { put32(b, cd + 42, 1); },
       "no local header of game.iso at 0x1"},
      {"a name longer than its record", [&](auto& b) { b[cd + 28] = 200; }, "runs past its end"},
      {"a size the data cannot inflate to", [&](auto& b) { put32(b, cd + 24, 0xFFFFFF00); },
       "cannot inflate to"},
      {"another CRC-32", [&](auto& b) { b[cd + 16] ^= 1; }, "has CRC-32"},
  };
  const std::string name = dir / "game.zip";
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = good;
    c.damage(bytes);
    memory_reader reader(bytes.data(), bytes.size());
    const opened o = open_archive(reader, name);
    EXPECT_EQ(o.find == IMPORT_OK ? o.open : o.find, IMPORT_ERR_DAMAGED) << c.what;
    EXPECT_EQ(o.message.rfind("damaged ZIP archive " + name + ": ", 0), 0u) << o.message;
    EXPECT_NE(o.message.find(c.reason), std::string::npos) << c.what << ": " << o.message;
    EXPECT_TRUE(o.message.ends_with(" (a download cut short?)")) << o.message;
  }
}

// A copy reads in disc order: each read goes on with the stream the last one left instead
// of inflating again from a restart point, so reading the image through costs about one
// more pass over its compressed bytes. Progress ends at the whole; cancel stops the pass.
TEST(ZipImage, ReadsInOrderWithOnePassProgressAndCancel) {
  temp_dir dir;
  image_file disc;
  if (!make_archive(DEFLATED, dir, &disc)) GTEST_SKIP() << "python3 is not installed";
  const std::vector<uint8_t> bytes = read_file(dir / "game.zip");
  counting_reader reader(bytes);
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  zip_open_options options;
  options.user = &calls;
  options.progress = [](uint64_t done, uint64_t total, void* user) {
    static_cast<std::vector<std::pair<uint64_t, uint64_t>>*>(user)->emplace_back(done, total);
  };
  zip_image zip;
  opened o = open_archive(reader, dir / "game.zip", options, &zip);
  ASSERT_EQ(o.open, IMPORT_OK) << o.message;
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), std::make_pair(o.entry.compressed_size, o.entry.compressed_size));

  reader.read_bytes = 0;
  std::vector<uint8_t> chunk(32768);
  for (uint64_t pos = 0; pos < zip.size(); pos += chunk.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), zip.size() - pos));
    ASSERT_EQ(zip.read(pos, chunk.data(), n, &o.message), IMPORT_OK) << o.message;
    ASSERT_EQ(std::vector<uint8_t>(chunk.begin(), chunk.begin() + n), disc.image.get(pos, n));
  }
  EXPECT_LT(reader.read_bytes, o.entry.compressed_size + 300000);

  const std::atomic<int> cancel{1};
  options.cancel = &cancel;
  o = open_archive(reader, dir / "game.zip", options);
  EXPECT_EQ(o.open, IMPORT_ERR_CANCELLED);
  EXPECT_EQ(o.message, "import cancelled");
}

// A restart point can fall right after the input was refilled: a block whose last match the
// full ring of the last 32 KiB cut, ended by a short end-of-block code inflate already held.
// The point's bits then come from the chunk before, which the refill overwrote. Runs of a few
// letters give such codes; blocks end just past each 32 KiB, read in chunks of a few bytes.
// Every byte reads back, from every point.
TEST(ZipImage, RestartPointsRightAfterARefill) {
  std::vector<uint8_t> text;
  uint32_t seed = 1;
  while (text.size() < (1u << 20)) {
    seed = seed * 1103515245 + 12345;
    text.insert(text.end(), 300 + (seed >> 16) % 3 * 700,
                static_cast<uint8_t>('a' + (seed >> 20) % 3));
  }
  text.resize(1u << 20);
  for (size_t lead : {1, 3}) {
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<uint8_t> packed(text.size() + 4096);
    z.next_out = packed.data();
    z.avail_out = static_cast<uInt>(packed.size());
    for (size_t at = 0; at < text.size();) {
      const size_t block = std::min(text.size() - at, at == 0 ? 32768 + lead : 32768);
      z.next_in = text.data() + at;
      z.avail_in = static_cast<uInt>(block);
      at += block;
      // Z_BLOCK ends the block without padding it to a byte.
      ASSERT_NE(deflate(&z, at == text.size() ? Z_FINISH : Z_BLOCK), Z_STREAM_ERROR);
    }
    packed.resize(z.total_out);
    deflateEnd(&z);
    zip_entry entry;
    entry.name = "game.iso";
    entry.method = ZIP_DEFLATED;
    entry.crc32 = zip_crc32(text.data(), text.size());
    entry.compressed_size = packed.size();
    entry.size = text.size();
    for (size_t chunk : {1, 2, 3}) {
      memory_reader reader(packed.data(), packed.size());
      zip_image zip;
      zip_open_options options;
      options.spacing = 32768;
      options.input_chunk = chunk;
      std::string message;
      ASSERT_EQ(zip.open(reader, entry, "game.zip", options, &message), IMPORT_OK) << message;
      std::vector<uint8_t> got(40000);
      for (uint64_t end = zip.size(); end > 0; end -= std::min<uint64_t>(end, got.size())) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(end, got.size()));
        ASSERT_EQ(zip.read(end - n, got.data(), n, &message), IMPORT_OK)
            << "blocks from " << lead << ", chunks of " << chunk << ": " << message;
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, text.begin() + (end - n)))
            << "blocks from " << lead << ", chunks of " << chunk << " at " << end - n;
      }
    }
  }
}

}  // namespace
