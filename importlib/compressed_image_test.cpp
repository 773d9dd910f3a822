#include "compressed_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "compressed_writer.h"
#include "image_writer.h"
#include "import.h"
#include "le_bytes.h"
#include "testutil.h"

namespace {

using parts_t = std::vector<std::vector<uint8_t>>;

struct opened {
  int status = 0;
  std::string reason;
  compressed_image image;
};

opened open_parts(int kind, const parts_t& parts) {
  opened o;
  parts_reader reader(parts);
  o.status = compressed_open(&o.image, kind, part_sizes(parts), reader, &o.reason);
  return o;
}

// Every sector read back, compared with the logical image; "" or what went wrong.
std::string read_back(const opened& o, const parts_t& parts, const disc_image& logical) {
  if (o.status != IMPORT_OK) return "open: " + o.reason;
  if (o.image.sectors != (logical.size() + 2047) / 2048) return "wrong sector count";
  std::vector<uint8_t> sector(COMPRESSED_SECTOR);
  parts_reader reader(parts);
  for (uint64_t s = 0; s < o.image.sectors; ++s) {
    std::string reason;
    if (compressed_read_sector(o.image, s, reader, sector.data(), &reason) != IMPORT_OK)
      return reason;
    if (sector != logical.get(s * 2048, 2048)) return "sector " + std::to_string(s) + " differs";
  }
  return "";
}

// The sample disc with sectors that do not compress in the middle and at the end.
disc_image logical_image() {
  disc_image img = build_image(sample_tree());
  std::vector<uint8_t> noise = pattern_bytes(3 * 2048, 7);
  img.put(0x11000, noise.data(), noise.size());
  img.put(img.size(), noise.data(), 2048);
  return img;
}

parts_t write(int kind, const disc_image& img, const compressed_options& options) {
  return kind == COMPRESSED_CCI ? write_cci(img, options) : write_cso(img, options);
}

struct layout {
  std::string what;
  int kind;
  compressed_options options;
  size_t parts;
};

std::vector<layout> layouts() {
  compressed_options raw_some, split, one_stream, all_raw;
  raw_some.store_raw = [](uint64_t s) { return s % 5 == 1; };
  all_raw.store_raw = [](uint64_t) { return true; };
  split.split_size = 450000;
  one_stream.split_size = 450000;
  one_stream.cso_one_stream = true;
  return {
      {"CCI", COMPRESSED_CCI, {}, 1},
      {"CCI, some blocks raw", COMPRESSED_CCI, raw_some, 1},
      {"CCI, all raw", COMPRESSED_CCI, all_raw, 1},
      {"CCI split", COMPRESSED_CCI, split, 3},
      {"CSO", COMPRESSED_CSO, {}, 1},
      {"CSO, some blocks raw", COMPRESSED_CSO, raw_some, 1},
      {"CSO split, positions from 0 in each part", COMPRESSED_CSO, split, 3},
      {"CSO split as one stream", COMPRESSED_CSO, one_stream, 3},
  };
}

TEST(CompressedImage, ReadsBackEveryLayout) {
  const disc_image img = logical_image();
  for (const layout& l : layouts()) {
    SCOPED_TRACE(l.what);
    const parts_t parts = write(l.kind, img, l.options);
    ASSERT_EQ(parts.size(), l.parts);
    EXPECT_EQ(compressed_kind_of(parts[0].data(), parts[0].size()), l.kind);
    EXPECT_EQ(read_back(open_parts(l.kind, parts), parts, img), "");
  }
}

TEST(CompressedImage, TakesACciRecordTooShortForASectorAsLz4WhateverItsFlag) {
  const disc_image img = logical_image();
  parts_t parts = write_cci(img, {});
  const size_t index_at = get_le32(parts[0], 16);
  for (size_t at = index_at; at < parts[0].size(); at += 4)
    put_le32(parts[0], at, get_le32(parts[0], at) & 0x7FFFFFFF);
  EXPECT_EQ(read_back(open_parts(COMPRESSED_CCI, parts), parts, img), "");
}

TEST(CompressedImage, ReadsALastCsoBlockPastItsRoundedDownEndEntry) {
  disc_image img;
  std::vector<uint8_t> data(2048, 'a');  // compresses to a length that is not a multiple of 4
  img.put(0, data.data(), data.size());
  for (bool padded : {true, false}) {
    SCOPED_TRACE(padded ? "padded" : "not padded");
    compressed_options options;
    options.cso_one_stream = !padded;
    const parts_t parts = write_cso(img, options);
    const uint64_t start = (get_le32(parts[0], 24) & 0x7FFFFFFF) * 4;
    const uint64_t end_entry = get_le32(parts[0], 28) * 4;
    const uint64_t record = 4 + get_le32(parts[0], start);
    ASSERT_LT(end_entry - start, record);
    EXPECT_EQ(parts[0].size() == start + record, !padded);
    EXPECT_EQ(read_back(open_parts(COMPRESSED_CSO, parts), parts, img), "");
  }
}

struct damage {
  std::string what;
  int kind;
  bool split;
  std::function<void(parts_t&)> patch;
  std::string reason;  // expected in the reason, which open or a read gives
};

// Byte position of index entry `i` of the first part.
size_t entry_at(const parts_t& p, int kind, size_t i) {
  return (kind == COMPRESSED_CCI ? get_le32(p[0], 16) : 24) + 4 * i;
}

TEST(CompressedImage, NamesEveryInconsistency) {
  const int CCI = COMPRESSED_CCI, CSO = COMPRESSED_CSO;
  const bool split = true;
  auto entry = [](int kind, size_t i, uint32_t v) {
    return [=](parts_t& p) { put_le32(p[0], entry_at(p, kind, i), v); };
  };
  auto copy_entry = [](int kind, size_t to, size_t from) {
    return [=](parts_t& p) {
      put_le32(p[0], entry_at(p, kind, to), get_le32(p[0], entry_at(p, kind, from)));
    };
  };
  auto byte = [](size_t at, uint8_t v) { return [=](parts_t& p) { p[0][at] = v; }; };
  auto u32 = [](size_t at, uint32_t v) { return [=](parts_t& p) { put_le32(p[0], at, v); }; };
  // The first LZ4 record's position in the first part.
  auto first_lz4 = [](int kind, const parts_t& p) {
    for (size_t i = 0;; ++i) {
      uint32_t e = get_le32(p[0], entry_at(p, kind, i));
      if (e & 0x80000000) return static_cast<size_t>(e & 0x7FFFFFFF) * 4;
    }
  };
  std::vector<damage> rows = {
      {"CCI too short", CCI, false, [](parts_t& p) { p[0].resize(20); },
       "cannot hold a CCI header"},
      {"CCI header size", CCI, false, u32(4, 40), "header size 40 (expected 32)"},
      {"CCI block size", CCI, false, u32(24, 4096), "block size 4096 (expected 2048)"},
      {"CCI version", CCI, false, byte(28, 2), "version 2 (expected 1)"},
      {"CCI alignment", CCI, false, byte(29, 3), "index alignment 3 (expected 2)"},
      {"CCI odd size", CCI, false, u32(8, 2048 * 3 + 7), "not a whole number of 2048-byte sectors"},
      {"CCI size over 8 GiB", CCI, false, u32(12, 4), "more than the 8 GiB"},
      {"CCI index past the file", CCI, false, u32(16, 0x7FFFFFF0), "does not fit in"},
      {"CCI falling index", CCI, false, copy_entry(CCI, 3, 2), "is not after entry 2"},
      {"CCI entry past the index", CCI, false, entry(CCI, 2, 0x7FFFFFF),
       "index entry 2 (0x1ffffffc) points past"},
      {"CCI entry inside the header", CCI, false, entry(CCI, 0, 4), "points before the data"},
      {"CCI split part damaged", CCI, split, [](parts_t& p) { p[1][28] = 9; },
       "part 2: version 9 (expected 1)"},
      {"CCI padding count", CCI, false, [&](parts_t& p) { p[0][first_lz4(CCI, p)] = 250; },
       "leaves no LZ4 data"},
      {"CCI LZ4 block", CCI, false, [&](parts_t& p) { p[0][first_lz4(CCI, p) + 1] ^= 0x0F; },
       "does not decode to 2048 bytes"},
      {"CSO too short", CSO, false, [](parts_t& p) { p[0].resize(20); },
       "cannot hold a CSO header"},
      {"CSO header size", CSO, false, u32(4, 32), "header size 32 (expected 24)"},
      {"CSO block size", CSO, false, u32(16, 512), "block size 512 (expected 2048)"},
      {"CSO version", CSO, false, byte(20, 3), "version 3 (expected 2)"},
      {"PSP CSO", CSO, false, byte(20, 1),
       "version 1 (expected 2): a version 1 CSO holds a PSP disc, not an Xbox one"},
      {"CSO alignment", CSO, false, byte(21, 0), "index alignment 0 (expected 2)"},
      {"CSO odd size", CSO, false, u32(8, 2048 * 3 + 1), "not a whole number"},
      {"CSO index past the file", CSO, false, u32(8, 0x40000000), "does not fit in"},
      {"CSO falling index", CSO, false, copy_entry(CSO, 5, 4), "is not after entry 4"},
      {"CSO entry past the file", CSO, false, entry(CSO, 7, 0x7FFFFFFF),
       "index entry 7 (0x1fffffffc) points past"},
      {"CSO entry inside the index", CSO, false, entry(CSO, 0, 7), "points before the data"},
      {"CSO restart mid-part", CSO, split, entry(CSO, 3, 0x80000000), "is not the last of part 1"},
      {"CSO restart without a second part", CSO, split, [](parts_t& p) { p.resize(1); },
       "but there is no part 2"},
      {"CSO LZ4 length", CSO, false, [&](parts_t& p) { put_le32(p[0], first_lz4(CSO, p), 3000); },
       "LZ4 length 3000 does not fit"},
      {"CSO LZ4 block", CSO, false, [&](parts_t& p) { p[0][first_lz4(CSO, p) + 4] ^= 0x0F; },
       "does not decode to 2048 bytes"},
  };
  const disc_image img = logical_image();
  for (const damage& d : rows) {
    SCOPED_TRACE(d.what);
    compressed_options options;
    options.split_size = d.split ? 450000 : 0;
    parts_t parts = write(d.kind, img, options);
    d.patch(parts);
    const opened o = open_parts(d.kind, parts);
    std::string reason = o.status == IMPORT_OK ? read_back(o, parts, img) : o.reason;
    EXPECT_TRUE(o.status == IMPORT_OK || o.status == IMPORT_ERR_DAMAGED) << o.status;
    EXPECT_NE(reason.find(d.reason), std::string::npos) << reason;
  }
}

TEST(CompressedImage, ReportsAFailedReadAsSourceIo) {
  const disc_image img = logical_image();
  parts_t parts = write_cci(img, {});
  compressed_image image;
  std::vector<uint64_t> sizes = part_sizes(parts);
  parts[0].resize(parts[0].size() - 100);  // the index cannot be read whole
  std::string reason;
  parts_reader reader(parts);
  EXPECT_EQ(compressed_open(&image, COMPRESSED_CCI, sizes, reader, &reason), IMPORT_ERR_SOURCE_IO);
  EXPECT_NE(reason.find("cannot read the index"), std::string::npos) << reason;
}

}  // namespace
