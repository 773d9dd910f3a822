#include "image_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

// The writer's normal output must look like real images, or the lister's tests prove little.
TEST(ImageWriter, LayoutFollowsCommonTools) {
  disc_layout lay;
  disc_image img = build_image(listing_tree(), {}, &lay);
  uint64_t last_table_end = 0, first_data = UINT64_MAX;
  for (const placed_table& t : lay.tables) {
    std::vector<uint8_t> bytes = img.get(t.pos, static_cast<size_t>((t.size + 2047) / 2048 * 2048));
    std::vector<bool> used(bytes.size());
    for (const placed_entry& e : lay.entries) {
      if (e.node_pos < t.pos || e.node_pos >= t.pos + bytes.size()) continue;
      uint64_t at = e.node_pos - t.pos;
      uint64_t len = 14 + bytes[at + 13];
      EXPECT_EQ(at / 2048, (at + len - 1) / 2048) << e.rel_path << " crosses a sector";
      EXPECT_EQ(at % 4, 0u);
      for (uint64_t k = at; k < at + len; ++k) used[k] = true;
    }
    bool tails_ff = true;
    uint64_t end = 0;
    for (size_t k = 0; k < bytes.size(); ++k) {
      if (used[k])
        end = k + 1;
      else if (bytes[k] != 0xFF)
        tails_ff = false;
    }
    EXPECT_TRUE(tails_ff) << "table " << t.rel_path;
    if (t.rel_path.empty()) {
      EXPECT_EQ(t.size, (end + 3) / 4 * 4) << "root size is its exact byte count";
    } else {
      EXPECT_EQ(t.size % 2048, 0u) << t.rel_path;
    }
    last_table_end = std::max(last_table_end, t.pos + bytes.size());
  }
  for (const placed_entry& e : lay.entries) {
    if (!e.is_dir && e.size != 0) first_data = std::min(first_data, e.data_pos);
    if (e.is_dir && e.rel_path == "bink") {
      EXPECT_EQ(e.size, 0u);
    }
    if (e.is_dir && e.rel_path == "UDATA") {
      EXPECT_EQ(e.size, 2048u);
      EXPECT_EQ(img.get(e.data_pos, 2048), std::vector<uint8_t>(2048, 0xFF));
    }
  }
  EXPECT_GE(first_data, last_table_end) << "file data follows the tables";
  EXPECT_EQ(img.get(lay.descriptor_pos, 20), std::vector<uint8_t>(XDVDFS_MAGIC, XDVDFS_MAGIC + 20));
  EXPECT_EQ(img.get(lay.descriptor_pos + 2028, 20),
            std::vector<uint8_t>(XDVDFS_MAGIC, XDVDFS_MAGIC + 20));
  // Every file's bytes are where the layout says.
  disc_node tree = listing_tree();
  EXPECT_EQ(img.get(lay.entry("maps/s2049.bin").data_pos, 2049), tree.children[1].children[2].data);
}

TEST(ImageWriter, SparseSaveKeepsBytesAndSize) {
  temp_dir dir;
  disc_image img;
  img.put(10, "abc", 3);
  img.put(11, "XYZW", 4);  // overlaps and extends the first write
  img.put(100, "q", 1);
  img.resize(5000);
  ASSERT_TRUE(img.save(dir / "s.bin"));
  std::vector<uint8_t> got = read_file(dir / "s.bin");
  ASSERT_EQ(got.size(), 5000u);
  EXPECT_EQ(got, img.dense());
  EXPECT_EQ(std::string(got.begin() + 10, got.begin() + 15), "aXYZW");
  EXPECT_EQ(got[100], 'q');
  img.resize(12);
  EXPECT_EQ(img.dense(), std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 'X'}));
}

}  // namespace
