// Inputs and probes for scripts/bench.
//
//   qmbench disc <out.iso> <out-folder>   the ~2 GiB benchmark disc, as an image (Redump
//                                         layout) and as the same tree extracted
//   qmbench many <out.iso> <entries>      an image whose wanted folders hold that many
//                                         entries (small files in many folders)
//   qmbench list <image>                  lists the image as an import would, prints the
//                                         entry count
//   qmbench sha256 <file>                 prints the file's digest as the import computes
//                                         it (sha256_file)
//   qmbench sha256-portable <file>        the same with the portable code, as on a processor
//                                         without the SHA extensions
//   qmbench passes <archive.zip> <out>    imports the zipped image into <out> and prints how
//                                         many times it inflated the image: every byte the
//                                         first pass and the reads inflated, over its size
//   qmbench shape <order> <out.iso> <out-folder> <big> <small> <folders>
//                                         <big> files of 96 MiB and <small> files of 1 to
//                                         64 KiB spread over <folders> folders, copied in
//                                         <order>: big-then-small, small-then-big or mixed
//                                         (image and extracted copy)
//   qmbench forms <out-base> <out-folder> <split-bytes>
//                                         a ~1 GiB disc in the forms players bring:
//                                         <out-base>.iso (XISO), .cci, .cso, the XISO cut
//                                         into <out-base>.1.iso, .2.iso... of <split-bytes>
//                                         each (the last shorter), and the extracted tree
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "compressed_writer.h"
#include "entries.h"
#include "fs.h"
#include "image_reader.h"
#include "image_writer.h"
#include "sample_xbe.h"
#include "sha256.h"
#include "testutil.h"
#include "xdvdfs.h"
#include "zip_image.h"

