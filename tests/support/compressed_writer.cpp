#include "compressed_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "le_bytes.h"
#include "testutil.h"
#include "zip_writer.h"

namespace {

constexpr size_t SECTOR = 2048;
constexpr size_t MIN_MATCH = 4;
constexpr size_t LAST_LITERALS = 5;       // the last 5 bytes are literals
constexpr size_t MATCH_START_LIMIT = 12;  // the last match starts at least 12 bytes before the end
constexpr size_t MAX_OFFSET = 65535;
constexpr int HASH_BITS = 12;

void put_length(std::vector<uint8_t>& out, size_t v) {
  for (; v >= 255; v -= 255) out.push_back(255);
  out.push_back(static_cast<uint8_t>(v));
}

// One sequence: `lit_len` literals from `lit`, then a match (none when match_len is 0).
void put_sequence(std::vector<uint8_t>& out, const uint8_t* lit, size_t lit_len, size_t offset,
                  size_t match_len) {
  const size_t ml = match_len ? match_len - MIN_MATCH : 0;
  out.push_back(static_cast<uint8_t>((lit_len < 15 ? lit_len : 15) << 4 | (ml < 15 ? ml : 15)));
  if (lit_len >= 15) put_length(out, lit_len - 15);
  out.insert(out.end(), lit, lit + lit_len);
  if (match_len == 0) return;
  append_le(out, offset, 2);
  if (ml >= 15) put_length(out, ml - 15);
}

std::vector<uint8_t> sector_of(const disc_image& image, uint64_t s) {
  return image.get(s * SECTOR, SECTOR);  // zeros past the image's end
}

uint64_t sectors_of(const disc_image& image) { return (image.size() + SECTOR - 1) / SECTOR; }

// The LZ4 block of sector `s` when it is to be stored compressed: when allowed and under
// `limit` bytes. Empty otherwise.
std::vector<uint8_t> packed(const std::vector<uint8_t>& sector, uint64_t s,
                            const compressed_options& options, size_t limit) {
  if (options.store_raw && options.store_raw(s)) return {};
  std::vector<uint8_t> lz4 = lz4_compress_block(sector.data(), sector.size());
  if (lz4.size() >= limit) return {};
  return lz4;
}

// Pads a CSO part with 1 to 1,024 zeros to a whole KiB.
void pad_part(std::vector<uint8_t>& part) {
  part.resize(part.size() + 0x400 - (part.size() & 0x3FF));
}

}  // namespace

std::vector<uint8_t> lz4_compress_block(const uint8_t* data, size_t len) {
  std::vector<uint8_t> out;
  size_t anchor = 0;
  if (len > MATCH_START_LIMIT) {
    std::vector<int64_t> table(size_t{1} << HASH_BITS, -1);
    const size_t last_start = len - MATCH_START_LIMIT, match_end = len - LAST_LITERALS;
    for (size_t i = 0; i <= last_start;) {
      uint32_t seq;
      std::memcpy(&seq, data + i, 4);
      const size_t h = (seq * 2654435761u) >> (32 - HASH_BITS);
      const int64_t cand = table[h];
      table[h] = static_cast<int64_t>(i);
      const size_t from = static_cast<size_t>(cand);
      if (cand < 0 || i - from > MAX_OFFSET || std::memcmp(data + from, data + i, 4) != 0) {
        ++i;
        continue;
      }
      size_t n = MIN_MATCH;
      while (i + n < match_end && data[from + n] == data[i + n]) ++n;
      put_sequence(out, data + anchor, i - anchor, i - from, n);
      i += n;
      anchor = i;
    }
  }
  put_sequence(out, data + anchor, len - anchor, 0, 0);
  return out;
}

