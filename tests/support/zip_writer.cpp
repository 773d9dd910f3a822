#include "zip_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fs.h"
#include "le_bytes.h"

const char ZIP_PYTHON_WRITER[] = R"(
import sys, zipfile
out, method, mode = sys.argv[1:4]
m = {'deflate': zipfile.ZIP_DEFLATED, 'stored': zipfile.ZIP_STORED, 'bzip2': zipfile.ZIP_BZIP2}
class Unseekable:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with open(out, 'wb') as f:
    with zipfile.ZipFile(Unseekable(f) if 'stream' in mode else f, 'w', m[method]) as z:
        for pair in sys.argv[4:]:
            name, path = pair.split('=', 1)
            with open(path, 'rb') as src, z.open(name, 'w', force_zip64='zip64' in mode) as dst:
                while chunk := src.read(1 << 20): dst.write(chunk)
)";

uint32_t zip_crc32(const uint8_t* data, size_t len) {
  return static_cast<uint32_t>(crc32_z(crc32(0, nullptr, 0), data, len));
}

std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  const char list_sep = OUTPUT_SEPARATOR == '\\' ? ';' : ':';
  for (std::string rest = path ? path : ""; !rest.empty();) {
    const size_t cut = rest.find(list_sep);
    const std::string dir = rest.substr(0, cut);
    rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
    const std::string exe = dir + OUTPUT_SEPARATOR + name;
    if (!dir.empty() && path_kind(exe.c_str(), nullptr) == PATH_FILE) return exe;
  }
  return "";
}

namespace {

constexpr uint32_t FF32 = 0xFFFFFFFF;
constexpr uint16_t DOS_TIME = 0x6000, DOS_DATE = 0x5821;  // 2024-01-01 12:00

bool put(FILE* f, const std::vector<uint8_t>& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
}

}  // namespace

