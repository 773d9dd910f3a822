#include "compressed_image.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "byte_order.h"
#include "byte_reader.h"
#include "import.h"
#include "lz4.h"

namespace {

constexpr uint32_t CCI_MAGIC = 0x4D494343;  // "CCIM"
constexpr uint32_t CSO_MAGIC = 0x4F534943;  // "CISO"
constexpr uint32_t CCI_HEADER = 32;
constexpr uint32_t CSO_HEADER = 24;
constexpr uint8_t CCI_VERSION = 1;
constexpr uint8_t CSO_VERSION = 2;
constexpr uint8_t INDEX_SHIFT = 2;  // both formats, all their writers
constexpr uint32_t LZ4_FLAG = 0x80000000;
constexpr uint64_t MAX_SECTORS = COMPRESSED_MAX_IMAGE / COMPRESSED_SECTOR;

// A CSO writer that restarts positions in the next part does so once the part has passed its
// split size; the part then ends with that last record (at most a 2,048-byte sector) and the
// zeros that pad every part to a whole KiB (1 to 1,024 bytes). A restart anywhere else is a
// damaged entry, not a split.
constexpr uint64_t CSO_SPLIT_TAIL = COMPRESSED_SECTOR + 1024;

// Entries read per call while loading an index: 64 KiB at a time.
constexpr size_t INDEX_WINDOW = 16384;

uint64_t entry_pos(uint32_t entry) {
  return static_cast<uint64_t>(entry & ~LZ4_FLAG) << INDEX_SHIFT;
}

int vfail(std::string* reason, int status, const char* format, va_list args) {
  if (reason) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    *reason = text;
  }
  return status;
}

#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 3, 4)))
#endif
int fail(std::string* reason, int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfail(reason, status, format, args);
  va_end(args);
  return status;
}

// Reads from the stored bytes. A read that fails with a message of its own (a part of a split
// image that cannot be read names itself) passes that on as the reason; without one, the
// reason is `format`'s text and the status IMPORT_ERR_SOURCE_IO.
#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 6, 7)))
#endif
int read_stored(byte_reader& stored, uint64_t pos, void* out, size_t len, std::string* reason,
                const char* format, ...) {
  std::string message;
  const int status = stored.read(pos, out, len, &message);
  if (status == IMPORT_OK) return IMPORT_OK;
  if (!message.empty()) {
    if (reason) *reason = message;
    return status;
  }
  va_list args;
  va_start(args, format);
  vfail(reason, IMPORT_ERR_SOURCE_IO, format, args);
  va_end(args);
  return IMPORT_ERR_SOURCE_IO;
}

// "part 2: " before a reason about one part of a split image; nothing for a single part.
struct part_label {
  char text[32] = "";
  part_label(size_t part, size_t parts) {
    if (parts > 1) std::snprintf(text, sizeof text, "part %u: ", static_cast<unsigned>(part + 1));
  }
};

// Appends `count` entries read at stored position `pos` to image->index.
int load_entries(compressed_image* image, uint64_t pos, uint64_t count, byte_reader& stored,
                 std::string* reason) {
  std::vector<uint8_t> window(INDEX_WINDOW * 4);
  image->index.reserve(image->index.size() + static_cast<size_t>(count));
  while (count > 0) {
    const size_t n = count < INDEX_WINDOW ? static_cast<size_t>(count) : INDEX_WINDOW;
    if (int status = read_stored(stored, pos, window.data(), n * 4, reason,
                                 "cannot read the index at 0x%" PRIx64, pos))
      return status;
    for (size_t i = 0; i < n; ++i) image->index.push_back(le32(&window[4 * i]));
    pos += n * 4;
    count -= n;
  }
  return IMPORT_OK;
}

