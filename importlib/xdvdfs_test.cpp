#include "xdvdfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "entries.h"
#include "image_listing.h"
#include "image_reader.h"
#include "image_writer.h"
#include "messages.h"
#include "names.h"
#include "sample_xbe.h"
#include "testutil.h"

namespace {

// The message for a refused name; `windows` when only Windows' own rules refuse it.
std::string unsafe_message(const std::string& shown, bool windows = false) {
  return "unsafe name in image: \"" + shown + "\" " +
         (windows ? "(a name Windows cannot hold)"
                  : "(contains \"..\", \"/\", \"\\\", \":\" or control characters)") +
         " - refusing the whole image";
}

// What the lister must return for a writer-made image: the layout's entries whose
// top-level component the game wants, with folders carrying neither offset nor size.
struct expected_entry {
  std::string rel_path;
  int is_dir;
  uint64_t offset, size;
  bool operator==(const expected_entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const expected_entry& e) {
  return os << e.rel_path << (e.is_dir ? "/" : "") << " @" << e.offset << " +" << e.size;
}

std::vector<expected_entry> wanted_entries(const disc_layout& lay) {
  std::vector<expected_entry> out;
  std::string skip_prefix = "\x01";
  for (const placed_entry& e : lay.entries) {
    if (e.rel_path.rfind(skip_prefix, 0) == 0) continue;
    if (e.rel_path.find('/') == std::string::npos &&
        !is_wanted_top_level(e.rel_path.c_str(), e.is_dir)) {
      skip_prefix = e.rel_path + "/";
      continue;
    }
    if (e.is_dir)
      out.push_back({e.rel_path, 1, 0, 0});
    else
      out.push_back({e.rel_path, 0, e.data_pos, e.size});
  }
  return out;
}

std::vector<expected_entry> listed_entries(const listing& l) {
  std::vector<expected_entry> out;
  for (const import_entry& e : l.entries) {
    EXPECT_TRUE(e.source_path.empty()) << e.rel_path;
    out.push_back({e.rel_path, e.is_dir, e.image_offset, e.size});
  }
  return out;
}

class Xdvdfs : public ::testing::Test {
 protected:
  // Saves the image to a fresh file and lists it.
  listing list(const disc_image& img) {
    path_ = dir_ / ("image" + std::to_string(++count_) + ".iso");
    EXPECT_TRUE(img.save(path_));
    return list_path(path_);
  }
  listing list(const disc_node& root, const image_options& options = {},
               disc_layout* lay = nullptr) {
    return list(build_image(root, options, lay));
  }
  const std::string& path() const { return path_; }

