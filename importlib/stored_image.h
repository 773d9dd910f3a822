// A disc image read as it is stored: one file, or the parts of a split image one after the
// other. Also the stored bytes under every other form (a CCI or CSO image's records).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image_reader.h"

class stored_image final : public image_reader {
 public:
  // Opens `paths` (the parts, in order) and records each one's size and time of last write.
  // IMPORT_OK, or IMPORT_ERR_SOURCE_IO with "cannot open <part>"; nothing stays open then.
  int open(const std::vector<std::string>& paths, std::string* message);

  // Takes parts already open, known by `name` in messages and never looked up by path.
  void adopt(std::vector<unique_file> files, const std::vector<uint64_t>& sizes, const char* name);

  // Takes the open file of a folder source's file as a one-part image of its listed `size`,
  // named `path` in messages. With `watch`, check_unchanged looks again at the size and time
  // of last write the file at `path` has now: 0, or -1 when that time cannot be learnt.
  int adopt_file(unique_file file, uint64_t size, const std::string& path, bool watch);

  // Splitters cut every part but the last at one size. IMPORT_OK, or IMPORT_ERR_SOURCE_IO
  // naming the part that is shorter (an unfinished copy) or longer than the first.
  int check_cut_evenly(std::string* message) const;

  const std::string& first_path() const { return parts_[0].path; }
  std::vector<uint64_t> part_sizes() const;

  uint64_t size() const override { return size_; }
  // A part that cannot be read is named when the image is split; of a whole image, or for
  // a range past the end, the message is left to the caller.
  int read(uint64_t pos, void* out, size_t len, std::string* message) override;
  const char* format() const override { return ""; }
  size_t part_count() const override { return parts_.size(); }
  bool stored_span(uint64_t pos, FILE** file, uint64_t* at, uint64_t* avail) const override;
  int check_unchanged(std::string* message) const override;

 private:
  struct part {
    std::string path;
    unique_file file;
    uint64_t start = 0;  // of this part in the stored bytes, all parts one after the other
    uint64_t size = 0;
    uint64_t written = 0;  // last_write_of when opened
    bool on_disk = true;   // check_unchanged can look it up by its path
  };
  std::vector<part> parts_;
  uint64_t size_ = 0;
};
