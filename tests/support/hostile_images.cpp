#include "hostile_images.h"

#include <string>
#include <utility>
#include <vector>

#include "sample_xbe.h"

namespace {

// Names no rule refuses and no letter case folds together.
const std::string NAME_BYTES = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ!#$%&'()+,-;=@[]^_`{}~";

std::string two_byte_name(size_t i) {
  return {NAME_BYTES[i / NAME_BYTES.size() % NAME_BYTES.size()], NAME_BYTES[i % NAME_BYTES.size()]};
}

}  // namespace

disc_image claiming_tables_image() {
  constexpr int LEVELS = 48;
  constexpr uint64_t CLAIM = 64u << 20;
  disc_node deepest = dir_node("d", {file_node("f", {})});
  for (int i = 1; i < LEVELS; ++i) deepest = dir_node("d", {std::move(deepest)});
  deepest.name = "maps";
  const disc_node root = dir_node("", {file_node("default.xbe", sample_xbe()), std::move(deepest)});
  image_options options;
  options.damage = [](disc_image& img, const disc_layout& lay) {
    // Every folder's table moves to its own 64 MiB stretch, and its node claims it all: the
    // nodes are patched where they are, then the tables copied.
    for (size_t k = 1; k < lay.tables.size(); ++k) {
      const placed_entry& e = lay.entry(lay.tables[k].rel_path);
      img.put_u32(e.node_pos + 4, static_cast<uint32_t>(k * CLAIM / XDVDFS_SECTOR));
      img.put_u32(e.node_pos + 8, static_cast<uint32_t>(CLAIM));
    }
    for (size_t k = 1; k < lay.tables.size(); ++k)
      img.put(lay.partition_base + k * CLAIM, img.get(lay.tables[k].pos, XDVDFS_SECTOR).data(),
              XDVDFS_SECTOR);
    img.resize(lay.partition_base + (lay.tables.size() + 1) * CLAIM);
  };
  return build_image(root, options);
}

disc_image crowded_image(int nest, size_t name_len, int tables) {
  std::vector<disc_node> files;
  for (size_t i = 0; i < NAME_BYTES.size() * NAME_BYTES.size(); ++i)
    files.push_back(file_node(two_byte_name(i), {}));
  std::vector<disc_node> crowd;
  for (int t = 0; t < tables; ++t) crowd.push_back(dir_node(two_byte_name(t), files));
  disc_node level = dir_node("", std::move(crowd));
  for (int i = 0; i < nest; ++i) {
    level.name = std::string(name_len - 3, 'n') + two_byte_name(static_cast<size_t>(i)) + "x";
    level = dir_node("", {std::move(level)});
  }
  level.name = "maps";
  return build_image(dir_node("", {file_node("default.xbe", sample_xbe()), std::move(level)}));
}
