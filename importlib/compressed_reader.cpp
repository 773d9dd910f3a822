#include "compressed_reader.h"

#include <cstring>
#include <new>

#include "import.h"

namespace {

// Stored bytes read at once for a run of compressed sectors: 512 sectors stored as they are,
// or about twice as many compressed. Large enough that the per-read cost vanishes next to
// decoding, small enough to stay in the processor's cache on its way to the copy buffer.
constexpr size_t STAGING_BYTES = 1u << 20;

}  // namespace

int compressed_reader::open(std::unique_ptr<stored_image> stored, int kind, std::string* message) {
  stored_ = std::move(stored);
  kind_ = kind;
  staging_.reset(new (std::nothrow) uint8_t[STAGING_BYTES]);
  if (!staging_) return IMPORT_ERR_NO_MEMORY;
  std::string reason;
  const int status = compressed_open(&image_, kind, stored_->part_sizes(), *stored_, &reason);
  if (status == IMPORT_ERR_DAMAGED) return damaged(reason, message);
  if (status == IMPORT_ERR_SOURCE_IO) {
    // A part of a split image that cannot be read has named itself.
    *message =
        stored_->part_count() > 1 ? reason : "cannot read " + stored_->first_path() + ": " + reason;
    return status;
  }
  if (status != IMPORT_OK) return status;
  // One CSO stream cut into parts is cut evenly, as a plain image is.
  return image_.segments.size() > 1 ? IMPORT_OK : stored_->check_cut_evenly(message);
}

int compressed_reader::damaged(const std::string& reason, std::string* message) const {
  *message = "damaged ";
  *message += compressed_kind_name(kind_);
  *message += " image: " + reason;
  return IMPORT_ERR_DAMAGED;
}

int compressed_reader::read(uint64_t pos, void* buffer, size_t len, std::string* message) {
  message->clear();
  if (!inside(pos, len)) return IMPORT_ERR_SOURCE_IO;
  auto* out = static_cast<uint8_t*>(buffer);
  std::string reason;
  auto fail = [&](int status) {
    // A read that fails has said what it could (the part, when split).
    return status == IMPORT_ERR_DAMAGED ? damaged(reason, message) : status;
  };
  while (len > 0) {
    const uint64_t sector = pos / COMPRESSED_SECTOR;
    const size_t skip = static_cast<size_t>(pos % COMPRESSED_SECTOR);
    // Sectors wanted only in part go through a sector of their own; whole ones are decoded
    // in place, as many at a time as their records fill the staging buffer.
    const bool partial = skip != 0 || len < COMPRESSED_SECTOR;
    const uint64_t wanted = partial ? 1 : len / COMPRESSED_SECTOR;
    compressed_block first{};
    int status = compressed_locate(image_, sector, &first, &reason);
    if (status != IMPORT_OK) return fail(status);
    uint64_t end = first.pos + first.len;
    uint64_t run = 1;
    for (compressed_block next{}; run < wanted; ++run) {
      if ((status = compressed_locate(image_, sector + run, &next, &reason)) != IMPORT_OK)
        return fail(status);
      if (next.pos < end || next.pos + next.len - first.pos > STAGING_BYTES) break;
      end = next.pos + next.len;
    }
    if ((status = stored_->read(first.pos, staging_.get(), static_cast<size_t>(end - first.pos),
                                message)) != IMPORT_OK)
      return fail(status);
    uint8_t one[COMPRESSED_SECTOR];
    for (uint64_t i = 0; i < run; ++i) {
      compressed_block block{};
      compressed_locate(image_, sector + i, &block, &reason);
      uint8_t* into = partial ? one : out + i * COMPRESSED_SECTOR;
      if ((status = compressed_decode(image_, sector + i, block,
                                      staging_.get() + (block.pos - first.pos), into, &reason)) !=
          IMPORT_OK)
        return fail(status);
    }
    size_t done = static_cast<size_t>(run * COMPRESSED_SECTOR);
    if (partial) {
      done = COMPRESSED_SECTOR - skip < len ? COMPRESSED_SECTOR - skip : len;
      std::memcpy(out, one + skip, done);
    }
    out += done;
    pos += done;
    len -= done;
  }
  return IMPORT_OK;
}