  temp_dir dir_;
  std::string path_;
  int count_ = 0;
};

image_options at_base(uint64_t base) {
  image_options options;
  options.partition_base = base;
  return options;
}

// Small, fast to write, with every kind of node the damage cases need.
disc_node damage_tree() {
  return dir_node(
      "", {
              file_node("default.xbe", pattern_bytes(100, 1)),
              dir_node("maps", {file_node("a.bin", pattern_bytes(3000, 2)),
                                dir_node("sub", {file_node("deep.bin", pattern_bytes(10, 3))})}),
              dir_node("media", {file_node("x.bin", pattern_bytes(10, 4))}),
              dir_node("extras", {file_node("junk", pattern_bytes(10, 5))}),
          });
}

TEST_F(Xdvdfs, ListsEveryWantedEntryWithOffsetsAndSizes) {
  disc_layout lay;
  listing l = list(listing_tree(), {}, &lay);
  ASSERT_EQ(l.status, IMPORT_OK) << l.message();
  EXPECT_EQ(l.result.is_disc_image, 1);
  EXPECT_EQ(l.result.partition_offset, 0u);
  EXPECT_EQ(l.result.skipped_top_level, 4u);
  EXPECT_EQ(l.message(), "");
  std::vector<expected_entry> want = wanted_entries(lay);
  EXPECT_EQ(want.size(), 1u + 1 + 7 + 3 + 1 + 1 + 300 + 1 + 1 + 2);
  EXPECT_GT(lay.table("Media/many").size, 2 * XDVDFS_SECTOR) << "the big table must span sectors";
  EXPECT_EQ(listed_entries(l), want);

  // Folders precede their contents, and names come back sorted as the search tree holds them.
  for (size_t i = 0; i < l.entries.size(); ++i) {
    const std::string& p = l.entries[i].rel_path;
    size_t cut = p.rfind('/');
    if (cut == std::string::npos) continue;
    auto parent =
        std::find_if(l.entries.begin(), l.entries.begin() + static_cast<long>(i),
                     [&](const import_entry& e) { return e.rel_path == p.substr(0, cut); });
    EXPECT_NE(parent, l.entries.begin() + static_cast<long>(i)) << p;
  }
  std::vector<std::string> many;
  for (const import_entry& e : l.entries)
    if (e.rel_path.rfind("Media/many/", 0) == 0) many.push_back(e.rel_path);
  ASSERT_EQ(many.size(), 300u);
  EXPECT_TRUE(std::is_sorted(many.begin(), many.end()));
}

TEST_F(Xdvdfs, AbsentSubtreesMayBeFFFF) {
  image_options options;
  options.none_as_ffff = true;
  disc_layout lay;
  // No folder with a single entry: its table would start with four 0xFF bytes, which marks
  // an empty folder.
  disc_node root = listing_tree();
  root.children[1].children.erase(root.children[1].children.begin() + 4);  // maps/a/b/c
  root.children[2].children.push_back(file_node("one.bin", {1}));          // Media
  root.children[5].children.push_back(file_node("two.bin", {2}));          // tdata
  listing l = list(root, options, &lay);
  ASSERT_EQ(l.status, IMPORT_OK) << l.message();
  EXPECT_EQ(listed_entries(l), wanted_entries(lay));
}

TEST_F(Xdvdfs, FindsTheVolumeAtEachPartitionBase) {
  for (uint64_t base :
       {uint64_t{0}, uint64_t{0x18300000}, uint64_t{0xFD90000}, uint64_t{0x2080000}}) {
    image_options options;
    options.partition_base = base;
    disc_layout lay;
    listing l = list(damage_tree(), options, &lay);
    ASSERT_EQ(l.status, IMPORT_OK) << std::hex << base << ": " << l.message();
    EXPECT_EQ(l.result.partition_offset, base);
    EXPECT_EQ(l.result.is_disc_image, 1);
    EXPECT_EQ(listed_entries(l), wanted_entries(lay)) << std::hex << base;
    EXPECT_EQ(l.entries[0].rel_path, "default.xbe");
    const placed_entry& xbe = lay.entry("default.xbe");
    EXPECT_LT(xbe.sector, 100u);
    EXPECT_EQ(l.entries[0].image_offset, base + xbe.sector * XDVDFS_SECTOR)
        << "absolute, base included";
  }
}

TEST_F(Xdvdfs, TriesTheBasesInOrderAndNeedsBothMagics) {
  // A descriptor at base 0 with only its first magic, the real volume at 0x2080000.
  image_options options;
  options.partition_base = 0x2080000;
  options.damage = [](disc_image& img, const disc_layout&) {
    img.fill(XDVDFS_DESCRIPTOR, XDVDFS_SECTOR, 0);
    img.put(XDVDFS_DESCRIPTOR, XDVDFS_MAGIC, 20);
    img.put_u32(XDVDFS_DESCRIPTOR + 20, 33);
  };
  listing l = list(damage_tree(), options);
  ASSERT_EQ(l.status, IMPORT_OK) << l.message();
  EXPECT_EQ(l.result.partition_offset, 0x2080000u);

  // Volumes at both 0xFD90000 and 0x18300000: the Redump base is tried first.
  disc_image both = build_image(damage_tree(), at_base(0xFD90000));
  disc_image redump =
      build_image(dir_node("", {file_node("default.xbe", {1, 2, 3})}), at_base(0x18300000));
  for (uint64_t pos = 0x18300000; pos < redump.size(); pos += XDVDFS_SECTOR) {
    std::vector<uint8_t> s = redump.get(pos, XDVDFS_SECTOR);
    both.put(pos, s.data(), s.size());
  }
  l = list(both);
  ASSERT_EQ(l.status, IMPORT_OK) << l.message();
  EXPECT_EQ(l.result.partition_offset, 0x18300000u);
  ASSERT_EQ(l.entries.size(), 1u);
  EXPECT_EQ(l.entries[0].size, 3u);
}

TEST_F(Xdvdfs, RefusesWhatIsNotAnImage) {
  struct {
    const char* what;
    std::function<void(disc_image&)> change;
    std::string hint = "";  // the message's second line, naming what the file is instead
  } cases[] = {
      {"first magic only", [](disc_image& img) { img.put(XDVDFS_DESCRIPTOR + 2028, "x", 1); }},
      {"a 7-Zip archive",
       [](disc_image& img) {
         img.put(0, "7z\xBC\xAF\x27\x1C", 6);
         img.put(XDVDFS_DESCRIPTOR, "x", 1);
       },
       archive_line("7-Zip")},
      {"an ordinary data disc",
       [](disc_image& img) {
         img.put(0x8001, "CD001", 5);
         img.put(XDVDFS_DESCRIPTOR, "x", 1);
       },
       ISO9660_LINE},
      {"second magic only", [](disc_image& img) { img.put(XDVDFS_DESCRIPTOR + 19, "x", 1); }},
      {"one byte short of a descriptor",
       [](disc_image& img) { img.resize(XDVDFS_DESCRIPTOR + 2047); }},
      {"shorter than the descriptor's position", [](disc_image& img) { img.resize(4096); }},
      {"empty file", [](disc_image& img) { img.resize(0); }},
      {"magic one sector early",
       [](disc_image& img) {
         std::vector<uint8_t> d = img.get(XDVDFS_DESCRIPTOR, XDVDFS_SECTOR);
         img.fill(XDVDFS_DESCRIPTOR, XDVDFS_SECTOR, 0);
         img.put(XDVDFS_DESCRIPTOR - XDVDFS_SECTOR, d.data(), d.size());
       }},
  };
  for (const auto& c : cases) {
    disc_image img = build_image(damage_tree());
    c.change(img);
    listing l = list(img);
    EXPECT_EQ(l.status, IMPORT_ERR_DAMAGED) << c.what;
    EXPECT_EQ(l.message(), path() + NOT_AN_IMAGE + (c.hint.empty() ? "" : "\n") + c.hint) << c.what;
    EXPECT_EQ(l.result.is_disc_image, 0) << c.what;
    EXPECT_TRUE(l.entries.empty()) << c.what;
  }
}

TEST_F(Xdvdfs, DescriptorEndingAtTheLastByteIsEnough) {
  disc_image img = build_image(dir_node(""));  // root size 0: nothing after the descriptor
  EXPECT_EQ(img.size(), XDVDFS_DESCRIPTOR + XDVDFS_SECTOR);
  listing l = list(img);
  EXPECT_EQ(l.status, IMPORT_OK) << l.message();
  EXPECT_TRUE(l.entries.empty());
}

TEST_F(Xdvdfs, CannotOpen) {
  for (const std::string& p : {dir_ / "missing.iso", dir_.path()}) {
    listing l = list_path(p);
    EXPECT_EQ(l.status, IMPORT_ERR_SOURCE_IO) << p;
    EXPECT_EQ(l.message(), "cannot open " + p);
  }
}

TEST_F(Xdvdfs, EmptyRootsListNothing) {
  for (const disc_node& root : {dir_node(""), ff_dir_node("")}) {
    listing l = list(root);
    EXPECT_EQ(l.status, IMPORT_OK) << l.message();
    EXPECT_TRUE(l.entries.empty());
  }
}

using patch_fn = std::function<void(disc_image&, const disc_layout&)>;

// Node field positions.
uint64_t left_of(const disc_layout& lay, const char* rel) { return lay.entry(rel).node_pos; }
uint64_t right_of(const disc_layout& lay, const char* rel) { return lay.entry(rel).node_pos + 2; }
uint64_t sector_of(const disc_layout& lay, const char* rel) { return lay.entry(rel).node_pos + 4; }
uint64_t size_of(const disc_layout& lay, const char* rel) { return lay.entry(rel).node_pos + 8; }
uint64_t namelen_of(const disc_layout& lay, const char* rel) {
  return lay.entry(rel).node_pos + 13;
}

TEST_F(Xdvdfs, FailureTable) {
  struct {
    const char* what;
    patch_fn damage;
    int status;
    std::string message;
  } cases[] = {
      {"table over 64 MiB",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(size_of(lay, "maps"), 0x4000001);
       },
       -4, "directory table too large (damaged image?)"},
      {"root table over 64 MiB",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(lay.descriptor_pos + 24, 0xFFFFFFFF);
       },
       -4, "directory table too large (damaged image?)"},
      {"64 MiB exactly is allowed, but past the end",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(size_of(lay, "maps"), 0x4000000);
       },
       -4, "cannot read directory table at sector 35 (truncated image?)"},
      {"table past the end (sector * 2048 needs 64 bits)",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "maps/sub"), 0xFFFFFFFF);
       },
       -4, "cannot read directory table at sector 4294967295 (truncated image?)"},
      {"table one byte past the end",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "media"),
                     static_cast<uint32_t>(img.size() / XDVDFS_SECTOR - 1));
         img.put_u32(size_of(lay, "media"), XDVDFS_SECTOR + 1);
       },
       -4, "cannot read directory table at sector 43 (truncated image?)"},
      {"root node header outside the table",
       [](disc_image& img, const disc_layout& lay) { img.put_u32(lay.descriptor_pos + 24, 13); },
       -4, "damaged directory tree in (root)"},
      {"table of 3 bytes",
       [](disc_image& img, const disc_layout& lay) { img.put_u32(size_of(lay, "maps"), 3); }, -4,
       "damaged directory tree in maps"},
      {"child offset outside the table",
       [](disc_image& img, const disc_layout& lay) { img.put_u16(left_of(lay, "media"), 0xFFFE); },
       -4, "damaged directory tree in (root)"},
      {"node pointing at itself",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u16(right_of(lay, "media"), static_cast<uint16_t>(lay.entry("media").node_offset));
       },
       -4, "damaged directory tree in (root)"},
      {"node reached twice (both subtrees the same)",
       [](disc_image& img, const disc_layout& lay) {
         std::vector<uint8_t> r = img.get(right_of(lay, "maps/a.bin"), 2);
         img.put(left_of(lay, "maps/a.bin"), r.data(), 2);
       },
       -4, "damaged directory tree in maps"},
      {"node pointing back at an ancestor",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u16(left_of(lay, "media"), static_cast<uint16_t>(lay.entry("maps").node_offset));
       },
       -4, "damaged directory tree in (root)"},
      {"node pointing at itself in a sub-folder",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u16(left_of(lay, "maps/sub"),
                     static_cast<uint16_t>(lay.entry("maps/sub").node_offset));
       },
       -4, "damaged directory tree in maps"},
      {"folder pointing at an ancestor's table",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "maps/sub"), lay.root.sector);
         img.put_u32(size_of(lay, "maps/sub"), lay.root.size);
       },
       -4, "damaged directory tree in maps/sub"},
      {"folder pointing at its own table",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "maps/sub"), lay.table("maps").sector);
       },
       -4, "damaged directory tree in maps/sub"},
      {"two folders sharing one table",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "media"), lay.table("maps").sector);
         img.put_u32(size_of(lay, "media"), lay.table("maps").size);
       },
       -4, "damaged directory tree in media"},
      {"name past the end of the root table",
       [](disc_image& img, const disc_layout& lay) { img.put_u8(namelen_of(lay, "media"), 255); },
       -4, "damaged directory entry in (root)"},
      {"name past the end of a sub-folder table",
       [](disc_image& img, const disc_layout& lay) { img.put_u32(size_of(lay, "maps"), 16); }, -4,
       "damaged directory entry in maps"},
      {"file data past the end",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "maps/a.bin"), 0xFFFFFFFF);
       },
       -4, "image is truncated: maps/a.bin lies past the end of the file"},
      {"file size past the end",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(size_of(lay, "maps/sub/deep.bin"), 0xFFFFFFFF);
       },
       -4, "image is truncated: maps/sub/deep.bin lies past the end of the file"},
      {"top-level file past the end",
       [](disc_image& img, const disc_layout& lay) {
         img.resize(lay.entry("default.xbe").data_pos + 99);
       },
       -4, "image is truncated: default.xbe lies past the end of the file"},
  };
  for (const auto& c : cases) {
    image_options options;
    options.damage = c.damage;
    listing l = list(damage_tree(), options);
    EXPECT_EQ(l.status, c.status) << c.what;
    EXPECT_EQ(l.message(), c.message) << c.what;
    EXPECT_EQ(l.result.is_disc_image, 1) << c.what;
  }
}