namespace {

constexpr size_t BIG_FILE = 96u << 20;

int usage() {
  std::fprintf(stderr,
               "usage: qmbench disc <out.iso> <out-folder>\n"
               "       qmbench many <out.iso> <entries>\n"
               "       qmbench list <image>\n"
               "       qmbench sha256 <file>\n"
               "       qmbench sha256-portable <file>\n"
               "       qmbench shape big-then-small|small-then-big|mixed <out.iso> <out-folder>"
               " <big> <small> <folders>\n"
               "       qmbench forms <out-base> <out-folder> <split-bytes>\n"
               "       qmbench passes <archive.zip> <out>\n");
  return 2;
}

// 1 to 64 KiB, spread evenly over the seeds.
size_t small_size(uint32_t seed) { return 1024 + (seed * 2654435761u) % (63 * 1024); }

// 16 files of 96 MiB, about 4,000 files of 1 to 64 KiB in nested folders, the sample
// executable, and top-level entries the game does not need.
disc_node bench_tree() {
  disc_node maps = dir_node("maps");
  for (int i = 0; i < 16; ++i)
    maps.children.push_back(file_node(numbered("big", i, ".map"),
                                      pattern_bytes(BIG_FILE, 1000 + static_cast<uint32_t>(i))));
  disc_node media = dir_node("media");
  uint32_t seed = 1;
  for (int d = 0; d < 40; ++d) {
    disc_node dir = dir_node(numbered("set", d));
    for (int s = 0; s < 4; ++s) {
      disc_node sub = dir_node(numbered("part", s));
      for (int f = 0; f < 25; ++f, ++seed)
        sub.children.push_back(
            file_node(numbered("f", f, ".bin"), pattern_bytes(small_size(seed), seed)));
      dir.children.push_back(std::move(sub));
    }
    media.children.push_back(std::move(dir));
  }
  disc_node extras = dir_node("extras", {file_node("trailer.bik", pattern_bytes(8u << 20, 7))});
  return dir_node("", {file_node("default.xbe", sample_xbe()), std::move(maps), std::move(media),
                       dir_node("bink", {file_node("intro.bik", pattern_bytes(3u << 20, 9))}),
                       std::move(extras), file_node("readme.txt", pattern_bytes(100, 3))});
}

// "f0042.bin": zero-padded, so that the image (sorted by name) holds a folder's files in the
// order they were made.
std::string padded(long n, const char* suffix) {
  char name[32];
  std::snprintf(name, sizeof name, "f%04ld%s", n, suffix);
  return name;
}

// `small` files spread over `folders` folders set0, set1... of `parent`.
void add_small_files(disc_node& parent, long small, long folders, uint32_t& seed) {
  for (long d = 0; d < folders && d < small; ++d) {
    disc_node dir = dir_node(numbered("set", d));
    const long in_this = small / folders + (d < small % folders ? 1 : 0);
    for (long f = 0; f < in_this; ++f, ++seed)
      dir.children.push_back(file_node(padded(f, ".bin"), pattern_bytes(small_size(seed), seed)));
    parent.children.push_back(std::move(dir));
  }
}

// The order a shape's files are copied in is the order they are listed: an image lists by
// name, so maps/ goes before media/. big-then-small puts the big files in maps/ and the small
// ones in media/ (the small ones are then written while the big ones are still dirty in the
// page cache); small-then-big the other way round; mixed puts both in the folders of
// media/, each big file in the middle of its folder's small ones.
disc_node shape_tree(const std::string& order, long big, long small, long folders) {
  disc_node maps = dir_node("maps"), media = dir_node("media");
  uint32_t seed = 1;
  if (order == "mixed") {
    add_small_files(media, small, folders, seed);
    for (long i = 0; i < big; ++i) {
      if (media.children.empty()) media.children.push_back(dir_node("set0"));
      disc_node& dir =
          media.children[static_cast<size_t>(i * static_cast<long>(media.children.size()) / big)];
      const long at = static_cast<long>(dir.children.size()) / 2;
      // Between the names of the small files around it: "f0011.bin" < "f0011big0.map" <
      // "f0012.bin".
      const std::string name = padded(at > 0 ? at - 1 : 0, numbered("big", i, ".map").c_str());
      dir.children.push_back(
          file_node(name, pattern_bytes(BIG_FILE, 1000 + static_cast<uint32_t>(i))));
    }
  } else {
    disc_node& bigs = order == "big-then-small" ? maps : media;
    disc_node& smalls = order == "big-then-small" ? media : maps;
    for (long i = 0; i < big; ++i)
      bigs.children.push_back(file_node(numbered("big", i, ".map"),
                                        pattern_bytes(BIG_FILE, 1000 + static_cast<uint32_t>(i))));
    add_small_files(smalls, small, folders, seed);
  }
  disc_node root = dir_node("", {file_node("default.xbe", sample_xbe())});
  if (!maps.children.empty()) root.children.push_back(std::move(maps));
  if (!media.children.empty()) root.children.push_back(std::move(media));
  return root;
}

// True when `first` comes before `second` in the folder's own listing order.
bool lists_before(const std::filesystem::path& folder, const std::string& first,
                  const std::string& second) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name == first) return true;
    if (name == second) return false;
  }
  return false;
}

