// Inputs and probes for scripts/bench.
//
//   qmbench disc <out.iso> <out-folder>   the ~2 GiB benchmark disc, as an image (Redump
//                                         layout) and as the same tree extracted
//   qmbench many <out.iso> <entries>      an image whose wanted folders hold that many
//                                         entries (small files in many folders)
//   qmbench list <image>                  lists the image as an import would, prints the
//                                         entry count
//   qmbench shape <out.iso> <out-folder> <big> <small> <folders>
//                                         <big> files of 96 MiB in maps/, then <small>
//                                         files of 1 to 64 KiB spread over <folders>
//                                         folders in media/ (image and extracted copy)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "entries.h"
#include "image_writer.h"
#include "sample_xbe.h"
#include "testutil.h"
#include "xdvdfs.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: qmbench disc <out.iso> <out-folder>\n"
               "       qmbench many <out.iso> <entries>\n"
               "       qmbench list <image>\n"
               "       qmbench shape <out.iso> <out-folder> <big> <small> <folders>\n");
  return 2;
}

// 16 files of 96 MiB, about 4,000 files of 1 to 64 KiB in nested folders, the sample
// executable, and top-level entries the game does not need.
disc_node bench_tree() {
  disc_node maps = dir_node("maps");
  for (int i = 0; i < 16; ++i)
    maps.children.push_back(file_node(numbered("big", i, ".map"),
                                      pattern_bytes(96u << 20, 1000 + static_cast<uint32_t>(i))));
  disc_node media = dir_node("media");
  uint32_t seed = 1;
  for (int d = 0; d < 40; ++d) {
    disc_node dir = dir_node(numbered("set", d));
    for (int s = 0; s < 4; ++s) {
      disc_node sub = dir_node(numbered("part", s));
      for (int f = 0; f < 25; ++f, ++seed) {
        size_t size = 1024 + (seed * 2654435761u) % (63 * 1024);
        sub.children.push_back(file_node(numbered("f", f, ".bin"), pattern_bytes(size, seed)));
      }
      dir.children.push_back(std::move(sub));
    }
    media.children.push_back(std::move(dir));
  }
  disc_node extras = dir_node("extras", {file_node("trailer.bik", pattern_bytes(8u << 20, 7))});
  return dir_node("", {file_node("default.xbe", sample_xbe()), std::move(maps), std::move(media),
                       dir_node("bink", {file_node("intro.bik", pattern_bytes(3u << 20, 9))}),
                       std::move(extras), file_node("readme.txt", pattern_bytes(100, 3))});
}

// In the image the big files list first ("maps" sorts before "media"), so the small ones are
// written while the big ones are still dirty in the page cache; a folder source lists in the
// file system's own order.
disc_node shape_tree(long big, long small, long folders) {
  disc_node maps = dir_node("maps");
  for (long i = 0; i < big; ++i)
    maps.children.push_back(file_node(numbered("big", i, ".map"),
                                      pattern_bytes(96u << 20, 1000 + static_cast<uint32_t>(i))));
  disc_node media = dir_node("media");
  uint32_t seed = 1;
  for (long d = 0; d < folders && small > 0; ++d) {
    disc_node dir = dir_node(numbered("set", d));
    const long in_this = small / folders + (d < small % folders ? 1 : 0);
    for (long f = 0; f < in_this; ++f, ++seed) {
      size_t size = 1024 + (seed * 2654435761u) % (63 * 1024);
      dir.children.push_back(file_node(numbered("f", f, ".bin"), pattern_bytes(size, seed)));
    }
    media.children.push_back(std::move(dir));
  }
  disc_node root = dir_node("", {file_node("default.xbe", sample_xbe())});
  if (big > 0) root.children.push_back(std::move(maps));
  if (small > 0) root.children.push_back(std::move(media));
  return root;
}

disc_node many_tree(long entries) {
  disc_node maps = dir_node("maps");
  long made = 1;  // maps itself
  for (int d = 0; made < entries; ++d) {
    disc_node dir = dir_node(numbered("area", d));
    ++made;
    for (int f = 0; f < 500 && made < entries; ++f, ++made)
      dir.children.push_back(file_node(numbered("tile", f, ".dat"),
                                       pattern_bytes(1 + f % 200, static_cast<uint32_t>(f))));
    maps.children.push_back(std::move(dir));
  }
  return dir_node("", {file_node("default.xbe", sample_xbe()), std::move(maps)});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  if (mode == "disc" && argc == 4) {
    disc_node tree = bench_tree();
    image_options options;
    options.partition_base = REDUMP_PARTITION_BASE;
    if (!write_image(argv[2], tree, options) || !write_folder(argv[3], tree)) {
      std::fprintf(stderr, "qmbench: cannot write the benchmark disc\n");
      return 1;
    }
    return 0;
  }
  if (mode == "many" && argc == 4) {
    if (!write_image(argv[2], many_tree(std::atol(argv[3])))) {
      std::fprintf(stderr, "qmbench: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (mode == "shape" && argc == 7) {
    const long big = std::atol(argv[4]), small = std::atol(argv[5]), folders = std::atol(argv[6]);
    if (big < 0 || small < 0 || folders < 1) return usage();
    disc_node tree = shape_tree(big, small, folders);
    image_options options;
    options.partition_base = REDUMP_PARTITION_BASE;
    if (!write_image(argv[2], tree, options) || !write_folder(argv[3], tree)) {
      std::fprintf(stderr, "qmbench: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (mode == "list" && argc == 3) {
    import_result result{};
    import_context ctx;
    ctx.result = &result;
    int status = xdvdfs_open_image(&ctx, argv[2]);
    if (status != 0) {
      std::fprintf(stderr, "qmbench: error %d: %s\n", status, result.message);
      return 1;
    }
    std::printf("%zu\n", ctx.entries.size());
    return 0;
  }
  return usage();
}
