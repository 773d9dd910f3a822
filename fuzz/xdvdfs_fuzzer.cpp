// libFuzzer target over the XDVDFS lister, the parser of untrusted disc images. Besides
// crashes and sanitizer reports it traps on any listing that breaks the lister's promises.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "compressed_image.h"
#include "entries.h"
#include "names.h"
#include "xdvdfs.h"
#include "xdvdfs_input.h"

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

void check_listing(const import_context& ctx, int status) {
  require(status == IMPORT_OK || status == IMPORT_ERR_DAMAGED || status == IMPORT_ERR_UNSAFE_NAME ||
              status == IMPORT_ERR_NO_MEMORY,
          "status");
  require((status == IMPORT_OK || status == IMPORT_ERR_NO_MEMORY) == ctx.notes.message.empty(),
          "a message exactly on failure");
  if (status != IMPORT_OK) return;
  for (size_t i = 0; i < ctx.entries.size(); ++i) {
    const import_entry& e = ctx.entries[i];
    require(e.source_path.empty(), "no source path for image entries");
    if (e.is_dir) {
      require(e.size == 0 && e.image_offset == 0, "folders carry no data");
    } else if (e.size != 0) {
      require(e.image_offset <= ctx.image->size() && e.size <= ctx.image->size() - e.image_offset,
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

// The reader's runs of sectors against the same sectors decoded one at a time: a few sectors
// around a position the input picks, the unaligned ends included.
void check_decoding(image_reader& reader, const uint8_t* data, const std::vector<uint64_t>& parts) {
  const size_t size = static_cast<size_t>(parts[0] + (parts.size() > 1 ? parts[1] : 0));
  memory_reader bytes(data, size);
  compressed_image oracle;
  const int kind = compressed_kind_of(data, size);
  require(compressed_open(&oracle, kind, parts, bytes, nullptr) == IMPORT_OK,
          "the image opens alike twice");
  const uint64_t n = reader.size();
  if (n == 0) return;
  const uint64_t pos = (uint64_t{size} * 2654435761u + data[size - 1]) % n;
  const size_t len = static_cast<size_t>(n - pos < 5 * 2048 + 123 ? n - pos : 5 * 2048 + 123);
  std::vector<uint8_t> run(len), one(COMPRESSED_SECTOR);
  std::string message;
  const int status = reader.read(pos, run.data(), len, &message);
  bool all_decode = true;
  for (uint64_t at = pos; at < pos + len && all_decode; at = (at / 2048 + 1) * 2048) {
    all_decode = compressed_read_sector(oracle, at / 2048, bytes, one.data(), nullptr) == IMPORT_OK;
    const size_t skip = static_cast<size_t>(at % 2048);
    const size_t take = std::min<uint64_t>(2048 - skip, pos + len - at);
    require(!all_decode || status != IMPORT_OK ||
                std::memcmp(run.data() + (at - pos), one.data() + skip, take) == 0,
            "a run decodes to the bytes of its sectors");
  }
  require((status == IMPORT_OK) == all_decode, "a run fails exactly when one of its sectors does");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An input that starts as a CCI or CSO image is the whole image file, read through its
  // index; any other is the partition from the volume descriptor on. A compressed input whose
  // last byte is odd is two parts instead: its last three bytes say where the first ends.
  const bool compressed = compressed_kind_of(data, size) != COMPRESSED_NONE;
  static std::vector<uint8_t> plain;  // the prefix stays zero: only the tail is ever copied
  static std::vector<uint8_t> whole;
  std::vector<uint8_t>& image = compressed ? whole : plain;
  const size_t prefix = compressed ? 0 : FUZZ_IMPLIED_PREFIX;
  const bool split = compressed && size >= 8 && (data[size - 1] & 1) != 0;
  const size_t image_size = prefix + (split ? size - 3 : size);
  if (image.size() < image_size) image.resize(image_size);
  if (size) std::memcpy(image.data() + prefix, data, image_size - prefix);
  std::vector<uint64_t> sizes = {image_size};
  if (split) {
    const size_t cut = 1 + (data[size - 3] | size_t{data[size - 2]} << 8) % (image_size - 1);
    sizes = {cut, image_size - cut};
  }

  import_context ctx;
  std::vector<unique_file> streams;
  for (size_t k = 0, at = 0; k < sizes.size(); at += static_cast<size_t>(sizes[k++])) {
    streams.emplace_back(fmemopen(image.data() + at, static_cast<size_t>(sizes[k]), "rb"));
    if (!streams.back()) return 0;
  }
  std::string message;
  int status = open_image_streams(std::move(streams), sizes, "fuzz.img", &ctx.image, &message);
  if (status == IMPORT_OK && compressed) check_decoding(*ctx.image, image.data(), sizes);
  if (status == IMPORT_OK) {
    status = xdvdfs_list(&ctx, *ctx.image, "fuzz.img", "", nullptr);
  } else {
    require(compressed && !message.empty() == (status != IMPORT_ERR_NO_MEMORY),
            "only a compressed image can fail to open, with a message");
    return 0;
  }
  check_listing(ctx, status);
  return 0;
}