// A folder import walks, and cp -r copies, in the order the file system lists a folder, and
// ext4 lists by a hash of each name (seeded per file system): media/ can come before maps/,
// which would turn a big-then-small folder into a small-then-big one. The import takes the
// wanted folders in any letter case, so media/ is renamed through its spellings ("Media",
// "mEdia"...) until it lists after maps/, as it sorts in the image. The spelling is
// returned for the image to use too; empty when none of the 32 does it.
std::string list_maps_before_media(const std::string& folder) {
  std::string now = "media";
  for (unsigned variant = 0; variant < 32; ++variant) {
    std::string name = "media";
    for (size_t i = 0; i < name.size(); ++i)
      if (variant >> i & 1) name[i] = static_cast<char>(name[i] - 'a' + 'A');
    std::error_code ec;
    if (name != now) std::filesystem::rename(folder + "/" + now, folder + "/" + name, ec);
    if (ec) return {};
    now = name;
    if (lists_before(folder, "maps", now)) return now;
  }
  return {};
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

// Bytes an LZ4 block per 2,048-byte sector shrinks to about a third: each 32-byte run
// repeats the one before with one byte changed three times in four, and is new pseudo-random
// bytes otherwise. pattern_bytes does not compress at all; a game disc holds both kinds.
std::vector<uint8_t> compressible_bytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> data = pattern_bytes(size, seed);
  uint32_t x = seed * 2246822519u + 1;
  for (size_t run = 32; run + 32 <= size; run += 32) {
    x = x * 1664525u + 1013904223u;
    if ((x >> 30) == 0) continue;  // one run in four stays as it is
    std::copy(data.begin() + static_cast<long>(run) - 32, data.begin() + static_cast<long>(run),
              data.begin() + static_cast<long>(run));
    data[run + (x >> 8) % 32] ^= static_cast<uint8_t>(x >> 16 | 1);
  }
  return data;
}

// The forms disc: 1 GiB wanted, 10 files of 96 MiB (every other one compressible), 1,000
// small files (every other one compressible) in 40 folders, and an unwanted extra.
disc_node forms_tree() {
  disc_node maps = dir_node("maps");
  for (uint32_t i = 0; i < 10; ++i)
    maps.children.push_back(
        file_node(numbered("big", i, ".map"), i % 2 ? compressible_bytes(BIG_FILE, 2000 + i)
                                                    : pattern_bytes(BIG_FILE, 2000 + i)));
  disc_node media = dir_node("media");
  uint32_t seed = 1;
  for (int d = 0; d < 40; ++d) {
    disc_node dir = dir_node(numbered("set", d));
    for (int f = 0; f < 25; ++f, ++seed)
      dir.children.push_back(
          file_node(padded(f, ".bin"), seed % 2 ? compressible_bytes(small_size(seed), seed)
                                                : pattern_bytes(small_size(seed), seed)));
    media.children.push_back(std::move(dir));
  }
  return dir_node("", {file_node("default.xbe", sample_xbe()), std::move(maps), std::move(media),
                       dir_node("extras", {file_node("trailer.bik", pattern_bytes(8u << 20, 7))})});
}

// Writes bytes [from, from + len) of `image` to a new file at `path`, 4 MiB at a time.
bool save_range(const disc_image& image, uint64_t from, uint64_t len, const std::string& path) {
  unique_file f(open_utf8(path.c_str(), "wb"));
  if (!f) return false;
  for (uint64_t at = from; at < from + len;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(4u << 20, from + len - at));
    const std::vector<uint8_t> bytes = image.get(at, n);
    if (std::fwrite(bytes.data(), 1, n, f.get()) != n) return false;
    at += n;
  }
  return std::fclose(f.release()) == 0;
}

bool save_parts(const std::vector<std::vector<uint8_t>>& parts, const std::string& path) {
  if (parts.size() != 1) return false;  // the forms disc is far below the writers' split sizes
  unique_file f(open_utf8(path.c_str(), "wb"));
  return f && std::fwrite(parts[0].data(), 1, parts[0].size(), f.get()) == parts[0].size() &&
         std::fclose(f.release()) == 0;
}