// Tables that start inside another table are refused too: otherwise a crafted image can
// re-list a large table's nodes once for every sector offset into it.
TEST_F(Xdvdfs, OverlappingTablesAreDamage) {
  std::vector<disc_node> many;
  for (int i = 0; i < 300; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    many.push_back(file_node(name, pattern_bytes(10, static_cast<uint32_t>(i))));
  }
  disc_node root = dir_node(
      "", {file_node("default.xbe", pattern_bytes(10, 1)), dir_node("maps", std::move(many)),
           dir_node("media", {file_node("x.bin", pattern_bytes(10, 2))})});
  image_options options;
  options.damage = [](disc_image& img, const disc_layout& lay) {
    ASSERT_GT(lay.table("maps").size, 2 * XDVDFS_SECTOR);
    img.put_u32(sector_of(lay, "media"), lay.table("maps").sector + 1);
    img.put_u32(size_of(lay, "media"), static_cast<uint32_t>(XDVDFS_SECTOR));
  };
  listing l = list(root, options);
  EXPECT_EQ(l.status, IMPORT_ERR_DAMAGED);
  EXPECT_EQ(l.message(), "damaged directory tree in media");
  for (const import_entry& e : l.entries)
    EXPECT_NE(e.rel_path.rfind("media/", 0), 0u) << e.rel_path;

  // Many folders sharing one large empty table are fine, and cheap: only its head is read.
  disc_node empties = dir_node("maps");
  for (int i = 0; i < 2000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "e%04d", i);
    empties.children.push_back(dir_node(name, {file_node("x", pattern_bytes(1, 1))}));
  }
  image_options shared;
  shared.damage = [](disc_image& img, const disc_layout& lay) {
    const uint64_t big = 8u << 20;
    const uint64_t at = (img.size() + XDVDFS_SECTOR - 1) / XDVDFS_SECTOR * XDVDFS_SECTOR;
    img.fill(at, big, 0xFF);
    for (const placed_entry& e : lay.entries) {
      if (!e.is_dir || e.rel_path.rfind("maps/e", 0) != 0) continue;
      img.put_u32(e.node_pos + 4, static_cast<uint32_t>((at - lay.partition_base) / XDVDFS_SECTOR));
      img.put_u32(e.node_pos + 8, static_cast<uint32_t>(big));
    }
  };
  l = list(dir_node("", {file_node("default.xbe", pattern_bytes(10, 1)), std::move(empties)}),
           shared);
  EXPECT_EQ(l.status, IMPORT_OK) << l.message();
  EXPECT_EQ(l.entries.size(), 2002u);
}

