#include "image_reader.h"

#include <cstring>
#include <new>

#include "entries.h"
#include "import.h"

namespace {

// Stored bytes read at once for a run of compressed sectors: 512 sectors stored as they are,
// or about twice as many compressed. Large enough that the per-read cost vanishes next to
// decoding, small enough to stay in the processor's cache on its way to the copy buffer.
constexpr size_t STAGING_BYTES = 1u << 20;

// Where the part number starts in `path` and how many digits it has, when its last component
// ends in ".<number>.<ext>"; false for any other name.
bool part_number(const std::string& path, size_t* at, size_t* len) {
  const size_t name = path.find_last_of("/\\");
  const size_t first = name == std::string::npos ? 0 : name + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < first + 2 || dot + 1 == path.size()) return false;
  size_t start = dot;
  while (start > first && path[start - 1] >= '0' && path[start - 1] <= '9') --start;
  // A name before the number: ".1.iso" is no part of anything.
  if (start == dot || start < first + 2 || path[start - 1] != '.') return false;
  *at = start;
  *len = dot - start;
  return true;
}

std::string part_path(const std::string& first, size_t digit, size_t number) {
  return first.substr(0, digit) + std::to_string(number) + first.substr(digit + 1);
}

}  // namespace

int find_image_parts(const char* path, std::vector<std::string>* parts, std::string* message) {
  parts->assign(1, path);
  const std::string first = path;
  size_t digit = 0, digits = 0;
  if (!part_number(first, &digit, &digits) || digits != 1 || first[digit] != '1') return IMPORT_OK;
  size_t n = 2;
  for (; path_kind(part_path(first, digit, n).c_str(), nullptr) == 1; ++n) {
    if (n > MAX_IMAGE_PARTS) {
      *message =
          "split image " + first + " has more than " + std::to_string(MAX_IMAGE_PARTS) + " parts";
      return IMPORT_ERR_SOURCE_IO;
    }
    parts->push_back(part_path(first, digit, n));
  }
  // A gap is a part lost on the way (a failed copy from the console, say), not the end: the
  // image would be read short and every file past the gap refused as truncated.
  for (size_t later = n + 1; later <= n + 9; ++later) {
    const std::string there = part_path(first, digit, later);
    if (path_kind(there.c_str(), nullptr) == 1) {
      *message = "part " + part_path(first, digit, n) + " of the split image is missing (" + there +
                 " is there)";
      return IMPORT_ERR_SOURCE_IO;
    }
  }
  return IMPORT_OK;
}

int image_reader::open(const char* path, std::string* message) {
  *this = image_reader();
  std::vector<std::string> names;
  int status = find_image_parts(path, &names, message);
  if (status != IMPORT_OK) return status;
  for (std::string& name : names) {
    part p;
    p.start = stored_size_;
    if (path_kind(name.c_str(), &p.size) != 1 || last_write_of(name.c_str(), &p.written) != 0 ||
        !(p.file.reset(open_utf8(name.c_str(), "rb")), p.file)) {
      *this = image_reader();
      *message = "cannot open " + name;
      return IMPORT_ERR_SOURCE_IO;
    }
    p.path = std::move(name);
    stored_size_ += p.size;
    parts_.push_back(std::move(p));
  }
  return finish_open(message);
}

int image_reader::open_streams(std::vector<unique_file> files, const std::vector<uint64_t>& sizes,
                               const char* name, std::string* message) {
  *this = image_reader();
  for (size_t k = 0; k < files.size() && k < sizes.size(); ++k) {
    part p;
    p.path = name;
    p.file = std::move(files[k]);
    p.start = stored_size_;
    p.size = sizes[k];
    p.on_disk = false;
    stored_size_ += p.size;
    parts_.push_back(std::move(p));
  }
  return finish_open(message);
}