bool write_zip(const std::string& path, const std::string& name, const disc_image& image,
               const zip_write_options& options) {
  unique_file f(open_utf8(path.c_str(), "wb"));
  if (!f) return false;
  const bool z64 = options.zip64;
  const uint16_t method = options.deflate ? 8 : 0, version = z64 ? 45 : 20;
  const uint16_t flags = z64 ? 8 : 0;  // bit 3: sizes and CRC-32 in the data descriptor

  // The local header; without a descriptor its CRC-32 and sizes are filled in afterwards.
  // Reserved first: g++ 12 at -O3 warns falsely (-Wstringop-overflow) on fields appended to
  // a vector that starts empty.
  std::vector<uint8_t> local;
  local.reserve(64 + name.size());
  append_le(local, 0x04034B50, 4);
  append_le(local, version, 2);
  append_le(local, flags, 2);
  append_le(local, method, 2);
  append_le(local, DOS_TIME, 2);
  append_le(local, DOS_DATE, 2);
  append_le(local, 0, 4);
  append_le(local, z64 ? FF32 : 0, 4);
  append_le(local, z64 ? FF32 : 0, 4);
  append_le(local, name.size(), 2);
  append_le(local, z64 ? 20 : 0, 2);
  local.insert(local.end(), name.begin(), name.end());
  if (z64) {
    append_le(local, 1, 2);
    append_le(local, 16, 2);
    append_le(local, 0, 8);
    append_le(local, 0, 8);
  }
  if (!put(f.get(), local)) return false;
  const uint64_t data_offset = local.size();

  z_stream z{};
  if (options.deflate &&
      deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  uint32_t crc = crc32(0, nullptr, 0);
  uint64_t written = 0;
  std::vector<uint8_t> out(1u << 20);
  bool ok = true;
  for (uint64_t at = 0; ok && (at < image.size() || at == 0);) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(4u << 20, image.size() - at));
    std::vector<uint8_t> chunk = image.get(at, n);
    crc = crc32(crc, chunk.data(), static_cast<uInt>(n));
    at += n;
    if (!options.deflate) {
      // Holes stay holes: a stored Redump-layout image is mostly zeros before its partition.
      const bool zeros = std::all_of(chunk.begin(), chunk.end(), [](uint8_t b) { return !b; });
      ok = zeros ? seek_to(f.get(), data_offset + at) == 0 : put(f.get(), chunk);
      written += n;
      if (at == image.size()) break;
      continue;
    }
    z.next_in = chunk.data();
    z.avail_in = static_cast<uInt>(n);
    const int flush = at >= image.size() ? Z_FINISH : Z_NO_FLUSH;
    int r;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      r = deflate(&z, flush);
      const size_t got = out.size() - z.avail_out;
      ok = ok && std::fwrite(out.data(), 1, got, f.get()) == got;
      written += got;
    } while (ok && (z.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END)));
    if (flush == Z_FINISH) break;
  }
  if (options.deflate) deflateEnd(&z);
  if (!ok) return false;

  const uint64_t size = image.size(), compressed = written;
  // Where the data end, past any hole a stored entry ends in.
  if (seek_to(f.get(), data_offset + compressed) != 0) return false;
  if (z64) {
    std::vector<uint8_t> descriptor;
    descriptor.reserve(24);
    append_le(descriptor, 0x08074B50, 4);
    append_le(descriptor, crc, 4);
    append_le(descriptor, compressed, 8);
    append_le(descriptor, size, 8);
    if (!put(f.get(), descriptor)) return false;
  } else {
    std::vector<uint8_t> fields;
    fields.reserve(12);
    append_le(fields, crc, 4);
    append_le(fields, compressed, 4);
    append_le(fields, size, 4);
    if (seek_to(f.get(), 14) != 0 || !put(f.get(), fields) ||
        seek_to(f.get(), data_offset + compressed) != 0)
      return false;
  }
  const uint64_t directory = data_offset + compressed + (z64 ? 24 : 0);

  std::vector<uint8_t> central;
  central.reserve(80 + name.size());
  append_le(central, 0x02014B50, 4);
  append_le(central, version, 2);
  append_le(central, version, 2);
  append_le(central, flags, 2);
  append_le(central, method, 2);
  append_le(central, DOS_TIME, 2);
  append_le(central, DOS_DATE, 2);
  append_le(central, crc, 4);
  append_le(central, z64 ? FF32 : compressed, 4);
  append_le(central, z64 ? FF32 : size, 4);
  append_le(central, name.size(), 2);
  append_le(central, z64 ? 28 : 0, 2);
  append_le(central, 0, 6);  // comment length, disk, internal attributes
  append_le(central, 0, 4);  // external attributes
  append_le(central, z64 ? FF32 : 0, 4);
  central.insert(central.end(), name.begin(), name.end());
  if (z64) {
    append_le(central, 1, 2);
    append_le(central, 24, 2);
    append_le(central, size, 8);
    append_le(central, compressed, 8);
    append_le(central, 0, 8);
  }
  std::vector<uint8_t> end;
  end.reserve(98);
  if (z64) {
    append_le(end, 0x06064B50, 4);
    append_le(end, 44, 8);
    append_le(end, 45, 2);
    append_le(end, 45, 2);
    append_le(end, 0, 8);  // this disk, the directory's disk
    append_le(end, 1, 8);
    append_le(end, 1, 8);
    append_le(end, central.size(), 8);
    append_le(end, directory, 8);
    append_le(end, 0x07064B50, 4);
    append_le(end, 0, 4);
    append_le(end, directory + central.size(), 8);
    append_le(end, 1, 4);
  }
  append_le(end, 0x06054B50, 4);
  append_le(end, 0, 4);
  append_le(end, z64 ? 0xFFFF : 1, 2);
  append_le(end, z64 ? 0xFFFF : 1, 2);
  append_le(end, central.size(), 4);
  append_le(end, z64 ? FF32 : directory, 4);
  append_le(end, 0, 2);
  return put(f.get(), central) && put(f.get(), end) && std::fclose(f.release()) == 0;
}
