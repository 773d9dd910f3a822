#include "entries.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(EntryList, BuildsPaths) {
  import_context ctx;
  ASSERT_EQ(entry_list_add(&ctx, nullptr, "mediaXYZ", 5, entry_source::folder()), 0);
  ASSERT_EQ(entry_list_add(&ctx, "media", "ui", 2, entry_source::folder()), 0);
  ASSERT_EQ(entry_list_add(&ctx, "media/ui", "font.bin", 8,
                           entry_source::on_disk("/src/media/ui/font.bin", 42)),
            0);
  EXPECT_EQ(ctx.entries[0].rel_path, "media");
  EXPECT_EQ(ctx.entries[2].rel_path, "media/ui/font.bin");
  EXPECT_EQ(ctx.entries[2].source_path, "/src/media/ui/font.bin");
  EXPECT_EQ(ctx.entries[2].size, 42u);
  EXPECT_EQ(ctx.entries[2].is_dir, 0);
  EXPECT_TRUE(ctx.entries[1].source_path.empty());
  EXPECT_EQ(ctx.entries[1].is_dir, 1);
  for (int i = 3; i < 300; ++i)
    ASSERT_EQ(entry_list_add(&ctx, "maps", "f", 1, entry_source::in_image(4096u * i, 1)), 0);
  EXPECT_EQ(ctx.entries[100].image_offset, 4096u * 100);
  EXPECT_EQ(ctx.entries[299].rel_path, "maps/f");
}

}  // namespace