int image_reader::finish_open(std::string* message) {
  size_ = stored_size_;
  uint8_t head[4];
  const int kind = stored_size_ >= sizeof head && read_stored(0, head, sizeof head, message) == 0
                       ? compressed_kind_of(head, sizeof head)
                       : COMPRESSED_NONE;
  message->clear();
  if (kind == COMPRESSED_NONE) {
    const int cut = check_cut_evenly(message);
    if (cut != IMPORT_OK) *this = image_reader();
    return cut;
  }
  staging_.reset(new (std::nothrow) uint8_t[STAGING_BYTES]);
  if (!staging_) {
    *this = image_reader();
    return IMPORT_ERR_NO_MEMORY;
  }
  std::vector<uint64_t> sizes;
  for (const part& p : parts_) sizes.push_back(p.size);
  std::string reason;
  const int status =
      compressed_open(&compressed_, kind, sizes, read_stored_callback, this, &reason);
  if (status == IMPORT_ERR_DAMAGED) {
    damaged(kind, reason, message);
  } else if (status == IMPORT_ERR_SOURCE_IO) {
    *message = last_error_.empty() ? "cannot read " + parts_[0].path + ": " + reason : last_error_;
  }
  // One CSO stream cut into parts is cut evenly, as a plain image is.
  const int cut = status != IMPORT_OK || compressed_.segments.size() > 1
                      ? IMPORT_OK
                      : check_cut_evenly(message);
  if (status != IMPORT_OK || cut != IMPORT_OK) {
    *this = image_reader();
    return status != IMPORT_OK ? status : cut;
  }
  size_ = compressed_.sectors * COMPRESSED_SECTOR;
  return IMPORT_OK;
}

int image_reader::check_cut_evenly(std::string* message) const {
  // Splitters cut every part but the last at one size. A part shorter than the first (a copy
  // from the console that stopped half-way) would shift every byte after it, and the files
  // there would be imported with another file's bytes; a longer one belongs elsewhere.
  for (size_t k = 1; k < parts_.size(); ++k) {
    const part& p = parts_[k];
    const bool last = k + 1 == parts_.size();
    if (p.size == parts_[0].size || (last && p.size < parts_[0].size)) continue;
    *message =
        "part " + p.path + " of the split image has " + std::to_string(p.size) +
        " bytes, not the " + std::to_string(parts_[0].size) + " of " + parts_[0].path +
        (p.size < parts_[0].size ? " (an unfinished copy?)" : " (not a part of this image?)");
    return IMPORT_ERR_SOURCE_IO;
  }
  return IMPORT_OK;
}

int image_reader::damaged(int kind, const std::string& reason, std::string* message) {
  *message = "damaged ";
  *message += compressed_kind_name(kind);
  *message += " image: " + reason;
  return IMPORT_ERR_DAMAGED;
}

int image_reader::read(uint64_t pos, void* buffer, size_t len, std::string* message) {
  message->clear();
  if (pos > size_ || len > size_ - pos) return IMPORT_ERR_SOURCE_IO;
  if (len == 0) return IMPORT_OK;
  if (compressed_.kind == COMPRESSED_NONE) return read_stored(pos, buffer, len, message);
  return read_compressed(pos, static_cast<uint8_t*>(buffer), len, message);
}

int image_reader::read_stored(uint64_t pos, void* buffer, size_t len, std::string* message) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t k = 0;
  while (k < parts_.size() && parts_[k].start + parts_[k].size <= pos) ++k;
  while (len > 0) {
    if (k == parts_.size()) return IMPORT_ERR_SOURCE_IO;
    part& p = parts_[k];
    const uint64_t in_part = p.start + p.size - pos;
    const size_t n = len < in_part ? len : static_cast<size_t>(in_part);
    if (seek_to(p.file.get(), pos - p.start) != 0 || std::fread(out, 1, n, p.file.get()) != n) {
      // Its size was known when it was opened: the part shrank, or the disk failed. Of a
      // whole image the caller's message says all; of a split one, which part it was.
      if (parts_.size() > 1)
        *message = "cannot read " + p.path + " (changed during the import, or a disk error?)";
      return IMPORT_ERR_SOURCE_IO;
    }
    out += n;
    pos += n;
    len -= n;
    ++k;
  }
  return IMPORT_OK;
}

