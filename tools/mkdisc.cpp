// Writes the sample disc for tests and demos that need one on disk.
//
//   mkdisc sample <out.iso> [partition-base]   the sample disc as an image; the base defaults
//                                              to 0x18300000 (Redump layout), written sparsely
//   mkdisc extract-sample <folder>             the same tree as an extracted copy
//   mkdisc sample-as <form> <stem> [split]     the sample disc at base 0 in another form
//                                              (split-iso, cci, split-cci, cso, split-cso),
//                                              as <stem>.cci or <stem>.1.cci, <stem>.2.cci...
//                                              split every [split] bytes (default 300000)
//   mkdisc claiming-tables <out.iso>           48 nested tables claiming 64 MiB each
//   mkdisc crowded <out.iso> <tables> [levels name-length]
//                                              levels of folders (46 of 255-byte names)
//                                              over that many tables of 3,364 empty files
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "compressed_writer.h"
#include "hostile_images.h"
#include "image_writer.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: mkdisc sample <out.iso> [partition-base]\n"
               "       mkdisc extract-sample <folder>\n"
               "       mkdisc sample-as <split-iso|cci|split-cci|cso|split-cso> <stem> [split]\n"
               "       mkdisc claiming-tables <out.iso>\n"
               "       mkdisc crowded <out.iso> <tables> [levels name-length]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  if (mode == "sample" && argc <= 4) {
    image_options options;
    options.partition_base = REDUMP_PARTITION_BASE;
    if (argc == 4) {
      char* end = nullptr;
      errno = 0;
      unsigned long long base = std::strtoull(argv[3], &end, 0);
      if (errno != 0 || end == argv[3] || *end != '\0' || argv[3][0] == '-') {
        std::fprintf(stderr, "mkdisc: bad partition base: %s\n", argv[3]);
        return 2;
      }
      options.partition_base = base;
    }
    if (!write_image(argv[2], sample_tree(), options)) {
      std::fprintf(stderr, "mkdisc: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (mode == "sample-as" && (argc == 4 || argc == 5)) {
    const std::string form = argv[2];
    const image_form forms[] = {image_form::split_iso, image_form::cci, image_form::split_cci,
                                image_form::cso, image_form::split_cso};
    const char* names[] = {"split-iso", "cci", "split-cci", "cso", "split-cso"};
    const uint64_t split = argc == 5 ? std::strtoull(argv[4], nullptr, 0) : 300000;
    for (size_t i = 0; i < std::size(forms); ++i) {
      if (form != names[i]) continue;
      std::vector<std::string> parts;
      if (split == 0 ||
          save_in_form(build_image(sample_tree()), forms[i], argv[3], split, &parts).empty()) {
        std::fprintf(stderr, "mkdisc: cannot write %s\n", argv[3]);
        return 1;
      }
      for (const std::string& p : parts) std::printf("%s\n", p.c_str());
      return 0;
    }
    return usage();
  }
  if (mode == "extract-sample" && argc == 3) {
    if (!write_folder(argv[2], sample_tree())) {
      std::fprintf(stderr, "mkdisc: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if ((mode == "claiming-tables" && argc == 3) || (mode == "crowded" && (argc == 4 || argc == 6))) {
    const bool crowded = mode == "crowded";
    const int tables = crowded ? std::atoi(argv[3]) : 0;
    const int levels = argc == 6 ? std::atoi(argv[4]) : 46;
    const int name_length = argc == 6 ? std::atoi(argv[5]) : 255;
    if (crowded && (tables < 1 || tables > 3364 || levels < 0 || levels > 46 || name_length < 3 ||
                    name_length > 255))
      return usage();
    const disc_image image = crowded
                                 ? crowded_image(levels, static_cast<size_t>(name_length), tables)
                                 : claiming_tables_image();
    if (!image.save(argv[2])) {
      std::fprintf(stderr, "mkdisc: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  return usage();
}
