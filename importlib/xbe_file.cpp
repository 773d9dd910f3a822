#include "xbe_file.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "byte_reader.h"
#include "fs.h"
#include "import.h"
#include "media_patch.h"
#include "sha256.h"
#include "xbe_info.h"

namespace {

constexpr size_t SCAN_CHUNK = 1024 * 1024;

}  // namespace

int is_supported_xbe(const char* path) {
  uint8_t digest[32];
  if (!path || sha256_file(path, digest) != 0) return 0;
  char hex[65];
  digest_to_hex(digest, hex);
  return std::strcmp(hex, SUPPORTED_XBE_SHA256) == 0 ? 1 : 0;
}

int xbe_undo_media_patch(const char* path, uint32_t* places) {
  if (places) *places = 0;
  unique_file f(open_utf8(path, "r+b"));
  if (!f) return -1;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[SCAN_CHUNK]);
  if (!buffer) return -1;
  media_patch_scan scan;
  media_patch_init(&scan);
  for (;;) {
    const size_t n = std::fread(buffer.get(), 1, SCAN_CHUNK, f.get());
    media_patch_update(&scan, buffer.get(), n);
    if (n < SCAN_CHUNK) break;
  }
  if (std::ferror(f.get())) return -1;
  if (places) *places = static_cast<uint32_t>(scan.runs > UINT32_MAX ? UINT32_MAX : scan.runs);
  if (scan.runs == 0 || !media_patch_restorable(&scan)) return 0;
  uint8_t digest[32];
  media_patch_final(&scan, digest);
  char hex[65];
  digest_to_hex(digest, hex);
  if (std::strcmp(hex, SUPPORTED_XBE_SHA256) != 0) return 0;
  for (uint64_t i = 0; i < scan.runs; ++i) {
    if (seek_to(f.get(), scan.offsets[i]) != 0 ||
        std::fputc(MEDIA_PATCH_RETAIL_BYTE, f.get()) == EOF)
      return -1;
  }
  // Written back into a ".part" that is about to take its name: on the disk first.
  if (flush_written_file(f.get(), 0) != 0) return -1;
  return std::fclose(f.release()) == 0 ? 1 : -1;
}

std::string xbe_describe_file(const char* path) {
  uint64_t size = 0;
  if (path_kind(path, &size) != PATH_FILE) return {};
  unique_file f(open_utf8(path, "rb"));
  if (!f) return {};
  file_reader reader(f.get(), size);
  return xbe_info_line_from(reader);
}

int judge_xbe_range(byte_reader& bytes, uint64_t offset, uint64_t size) {
  // One read feeds both digests: the file as it is, and as it was before an XISO tool patched
  // it. Reading it twice cost 2.6 times `openssl dgst` on a 1 GiB file.
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[SCAN_CHUNK]);
  if (!buffer || offset > bytes.size() || size > bytes.size() - offset) return XBE_OTHER;
  sha256_ctx plain;
  sha256_init(&plain);
  media_patch_scan scan;
  media_patch_init(&scan);
  std::string message;
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(size - done < SCAN_CHUNK ? size - done : SCAN_CHUNK);
    if (bytes.read(offset + done, buffer.get(), n, &message) != IMPORT_OK) return XBE_OTHER;
    sha256_update(&plain, buffer.get(), n);
    media_patch_update(&scan, buffer.get(), n);
    done += n;
  }
  uint8_t digest[32];
  char hex[65];
  sha256_final(&plain, digest);
  digest_to_hex(digest, hex);
  if (std::strcmp(hex, SUPPORTED_XBE_SHA256) == 0) return XBE_SUPPORTED;
  if (scan.runs == 0 || !media_patch_restorable(&scan)) return XBE_OTHER;
  media_patch_final(&scan, digest);
  digest_to_hex(digest, hex);
  return std::strcmp(hex, SUPPORTED_XBE_SHA256) == 0 ? XBE_MEDIA_PATCHED : XBE_OTHER;
}

int judge_xbe(const char* path) {
  uint64_t size = 0;
  if (!path || path_kind(path, &size) != PATH_FILE) return XBE_OTHER;
  unique_file f(open_utf8(path, "rb"));
  if (!f) return XBE_OTHER;
  std::setvbuf(f.get(), nullptr, _IONBF, 0);
  file_reader reader(f.get(), size);
  return judge_xbe_range(reader, 0, size);
}

int is_media_patched_xbe(const char* path) { return judge_xbe(path) == XBE_MEDIA_PATCHED; }