int image_reader::read_stored_callback(void* self, uint64_t pos, void* buffer, size_t len) {
  auto* reader = static_cast<image_reader*>(self);
  return reader->read_stored(pos, buffer, len, &reader->last_error_) == 0 ? 0 : -1;
}

int image_reader::read_compressed(uint64_t pos, uint8_t* out, size_t len, std::string* message) {
  std::string reason;
  auto fail = [&](int status) {
    // A read that fails has said what it could (the part, when split).
    if (status == IMPORT_ERR_DAMAGED) return damaged(compressed_.kind, reason, message);
    return status;
  };
  while (len > 0) {
    const uint64_t sector = pos / COMPRESSED_SECTOR;
    const size_t skip = static_cast<size_t>(pos % COMPRESSED_SECTOR);
    // Sectors wanted only in part go through a sector of their own; whole ones are decoded
    // in place, as many at a time as their records fill the staging buffer.
    const bool partial = skip != 0 || len < COMPRESSED_SECTOR;
    const uint64_t wanted = partial ? 1 : len / COMPRESSED_SECTOR;
    compressed_block first{};
    int status = compressed_locate(compressed_, sector, &first, &reason);
    if (status != IMPORT_OK) return fail(status);
    uint64_t end = first.pos + first.len;
    uint64_t run = 1;
    for (compressed_block next{}; run < wanted; ++run) {
      if ((status = compressed_locate(compressed_, sector + run, &next, &reason)) != IMPORT_OK)
        return fail(status);
      if (next.pos < end || next.pos + next.len - first.pos > STAGING_BYTES) break;
      end = next.pos + next.len;
    }
    if ((status = read_stored(first.pos, staging_.get(), static_cast<size_t>(end - first.pos),
                              message)) != IMPORT_OK)
      return fail(status);
    uint8_t one[COMPRESSED_SECTOR];
    for (uint64_t i = 0; i < run; ++i) {
      compressed_block block{};
      compressed_locate(compressed_, sector + i, &block, &reason);
      uint8_t* into = partial ? one : out + i * COMPRESSED_SECTOR;
      if ((status = compressed_decode(compressed_, sector + i, block,
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

bool image_reader::stored_span(uint64_t pos, FILE** file, uint64_t* at, uint64_t* avail) const {
  if (compressed_.kind != COMPRESSED_NONE || pos >= size_) return false;
  for (const part& p : parts_) {
    if (pos < p.start + p.size) {
      *file = p.file.get();
      *at = pos - p.start;
      *avail = p.start + p.size - pos;
      return true;
    }
  }
  return false;
}

int image_reader::check_unchanged(std::string* message) const {
  for (const part& p : parts_) {
    // The time too: a copy on Windows gives the file its full size before it writes the data.
    uint64_t now = 0, written = 0;
    if (p.on_disk && (path_kind(p.path.c_str(), &now) != 1 || now != p.size ||
                      last_write_of(p.path.c_str(), &written) != 0 || written != p.written)) {
      *message = "source changed during the import: " + p.path;
      return IMPORT_ERR_SOURCE_IO;
    }
  }
  return IMPORT_OK;
}

std::string first_part_of(const char* path) {
  const std::string later = path;
  size_t at = 0, len = 0;
  // Part numbers are 2, 3, ... 10, never "0" or "02".
  if (!part_number(later, &at, &len) || later[at] == '0' || later.compare(at, len, "1") == 0)
    return "";
  std::string first = later.substr(0, at) + "1" + later.substr(at + len);
  return path_kind(first.c_str(), nullptr) == 1 ? first : "";
}