std::vector<std::vector<uint8_t>> write_cci(const disc_image& image,
                                            const compressed_options& options) {
  std::vector<std::vector<uint8_t>> parts;
  std::vector<uint32_t> index;  // entries of the part being written
  auto finish = [&]() {
    std::vector<uint8_t>& part = parts.back();
    const uint64_t index_at = part.size();
    for (uint32_t e : index) append_le(part, e, 4);
    append_le(part, index_at >> 2, 4);
    std::memcpy(part.data(), "CCIM", 4);
    put_le32(part, 4, 32);
    put_le64(part, 8, static_cast<uint64_t>(index.size()) * SECTOR);
    put_le64(part, 16, index_at);
    put_le32(part, 24, SECTOR);
    part[28] = 1;  // version
    part[29] = 2;  // index alignment
    index.clear();
  };
  parts.emplace_back(32);
  const uint64_t sectors = sectors_of(image);
  for (uint64_t s = 0; s < sectors; ++s) {
    if (options.split_size && parts.back().size() > options.split_size) {
      finish();
      parts.emplace_back(32);
    }
    std::vector<uint8_t>& part = parts.back();
    const std::vector<uint8_t> sector = sector_of(image, s);
    const std::vector<uint8_t> lz4 = packed(sector, s, options, SECTOR - 8);
    const uint32_t entry = static_cast<uint32_t>(part.size() >> 2);
    if (lz4.empty()) {
      index.push_back(entry);
      part.insert(part.end(), sector.begin(), sector.end());
    } else {
      index.push_back(entry | 0x80000000u);
      const uint8_t pad = static_cast<uint8_t>((4 - (lz4.size() + 1) % 4) % 4);
      part.push_back(pad);
      part.insert(part.end(), lz4.begin(), lz4.end());
      part.resize(part.size() + pad);
    }
  }
  finish();
  return parts;
}

std::vector<std::vector<uint8_t>> write_cso(const disc_image& image,
                                            const compressed_options& options) {
  const uint64_t sectors = sectors_of(image);
  std::vector<std::vector<uint8_t>> parts(1);
  std::vector<uint8_t>* part = &parts[0];
  part->resize(24 + 4 * (sectors + 1));
  std::vector<uint32_t> index;
  const bool restart = options.split_size && !options.cso_one_stream;
  for (uint64_t s = 0; s < sectors; ++s) {
    if (restart && part->size() > options.split_size) {
      parts.emplace_back();
      part = &parts.back();
    }
    part->resize((part->size() + 3) & ~size_t{3});
    const std::vector<uint8_t> sector = sector_of(image, s);
    const std::vector<uint8_t> lz4 = packed(sector, s, options, SECTOR - 12 - 4);
    const uint32_t entry = static_cast<uint32_t>(part->size() >> 2);
    if (lz4.empty()) {
      index.push_back(entry);
      part->insert(part->end(), sector.begin(), sector.end());
    } else {
      index.push_back(entry | 0x80000000u);
      append_le(*part, lz4.size(), 4);
      part->insert(part->end(), lz4.begin(), lz4.end());
    }
  }
  index.push_back(static_cast<uint32_t>(part->size() >> 2));  // rounded down, as written
  std::vector<uint8_t>& first = parts[0];
  std::memcpy(first.data(), "CISO", 4);
  put_le32(first, 4, 24);
  put_le64(first, 8, sectors * SECTOR);
  put_le32(first, 16, SECTOR);
  first[20] = 2;  // version
  first[21] = 2;  // index alignment
  for (size_t i = 0; i < index.size(); ++i) put_le32(first, 24 + 4 * i, index[i]);
  if (options.cso_one_stream) {
    if (options.split_size) {
      std::vector<uint8_t> stream = std::move(first);
      parts.clear();
      for (size_t at = 0; at < stream.size(); at += options.split_size) {
        const size_t n = std::min<size_t>(options.split_size, stream.size() - at);
        parts.emplace_back(stream.begin() + at, stream.begin() + at + n);
      }
    }
  } else {
    for (std::vector<uint8_t>& p : parts) pad_part(p);
  }
  return parts;
}

std::vector<uint64_t> part_sizes(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint64_t> sizes;
  for (const std::vector<uint8_t>& p : parts) sizes.push_back(p.size());
  return sizes;
}

uint64_t parts_reader::size() const {
  uint64_t total = 0;
  for (const std::vector<uint8_t>& p : parts_) total += p.size();
  return total;
}

int parts_reader::read(uint64_t pos, void* out, size_t len, std::string* message) {
  message->clear();
  uint8_t* to = static_cast<uint8_t*>(out);
  for (const std::vector<uint8_t>& p : parts_) {
    if (len == 0) break;
    if (pos >= p.size()) {
      pos -= p.size();
      continue;
    }
    const size_t n = std::min<size_t>(len, p.size() - pos);
    std::memcpy(to, p.data() + pos, n);
    to += n;
    len -= n;
    pos = 0;
  }
  return len == 0 ? IMPORT_OK : IMPORT_ERR_SOURCE_IO;
}

