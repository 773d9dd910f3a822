#include "stored_image.h"

#include "import.h"

int stored_image::open(const std::vector<std::string>& paths, std::string* message) {
  parts_.clear();
  size_ = 0;
  for (const std::string& name : paths) {
    part p;
    p.start = size_;
    if (path_kind(name.c_str(), &p.size) != PATH_FILE ||
        last_write_of(name.c_str(), &p.written) != 0 ||
        !(p.file.reset(open_utf8(name.c_str(), "rb")), p.file)) {
      parts_.clear();
      size_ = 0;
      *message = "cannot open " + name;
      return IMPORT_ERR_SOURCE_IO;
    }
    // Read from start to end once the listing is done: twice the read-ahead, as cp asks.
    expect_sequential_read(p.file.get());
    p.path = name;
    size_ += p.size;
    parts_.push_back(std::move(p));
  }
  return IMPORT_OK;
}

void stored_image::adopt(std::vector<unique_file> files, const std::vector<uint64_t>& sizes,
                         const char* name) {
  parts_.clear();
  size_ = 0;
  for (size_t k = 0; k < files.size() && k < sizes.size(); ++k) {
    part p;
    p.path = name;
    p.file = std::move(files[k]);
    p.start = size_;
    p.size = sizes[k];
    p.on_disk = false;
    size_ += p.size;
    parts_.push_back(std::move(p));
  }
}

int stored_image::adopt_file(unique_file file, uint64_t size, const std::string& path, bool watch) {
  part p;
  p.path = path;
  p.file = std::move(file);
  p.size = size;
  p.on_disk = watch;
  if (watch && last_write_of(path.c_str(), &p.written) != 0) return -1;
  parts_.clear();
  parts_.push_back(std::move(p));
  size_ = size;
  return 0;
}

std::vector<uint64_t> stored_image::part_sizes() const {
  std::vector<uint64_t> sizes;
  for (const part& p : parts_) sizes.push_back(p.size);
  return sizes;
}

int stored_image::check_cut_evenly(std::string* message) const {
  // A part shorter than the first (a copy from the console that stopped half-way) would shift
  // every byte after it, and the files there would be imported with another file's bytes; a
  // longer one belongs elsewhere.
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

int stored_image::read(uint64_t pos, void* out, size_t len, std::string* message) {
  message->clear();
  if (!inside(pos, len)) return IMPORT_ERR_SOURCE_IO;
  auto* into = static_cast<uint8_t*>(out);
  size_t k = 0;
  while (k < parts_.size() && parts_[k].start + parts_[k].size <= pos) ++k;
  while (len > 0) {
    if (k == parts_.size()) return IMPORT_ERR_SOURCE_IO;
    part& p = parts_[k];
    const uint64_t in_part = p.start + p.size - pos;
    const size_t n = len < in_part ? len : static_cast<size_t>(in_part);
    if (seek_to(p.file.get(), pos - p.start) != 0 || std::fread(into, 1, n, p.file.get()) != n) {
      // Its size was known when it was opened: the part shrank, or the disk failed. Of a
      // whole image the caller's message says all; of a split one, which part it was.
      if (parts_.size() > 1)
        *message = "cannot read " + p.path + " (changed during the import, or a disk error?)";
      return IMPORT_ERR_SOURCE_IO;
    }
    into += n;
    pos += n;
    len -= n;
    ++k;
  }
  return IMPORT_OK;
}

bool stored_image::stored_span(uint64_t pos, FILE** file, uint64_t* at, uint64_t* avail) const {
  if (pos >= size_) return false;
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

int stored_image::check_unchanged(std::string* message) const {
  for (const part& p : parts_) {
    // The time too: a copy on Windows gives the file its full size before it writes the data.
    uint64_t now = 0, written = 0;
    if (p.on_disk && (path_kind(p.path.c_str(), &now) != PATH_FILE || now != p.size ||
                      last_write_of(p.path.c_str(), &written) != 0 || written != p.written)) {
      *message = "source changed during the import: " + p.path;
      return IMPORT_ERR_SOURCE_IO;
    }
  }
  return IMPORT_OK;
}
