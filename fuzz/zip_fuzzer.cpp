// libFuzzer target over the ZIP layer: the archive parser (end records, zip64 fields, central
// and local headers, the choice of the disc image) and the random-access reader over a
// deflated entry's restart points. The input is the archive. Besides crashes and sanitizer
// reports it traps on a broken promise; the one that matters most is that reads from restart
// points give the same bytes as one forward read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "import.h"
#include "zip_archive.h"
#include "zip_image.h"

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

void require_status(int status, const std::string& message) {
  require(status == IMPORT_OK || status == IMPORT_ERR_DAMAGED || status == IMPORT_ERR_NO_MEMORY,
          "status");
  require((status == IMPORT_OK || status == IMPORT_ERR_NO_MEMORY) == message.empty(),
          "a message exactly on failure");
}

uint64_t fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 0xCBF29CE484222325u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3u;
  return h;
}

// Chunks of 32 KiB + 3: read forward, every read goes on from the last; read back to front,
// every read starts again from a point.
constexpr size_t CHUNK = 32771;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory_reader archive(data, size);
  zip_entry entry;
  std::string message;
  int status = zip_find_image(archive, "fuzz.zip", &entry, &message);
  require_status(status, message);
  if (status != IMPORT_OK) return 0;
  require(entry.method == ZIP_STORED || entry.method == ZIP_DEFLATED, "a method we read");
  require(entry.data_offset <= size && entry.compressed_size <= size - entry.data_offset,
          "data inside the archive");
  require(entry.size <= ZIP_MAX_IMAGE, "size limit");

  zip_image image;
  zip_open_options options;
  options.spacing = 32768;  // as many points as there can be
  // Input read a few bytes at a time for most sizes: points then fall right after refills.
  options.input_chunk = size % 3 == 0 ? 0 : 1 + size % 61;
  status = image.open(archive, entry, "fuzz.zip", options, &message);
  require_status(status, message);
  if (status != IMPORT_OK) return 0;
  require(image.size() == entry.size, "the entry's size");
  require(image.point_count() <= ZIP_MAX_POINTS, "point limit");

  std::vector<uint8_t> buffer(CHUNK);
  std::vector<uint64_t> forward;
  for (uint64_t pos = 0; pos < image.size(); pos += CHUNK) {
    const size_t n = static_cast<size_t>(image.size() - pos < CHUNK ? image.size() - pos : CHUNK);
    require(image.read(pos, buffer.data(), n, &message) == IMPORT_OK,
            "an entry that inflated whole reads");
    forward.push_back(fnv1a(buffer.data(), n));
  }
  for (size_t k = forward.size(); k-- > 0;) {
    const uint64_t pos = uint64_t{k} * CHUNK;
    const size_t n = static_cast<size_t>(image.size() - pos < CHUNK ? image.size() - pos : CHUNK);
    require(image.read(pos, buffer.data(), n, &message) == IMPORT_OK, "reads from points");
    require(fnv1a(buffer.data(), n) == forward[k], "the same bytes from a point");
  }
  require(image.read(image.size(), buffer.data(), 1, &message) == IMPORT_ERR_SOURCE_IO,
          "nothing past the end");
  return 0;
}