TEST_F(Xdvdfs, OddButHarmlessImagesAreAccepted) {
  struct {
    const char* what;
    patch_fn change;
  } cases[] = {
      {"empty file pointing far past the end",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(size_of(lay, "media/x.bin"), 0);
         img.put_u32(sector_of(lay, "media/x.bin"), 0xFFFFFFFF);
       }},
      {"empty folders sharing one 0xFF table",
       [](disc_image& img, const disc_layout& lay) {
         img.fill(lay.table("media").pos, XDVDFS_SECTOR, 0xFF);
         img.put_u32(sector_of(lay, "maps/sub"), lay.table("media").sector);
         img.put_u32(size_of(lay, "maps/sub"), XDVDFS_SECTOR);
       }},
      {"empty folder pointing far past the end with size 0",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "maps/sub"), 0xFFFFFFFF);
         img.put_u32(size_of(lay, "maps/sub"), 0);
       }},
      {"damaged unwanted folder",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "extras"), 0xFFFFFFFF);
         img.put_u32(size_of(lay, "extras"), 0xFFFFFFFF);
       }},
      {"unwanted folder sharing a wanted one's table",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u32(sector_of(lay, "extras"), lay.table("maps").sector);
       }},
      {"other attribute bits",
       [](disc_image& img, const disc_layout& lay) {
         img.put_u8(lay.entry("maps").node_pos + 12, 0xFF);
         img.put_u8(lay.entry("maps/a.bin").node_pos + 12, 0xEF);
       }},
  };
  for (const auto& c : cases) {
    image_options options;
    options.damage = c.change;
    listing l = list(damage_tree(), options);
    EXPECT_EQ(l.status, IMPORT_OK) << c.what << ": " << l.message();
    EXPECT_EQ(l.result.skipped_top_level, 1u) << c.what;
  }
}