uint32_t spoil_cci_block(std::vector<uint8_t>& cci, uint64_t block) {
  const uint32_t entry = get_le32(cci, static_cast<size_t>(get_le32(cci, 16) + 4 * block));
  const size_t record = static_cast<size_t>(entry & 0x7FFFFFFFu) << 2;
  std::fill(cci.begin() + record + 1, cci.begin() + record + 9, 0xFF);
  return entry;
}

void alter_cci_block(std::vector<uint8_t>& cci, uint64_t block) {
  const uint32_t entry = get_le32(cci, static_cast<size_t>(get_le32(cci, 16) + 4 * block));
  size_t at = static_cast<size_t>(entry & 0x7FFFFFFFu) << 2;
  if (entry & 0x80000000u) {
    // The padding count, the token, then the literal length's extra bytes when it is 15+.
    const uint8_t token = cci.at(at + 1);
    if ((token >> 4) == 0) throw std::runtime_error("LZ4 record without a literal first");
    at += 2;
    if ((token >> 4) == 15)
      while (cci.at(at++) == 255) {
      }
  }
  cci.at(at) ^= 0x5A;
}

const std::vector<form_info>& image_forms() {
  static const std::vector<form_info> forms = {
      {image_form::iso, "ISO", "", false},
      {image_form::split_iso, "split ISO", "", true},
      {image_form::cci, "CCI", "CCI", false},
      {image_form::split_cci, "split CCI", "CCI", true},
      {image_form::cso, "CSO", "CSO", false},
      {image_form::split_cso, "split CSO", "CSO", true},
      {image_form::cso_one_stream, "CSO cut as one stream", "CSO", true},
      {image_form::zip_stored, "stored ZIP", "ZIP", false},
      {image_form::zip_deflated, "deflated ZIP", "ZIP", false},
      {image_form::zip64, "zip64 ZIP with a data descriptor", "ZIP", false},
  };
  return forms;
}

std::string save_in_form(const disc_image& image, image_form form, const std::string& stem,
                         uint64_t split_size, std::vector<std::string>* parts) {
  const char* ext = form == image_form::iso || form == image_form::split_iso   ? ".iso"
                    : form == image_form::cci || form == image_form::split_cci ? ".cci"
                                                                               : ".cso";
  std::vector<std::vector<uint8_t>> bytes;
  compressed_options options;
  bool split = true;
  switch (form) {
    case image_form::iso:
      if (parts) *parts = {stem + ext};
      return image.save(stem + ext) ? stem + ext : "";
    case image_form::split_iso: {
      const std::vector<uint8_t> all = image.dense();
      for (size_t at = 0; at < all.size(); at += split_size)
        bytes.emplace_back(all.begin() + at,
                           all.begin() + at + std::min<size_t>(split_size, all.size() - at));
      break;
    }
    case image_form::cci:
    case image_form::cso:
      split = false;
      [[fallthrough]];
    case image_form::split_cci:
    case image_form::split_cso:
    case image_form::cso_one_stream:
      options.split_size = split ? split_size : 0;
      options.cso_one_stream = form == image_form::cso_one_stream;
      bytes = std::string(ext) == ".cci" ? write_cci(image, options) : write_cso(image, options);
      break;
    case image_form::zip_stored:
    case image_form::zip_deflated:
    case image_form::zip64: {
      const std::string path = stem + ".zip";
      if (parts) *parts = {path};
      zip_write_options zip;
      zip.deflate = form != image_form::zip_stored;
      zip.zip64 = form == image_form::zip64;
      const std::string entry = stem.substr(stem.find_last_of("/\\") + 1) + ".iso";
      return write_zip(path, entry, image, zip) ? path : "";
    }
  }
  std::vector<std::string> names;
  for (size_t k = 0; k < bytes.size(); ++k) {
    names.push_back(split ? stem + "." + std::to_string(k + 1) + ext : stem + ext);
    write_file(names.back(), bytes[k]);
  }
  if (parts) *parts = names;
  return names[0];
}