// The checks both headers share: a size that is whole sectors and within the cap.
int check_size(uint64_t size, uint64_t sectors_before, const part_label& part,
               std::string* reason) {
  if (size % COMPRESSED_SECTOR != 0)
    return fail(reason, IMPORT_ERR_DAMAGED,
                "%suncompressed size %" PRIu64 " is not a whole number of 2048-byte sectors",
                part.text, size);
  if (size / COMPRESSED_SECTOR > MAX_SECTORS - sectors_before)
    return fail(reason, IMPORT_ERR_DAMAGED,
                "%suncompressed size %" PRIu64 " is more than the 8 GiB a disc holds", part.text,
                size);
  return IMPORT_OK;
}

int check_field(uint64_t value, uint64_t expected, const char* name, const part_label& part,
                std::string* reason) {
  if (value == expected) return IMPORT_OK;
  return fail(reason, IMPORT_ERR_DAMAGED, "%s%s %" PRIu64 " (expected %" PRIu64 ")", part.text,
              name, value, expected);
}

// Entries first..last (inclusive) of image->index must rise strictly, from at least `lowest`
// to at most `highest`. Messages number the entries from `number` (their part's own count).
int check_rising(const compressed_image& image, size_t first, size_t last, size_t number,
                 uint64_t lowest, uint64_t highest, const part_label& part, std::string* reason) {
  uint64_t prev = 0;
  for (size_t i = first; i <= last; ++i) {
    const uint64_t pos = entry_pos(image.index[i]);
    const uint64_t n = number + (i - first);
    if (i == first && pos < lowest)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "%sindex entry %" PRIu64 " (0x%" PRIx64 ") points before the data (0x%" PRIx64
                  ")",
                  part.text, n, pos, lowest);
    if (i > first && pos <= prev)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "%sindex entry %" PRIu64 " (0x%" PRIx64 ") is not after entry %" PRIu64
                  " (0x%" PRIx64 ")",
                  part.text, n, pos, n - 1, prev);
    if (pos > highest)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "%sindex entry %" PRIu64 " (0x%" PRIx64 ") points past the data (0x%" PRIx64 ")",
                  part.text, n, pos, highest);
    prev = pos;
  }
  return IMPORT_OK;
}

// The segment holding `sector`.
const compressed_segment& segment_of(const compressed_image& image, uint64_t sector) {
  size_t lo = 0, hi = image.segments.size();
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    (image.segments[mid].first_sector <= sector ? lo : hi) = mid;
  }
  return image.segments[lo];
}

// Where the record of `sector` starts, relative to its segment's base, and how many bytes it
// may take: up to the next record, or for a segment's last one up to the segment's end (CSO;
// the writers record the end of the last CSO block rounded down to 4 bytes, so it may reach
// 3 bytes past its end entry). Positive by the checks of compressed_open.
void record_room(const compressed_image& image, uint64_t sector, const compressed_segment*& seg,
                 uint64_t* pos, uint64_t* room, uint32_t* entry) {
  seg = &segment_of(image, sector);
  const size_t i = seg->index_base + static_cast<size_t>(sector - seg->first_sector);
  *entry = image.index[i];
  *pos = entry_pos(*entry);
  uint64_t limit = entry_pos(image.index[i + 1]);
  if (image.kind == COMPRESSED_CSO) {
    const uint64_t seg_end = seg->end - seg->base;
    const bool last_segment = seg == &image.segments.back();
    if (!last_segment && sector + 1 == seg[1].first_sector)
      limit = seg_end;  // the next entry starts the next part
    else if (last_segment && sector + 1 == image.sectors)
      limit = limit + (1u << INDEX_SHIFT) - 1 < seg_end ? limit + (1u << INDEX_SHIFT) - 1 : seg_end;
  }
  *room = limit - *pos;
}