// The image is built once and every form written from it; the tree goes once the image is
// built and each compressed form once saved, so memory peaks at 2.0 GiB (/usr/bin/time -v).
int write_forms(const std::string& base, const std::string& folder, uint64_t split) {
  disc_image image;
  {
    const disc_node tree = forms_tree();
    if (!write_folder(folder, tree)) return 1;
    image = build_image(tree);
  }
  if (!image.save(base + ".iso")) return 1;
  for (uint64_t at = 0, n = 1; at < image.size(); at += split, ++n)
    if (!save_range(image, at, std::min(split, image.size() - at),
                    numbered((base + ".").c_str(), static_cast<long>(n), ".iso")))
      return 1;
  if (!save_parts(write_cci(image), base + ".cci")) return 1;
  if (!save_parts(write_cso(image), base + ".cso")) return 1;
  return 0;
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
  if (mode == "shape" && argc == 8) {
    const std::string order = argv[2];
    const long big = std::atol(argv[5]), small = std::atol(argv[6]), folders = std::atol(argv[7]);
    if ((order != "big-then-small" && order != "small-then-big" && order != "mixed") || big < 0 ||
        small < 0 || folders < 1)
      return usage();
    disc_node tree = shape_tree(order, big, small, folders);
    if (!write_folder(argv[4], tree)) {
      std::fprintf(stderr, "qmbench: cannot write %s\n", argv[4]);
      return 1;
    }
    if (order != "mixed" && big > 0 && small > 0) {
      const std::string media = list_maps_before_media(argv[4]);
      if (media.empty()) {
        std::fprintf(stderr, "qmbench: %s lists media/ before maps/ in every spelling\n", argv[4]);
        return 1;
      }
      for (disc_node& c : tree.children)
        if (c.name == "media") c.name = media;
    }
    image_options options;
    options.partition_base = REDUMP_PARTITION_BASE;
    if (!write_image(argv[3], tree, options)) {
      std::fprintf(stderr, "qmbench: cannot write %s\n", argv[3]);
      return 1;
    }
    return 0;
  }
  if (mode == "forms" && argc == 5) {
    const long long split = std::atoll(argv[4]);
    // Whole sectors, as the splitting tools cut.
    if (split < 2048 || split % 2048 != 0) return usage();
    if (write_forms(argv[2], argv[3], static_cast<uint64_t>(split)) != 0) {
      std::fprintf(stderr, "qmbench: cannot write the forms of %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (mode == "list" && argc == 3) {
    import_context ctx;
    std::string message;
    int status = open_image_reader(argv[2], &ctx.image, &message);
    if (status != 0) {
      std::fprintf(stderr, "qmbench: error %d: %s\n", status, message.c_str());
      return 1;
    }
    status = xdvdfs_list(&ctx, *ctx.image, argv[2], "", nullptr);
    if (status != 0) {
      std::fprintf(stderr, "qmbench: error %d: %s\n", status, ctx.notes.message.c_str());
      return 1;
    }
    std::printf("%zu\n", ctx.entries.size());
    return 0;
  }
  if (mode == "passes" && argc == 4) {
    std::unique_ptr<image_reader> image;
    std::string message;
    if (open_image_reader(argv[2], &image, &message) != 0) {
      std::fprintf(stderr, "qmbench: %s\n", message.c_str());
      return 1;
    }
    const uint64_t size = image->size(), before = zip_inflated_bytes();
    image.reset();
    import_result result{};
    if (import_game(argv[2], argv[3], nullptr, nullptr, &result) != 0) {
      std::fprintf(stderr, "qmbench: %s\n", result.message);
      return 1;
    }
    std::printf("%.3f\n", static_cast<double>(zip_inflated_bytes() - before) /
                              static_cast<double>(size ? size : 1));
    return 0;
  }
  // `qmimport --check` is no probe of the digest alone: for a file that is not the supported
  // build it reads the file a second time, looking for the media patch.
  if ((mode == "sha256" || mode == "sha256-portable") && argc == 3) {
    if (mode == "sha256-portable") sha256_use_hardware(0);
    uint8_t digest[32];
    if (sha256_file(argv[2], digest) != 0) {
      std::fprintf(stderr, "qmbench: cannot read %s\n", argv[2]);
      return 1;
    }
    char hex[65];
    digest_to_hex(digest, hex);
    std::printf("%s\n", hex);
    return 0;
  }
  return usage();
}