TEST_F(Xdvdfs, FileEndingAtTheLastByteOfTheImage) {
  disc_layout lay;
  disc_image img = build_image(damage_tree(), {}, &lay);
  // The file laid out last on disc, cut so its last byte is the image's last byte.
  const placed_entry* last = &lay.entries[0];
  for (const placed_entry& e : lay.entries)
    if (!e.is_dir && e.data_pos > last->data_pos) last = &e;
  ASSERT_EQ(last->rel_path, "media/x.bin");
  img.resize(last->data_pos + last->size);
  listing l = list(img);
  ASSERT_EQ(l.status, IMPORT_OK) << l.message();
  EXPECT_EQ(l.entries.back().image_offset + l.entries.back().size, img.size());

  img.put_u32(last->node_pos + 8, last->size + 1);
  l = list(img);
  EXPECT_EQ(l.status, IMPORT_ERR_DAMAGED);
  EXPECT_EQ(l.message(), "image is truncated: media/x.bin lies past the end of the file");
}

TEST_F(Xdvdfs, DepthLimit) {
  for (int levels : {48, 49}) {
    // Names by append: mingw g++ 12 -O3 warns falsely (-Wrestrict) on "literal" + string.
    auto level = [](int i) { return std::string("d").append(std::to_string(i)); };
    disc_node deepest = dir_node(level(levels));
    for (int i = levels - 1; i >= 1; --i) deepest = dir_node(i == 1 ? "maps" : level(i), {deepest});
    listing l = list(dir_node("", {deepest}));
    if (levels == 48) {
      EXPECT_EQ(l.status, IMPORT_OK) << l.message();
      ASSERT_EQ(l.entries.size(), 48u);
      EXPECT_EQ(std::count(l.entries.back().rel_path.begin(), l.entries.back().rel_path.end(), '/'),
                47);
    } else {
      EXPECT_EQ(l.status, IMPORT_ERR_DAMAGED);
      EXPECT_EQ(l.message(), "directory tree too deep (damaged image?)");
    }
  }
}