int open_cci(compressed_image* image, const std::vector<uint64_t>& part_sizes, byte_reader& stored,
             std::string* reason) {
  uint64_t start = 0;
  for (size_t k = 0; k < part_sizes.size(); ++k) {
    const part_label part(k, part_sizes.size());
    const uint64_t size = part_sizes[k];
    if (size < CCI_HEADER)
      return fail(reason, IMPORT_ERR_DAMAGED, "%s%" PRIu64 " bytes cannot hold a CCI header",
                  part.text, size);
    uint8_t h[CCI_HEADER];
    int status =
        read_stored(stored, start, h, sizeof h, reason, "%scannot read the header", part.text);
    if (status != IMPORT_OK) return status;
    if (le32(h) != CCI_MAGIC) return fail(reason, IMPORT_ERR_DAMAGED, "%sno CCIM magic", part.text);
    if ((status = check_field(le32(h + 4), CCI_HEADER, "header size", part, reason)) ||
        (status = check_field(le32(h + 24), COMPRESSED_SECTOR, "block size", part, reason)) ||
        (status = check_field(h[28], CCI_VERSION, "version", part, reason)) ||
        (status = check_field(h[29], INDEX_SHIFT, "index alignment", part, reason)) ||
        (status = check_size(le64(h + 8), image->sectors, part, reason)))
      return status;
    const uint64_t sectors = le64(h + 8) / COMPRESSED_SECTOR;
    const uint64_t index_at = le64(h + 16);
    // The index must be in the file before it is allocated: a header cannot make us reserve
    // more than the part holds.
    if (index_at < CCI_HEADER || index_at > size || (size - index_at) / 4 < sectors + 1)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "%sindex of %" PRIu64 " entries at 0x%" PRIx64 " does not fit in %" PRIu64
                  " bytes",
                  part.text, sectors + 1, index_at, size);
    const size_t base = image->index.size();
    if ((status = load_entries(image, start + index_at, sectors + 1, stored, reason)) ||
        (status = check_rising(*image, base, base + static_cast<size_t>(sectors), 0, CCI_HEADER,
                               index_at, part, reason)))
      return status;
    image->segments.push_back({image->sectors, start, start + index_at, base});
    image->sectors += sectors;
    start += size;
  }
  // Every LZ4 record within the bound (records at most this long are read whole).
  for (uint64_t s = 0; s < image->sectors; ++s) {
    const compressed_segment* seg;
    uint64_t pos, room;
    uint32_t entry;
    record_room(*image, s, seg, &pos, &room, &entry);
    if ((entry & LZ4_FLAG || room < COMPRESSED_SECTOR) && room > COMPRESSED_MAX_RECORD)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "block %" PRIu64 ": LZ4 record of %" PRIu64 " bytes (at most %u hold a sector)",
                  s, room, COMPRESSED_MAX_RECORD);
  }
  return IMPORT_OK;
}

