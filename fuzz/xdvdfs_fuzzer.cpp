// libFuzzer target over the XDVDFS lister, the parser of untrusted disc images. Besides
// crashes and sanitizer reports it traps on any listing that breaks the lister's promises.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "entries.h"
#include "xdvdfs.h"
#include "xdvdfs_input.h"

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

void check_listing(const import_context& ctx, int status, const import_result& result) {
  require(status == IMPORT_OK || status == IMPORT_ERR_DAMAGED || status == IMPORT_ERR_UNSAFE_NAME ||
              status == IMPORT_ERR_NO_MEMORY,
          "status");
  require((status == IMPORT_OK || status == IMPORT_ERR_NO_MEMORY) == (result.message[0] == '\0'),
          "a message exactly on failure");
  require(std::memchr(result.message, '\0', sizeof result.message) != nullptr,
          "terminated message");
  if (status != IMPORT_OK) return;
  for (size_t i = 0; i < ctx.entries.size(); ++i) {
    const import_entry& e = ctx.entries[i];
    require(e.source_path.empty(), "no source path for image entries");
    if (e.is_dir) {
      require(e.size == 0 && e.image_offset == 0, "folders carry no data");
    } else if (e.size != 0) {
      require(e.image_offset <= ctx.image_size && e.size <= ctx.image_size - e.image_offset,
              "file data inside the image");
    }
    // Every component is safe; the first is wanted; the parent folder came earlier.
    size_t start = 0, depth = 0;
    for (;;) {
      size_t cut = e.rel_path.find('/', start);
      size_t end = cut == std::string::npos ? e.rel_path.size() : cut;
      require(is_safe_name(e.rel_path.data() + start, end - start) == 1, "safe names only");
      if (cut == std::string::npos) break;
      start = cut + 1;
      ++depth;
    }
    require(depth <= MAX_TREE_DEPTH, "depth limit");
    size_t first = e.rel_path.find('/');
    std::string top = e.rel_path.substr(0, first);
    require(is_wanted_top_level(top.c_str(), first == std::string::npos ? e.is_dir : 1) == 1,
            "wanted top level only");
    if (first != std::string::npos) {
      std::string parent = e.rel_path.substr(0, e.rel_path.rfind('/'));
      bool found = false;
      for (size_t j = i; j-- > 0 && !found;)
        found = ctx.entries[j].is_dir && ctx.entries[j].rel_path == parent;
      require(found, "folder before its contents");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> image;  // the prefix stays zero: only the tail is ever copied
  if (image.size() < FUZZ_IMPLIED_PREFIX + size) image.resize(FUZZ_IMPLIED_PREFIX + size);
  if (size) std::memcpy(image.data() + FUZZ_IMPLIED_PREFIX, data, size);
  const size_t image_size = FUZZ_IMPLIED_PREFIX + size;

  import_result result{};
  import_context ctx;
  ctx.result = &result;
  ctx.image.reset(fmemopen(image.data(), image_size, "rb"));
  if (!ctx.image) return 0;
  ctx.image_size = image_size;
  int status = xdvdfs_list(&ctx, "fuzz.iso");
  check_listing(ctx, status, result);
  return 0;
}
