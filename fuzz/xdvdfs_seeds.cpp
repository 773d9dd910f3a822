// Writes the lister fuzzer's seed corpus into the folder given: small images made by the
// test image writer, in the fuzzer's input form (see xdvdfs_input.h), two of them as CCI and
// CSO images.
#include <cstdio>
#include <string>
#include <vector>

#include "compressed_writer.h"
#include "fs.h"
#include "image_writer.h"
#include "le_bytes.h"
#include "paths.h"
#include "testutil.h"
#include "xdvdfs_input.h"

namespace {

// Writes the seed; the test support stops the program with a message when it cannot.
void save_seed(const std::string& dir, const char* name, const disc_node& root,
               const image_options& options = {}) {
  const std::vector<uint8_t> img = write_image_to_memory(root, options);
  write_file(join_out_path(dir.c_str(), name),
             std::vector<uint8_t>(img.begin() + FUZZ_IMPLIED_PREFIX, img.end()));
}

// A whole CCI or CSO image file: the fuzzer takes inputs that start with either magic as
// they are, and reads them through their index.
void save_compressed_seed(const std::string& dir, const char* name, const disc_node& root,
                          bool cci) {
  const disc_image img = build_image(root);
  write_file(join_out_path(dir.c_str(), name), cci ? write_cci(img)[0] : write_cso(img)[0]);
}

// The same cut in two parts, followed by the three bytes that tell the fuzzer where.
void save_split_seed(const std::string& dir, const char* name, const disc_node& root, bool cci) {
  const disc_image img = build_image(root);
  auto write = [&](uint64_t at) {
    compressed_options split;
    split.split_size = at;
    return cci ? write_cci(img, split) : write_cso(img, split);
  };
  // The smallest cut that leaves two parts.
  std::vector<std::vector<uint8_t>> parts = write(512);
  for (uint64_t at = 1024; parts.size() > 2; at += 512) parts = write(at);
  std::vector<uint8_t> file = parts[0];
  file.insert(file.end(), parts[1].begin(), parts[1].end());
  const size_t cut = parts[0].size() - 1;
  append_le(file, cut, 2);
  file.push_back(1);
  write_file(join_out_path(dir.c_str(), name), file);
}

disc_node small_tree() {
  return dir_node(
      "", {
              file_node("default.xbe", pattern_bytes(64, 1)),
              dir_node("maps", {file_node("a.bin", pattern_bytes(300, 2)), file_node("empty", {}),
                                dir_node("sub", {file_node("deep.bin", pattern_bytes(10, 3))}),
                                ff_dir_node("blank")}),
              dir_node("MEDIA", {file_node("x.bin", pattern_bytes(10, 4)), dir_node("none")}),
              dir_node("extras", {file_node("junk", pattern_bytes(10, 5))}),
              file_node("readme.txt", pattern_bytes(5, 6)),
          });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || make_dirs(argv[1]) != 0) {
    std::fprintf(stderr, "usage: xdvdfs_seeds <corpus-folder>\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<disc_node> wide;
  for (int i = 0; i < 120; ++i) wide.push_back(file_node("f" + std::to_string(i * 37 % 120), {}));
  disc_node deep = dir_node("d12", {file_node("leaf", {7})});
  for (int i = 11; i >= 1; --i) deep = dir_node(i == 1 ? "bink" : "d" + std::to_string(i), {deep});
  image_options ffff;
  ffff.none_as_ffff = true;
  // Damaged seeds start the fuzzer next to the loops the lister must refuse.
  image_options loop;
  loop.damage = [](disc_image& img, const disc_layout& lay) {
    img.put_u32(lay.entry("maps/sub").node_pos + 4, lay.root.sector);
  };
  image_options shared;
  shared.damage = [](disc_image& img, const disc_layout& lay) {
    img.put_u32(lay.entry("MEDIA").node_pos + 4, lay.table("maps").sector);
  };

  save_seed(dir, "seed-small", small_tree());
  save_compressed_seed(dir, "seed-small-cci", small_tree(), true);
  save_compressed_seed(dir, "seed-small-cso", small_tree(), false);
  save_split_seed(dir, "seed-split-cci", small_tree(), true);
  save_split_seed(dir, "seed-split-cso", small_tree(), false);
  save_seed(dir, "seed-small-ffff", small_tree(), ffff);
  save_seed(dir, "seed-loop", small_tree(), loop);
  save_seed(dir, "seed-shared", small_tree(), shared);
  save_seed(dir, "seed-empty-root", dir_node(""));
  save_seed(dir, "seed-ff-root", ff_dir_node(""));
  save_seed(dir, "seed-wide", dir_node("", {dir_node("TDATA", std::move(wide))}));
  save_seed(dir, "seed-deep", dir_node("", {deep}));
  save_seed(dir, "seed-unsafe",
            dir_node("", {dir_node("udata", {file_node("a\x01:b", {1}), file_node("ok", {2})})}));
  return 0;
}