TEST_F(Xdvdfs, UnsafeNames) {
  struct {
    std::string name;
    bool top_level;
    std::string shown;     // empty: safe
    bool windows = false;  // refused by Windows' rules only
  } cases[] = {
      {"..", false, "maps/.."},
      {"..", true, ".."},
      {"a/b", false, "maps/a/b"},
      {"c:d", false, "maps/c:d"},
      {"back\\slash", false, "maps/back\\slash"},
      {"x\x01y", false, "maps/x?y"},
      {"x\x7F", false, "maps/x?"},
      {"\xC3\xA9:", false, "maps/??:"},
      {"a..b", false, "maps/a..b"},
      {"NUL.txt", false, "maps/NUL.txt", true},
      {"com1", false, "maps/com1", true},
      {"trailing.", false, "maps/trailing.", true},
      {"what?", false, "maps/what?", true},
      {"a<b>", false, "maps/a<b>", true},
      {"\"q\"|*", false, "maps/\"q\"|*", true},
      {"Readme .", true, "Readme .", true},  // refused although unwanted: names are checked first
      {std::string("nul\0x", 5), false, "maps/nul?x"},
      {"\xC3\xA9t\xC3\xA9", false, ""},
      {".hidden", false, ""},
  };
  for (const auto& c : cases) {
    disc_node root = damage_tree();
    if (c.top_level)
      root.children.push_back(file_node(c.name, {1}));
    else
      root.children[1].children.push_back(file_node(c.name, {1}));
    listing l = list(root);
    if (c.shown.empty()) {
      EXPECT_EQ(l.status, IMPORT_OK) << c.name << ": " << l.message();
    } else {
      EXPECT_EQ(l.status, IMPORT_ERR_UNSAFE_NAME) << c.shown;
      EXPECT_EQ(l.message(), unsafe_message(c.shown, c.windows));
    }
  }
}

}  // namespace