int open_cso(compressed_image* image, const std::vector<uint64_t>& part_sizes, byte_reader& stored,
             std::string* reason) {
  const part_label none(0, 1);
  if (part_sizes[0] < CSO_HEADER)
    return fail(reason, IMPORT_ERR_DAMAGED, "%" PRIu64 " bytes cannot hold a CSO header",
                part_sizes[0]);
  uint8_t h[CSO_HEADER];
  int status = read_stored(stored, 0, h, sizeof h, reason, "cannot read the header");
  if (status != IMPORT_OK) return status;
  if (le32(h) != CSO_MAGIC) return fail(reason, IMPORT_ERR_DAMAGED, "no CISO magic");
  // The PSP's CSO has the same magic, header and block size, and deflate blocks.
  if (h[20] == 1)
    return fail(reason, IMPORT_ERR_DAMAGED,
                "version 1 (expected 2): a version 1 CSO holds a PSP disc, not an Xbox one");
  if ((status = check_field(le32(h + 4), CSO_HEADER, "header size", none, reason)) ||
      (status = check_field(le32(h + 16), COMPRESSED_SECTOR, "block size", none, reason)) ||
      (status = check_field(h[20], CSO_VERSION, "version", none, reason)) ||
      (status = check_field(h[21], INDEX_SHIFT, "index alignment", none, reason)) ||
      (status = check_size(le64(h + 8), 0, none, reason)))
    return status;
  const uint64_t sectors = le64(h + 8) / COMPRESSED_SECTOR;
  // In the file before it is allocated, as for CCI.
  if ((part_sizes[0] - CSO_HEADER) / 4 < sectors + 1)
    return fail(reason, IMPORT_ERR_DAMAGED,
                "index of %" PRIu64 " entries does not fit in %" PRIu64 " bytes", sectors + 1,
                part_sizes[0]);
  if ((status = load_entries(image, CSO_HEADER, sectors + 1, stored, reason))) return status;
  image->sectors = sectors;
  const uint64_t data_at = CSO_HEADER + 4 * (sectors + 1);

  // Where positions start again from 0, each such block begins the next part.
  std::vector<uint64_t> restarts;
  for (uint64_t s = 1; s < sectors; ++s) {
    const uint64_t pos = entry_pos(image->index[s]), prev = entry_pos(image->index[s - 1]);
    if (pos > prev || pos != 0) continue;
    const size_t part = restarts.size();
    const unsigned shown = static_cast<unsigned>(part + 1);  // parts count from 1 in messages
    if (part + 1 >= part_sizes.size())
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "index entry %" PRIu64 " starts again from 0 but there is no part %u", s,
                  shown + 1);
    if (prev >= part_sizes[part] || part_sizes[part] - prev > CSO_SPLIT_TAIL)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "index entry %" PRIu64 " starts again from 0 but block %" PRIu64 " (0x%" PRIx64
                  ") is not the last of part %u (%" PRIu64 " bytes)",
                  s, s - 1, prev, shown, part_sizes[part]);
    restarts.push_back(s);
  }
  uint64_t total = 0;
  for (uint64_t size : part_sizes) total += size;
  if (restarts.empty()) {
    // One stream, however many parts it was cut into.
    image->segments.push_back({0, 0, total, 0});
  } else {
    if (restarts.size() + 1 != part_sizes.size())
      return fail(reason, IMPORT_ERR_DAMAGED, "index uses %u parts of the %u given",
                  static_cast<unsigned>(restarts.size() + 1),
                  static_cast<unsigned>(part_sizes.size()));
    uint64_t start = 0;
    for (size_t k = 0; k < part_sizes.size(); ++k) {
      const uint64_t first = k == 0 ? 0 : restarts[k - 1];
      image->segments.push_back({first, start, start + part_sizes[k], static_cast<size_t>(first)});
      start += part_sizes[k];
    }
  }
  for (size_t k = 0; k < image->segments.size(); ++k) {
    const compressed_segment& seg = image->segments[k];
    const bool last = k + 1 == image->segments.size();
    const size_t first = static_cast<size_t>(seg.first_sector);
    // A part's last block starts inside it; the image's end entry may point at its end.
    const size_t end_entry = last ? static_cast<size_t>(sectors)
                                  : static_cast<size_t>(image->segments[k + 1].first_sector) - 1;
    const uint64_t highest = seg.end - seg.base - (last ? 0 : 1);
    if ((status = check_rising(*image, first, end_entry, first, k == 0 ? data_at : 0, highest, none,
                               reason)))
      return status;
  }
  return IMPORT_OK;
}

}  // namespace

int compressed_kind_of(const void* head, size_t len) {
  if (len < 4) return COMPRESSED_NONE;
  const uint32_t magic = le32(static_cast<const uint8_t*>(head));
  return magic == CCI_MAGIC   ? COMPRESSED_CCI
         : magic == CSO_MAGIC ? COMPRESSED_CSO
                              : COMPRESSED_NONE;
}

const char* compressed_kind_name(int kind) {
  return kind == COMPRESSED_CCI ? "CCI" : kind == COMPRESSED_CSO ? "CSO" : "";
}

int compressed_open(compressed_image* image, int kind, const std::vector<uint64_t>& part_sizes,
                    byte_reader& stored, std::string* reason) {
  *image = compressed_image();
  image->kind = kind;
  int status;
  try {
    if (part_sizes.empty() || (kind != COMPRESSED_CCI && kind != COMPRESSED_CSO))
      status = fail(reason, IMPORT_ERR_DAMAGED, "not a CCI or CSO image");
    else if (kind == COMPRESSED_CCI)
      status = open_cci(image, part_sizes, stored, reason);
    else
      status = open_cso(image, part_sizes, stored, reason);
  } catch (const std::bad_alloc&) {
    status = IMPORT_ERR_NO_MEMORY;
  }
  if (status != IMPORT_OK) *image = compressed_image();
  return status;
}

int compressed_locate(const compressed_image& image, uint64_t sector, compressed_block* block,
                      std::string* reason) {
  if (sector >= image.sectors)
    return fail(reason, IMPORT_ERR_DAMAGED,
                "sector %" PRIu64 " is past the image's end (%" PRIu64 " sectors)", sector,
                image.sectors);
  const compressed_segment* seg;
  uint64_t pos, room;
  uint32_t entry;
  record_room(image, sector, seg, &pos, &room, &entry);
  // A record too short for the sector as it is can only be LZ4, whatever its flag says: the
  // CCI format's own reader decodes it so.
  block->lz4 = (entry & LZ4_FLAG) != 0 || room < COMPRESSED_SECTOR;
  block->pos = seg->base + pos;
  block->len = !block->lz4                    ? COMPRESSED_SECTOR
               : room < COMPRESSED_MAX_RECORD ? static_cast<uint32_t>(room)
                                              : COMPRESSED_MAX_RECORD;
  return IMPORT_OK;
}

int compressed_decode(const compressed_image& image, uint64_t sector, const compressed_block& block,
                      const uint8_t* record, uint8_t* out, std::string* reason) {
  if (!block.lz4) {
    std::memcpy(out, record, COMPRESSED_SECTOR);
    return IMPORT_OK;
  }
  const uint8_t* lz4 = record;
  size_t lz4_len = 0;
  if (image.kind == COMPRESSED_CCI) {
    // A padding count, the LZ4 block, then that many padding bytes.
    if (record[0] + size_t{1} >= block.len)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "block %" PRIu64 ": padding count %u leaves no LZ4 data in its %u bytes", sector,
                  record[0], block.len);
    lz4 = record + 1;
    lz4_len = block.len - 1 - record[0];
  } else {
    // The LZ4 block's own length first: the index's end entry is rounded down, so the length
    // is taken from the block, and must fit in the room the index leaves it.
    if (block.len < 4)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "block %" PRIu64 ": %u bytes cannot hold an LZ4 length", sector, block.len);
    const uint32_t len = le32(record);
    if (len > block.len - 4)
      return fail(reason, IMPORT_ERR_DAMAGED,
                  "block %" PRIu64 ": LZ4 length %" PRIu32 " does not fit in its %u bytes", sector,
                  len, block.len - 4);
    lz4 = record + 4;
    lz4_len = len;
  }
  if (lz4_decode_block(lz4, lz4_len, out, COMPRESSED_SECTOR) != 0)
    return fail(reason, IMPORT_ERR_DAMAGED, "block %" PRIu64 " does not decode to 2048 bytes",
                sector);
  return IMPORT_OK;
}

int compressed_read_sector(const compressed_image& image, uint64_t sector, byte_reader& stored,
                           uint8_t* out, std::string* reason) {
  compressed_block block{};
  int status = compressed_locate(image, sector, &block, reason);
  if (status != IMPORT_OK) return status;
  uint8_t record[COMPRESSED_MAX_RECORD];
  uint8_t* into = block.lz4 ? record : out;  // a raw sector goes straight to its place
  status = read_stored(stored, block.pos, into, block.len, reason,
                       "cannot read block %" PRIu64 " at 0x%" PRIx64, sector, block.pos);
  if (status != IMPORT_OK) return status;
  return block.lz4 ? compressed_decode(image, sector, block, record, out, reason) : IMPORT_OK;
}
