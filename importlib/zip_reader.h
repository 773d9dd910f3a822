// A disc image inside a ZIP archive (Redump-set downloads), read without extracting it: the
// archive's one disc image entry (zip_archive.h) read at any position (zip_image.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image_reader.h"
#include "stored_image.h"
#include "zip_archive.h"
#include "zip_image.h"

class zip_reader final : public image_reader {
 public:
  // Finds the disc image in the archive stored in `stored` and opens it: a deflated entry is
  // read through once here, reporting progress and looking at the cancel flag of `options`.
  // An import status; on failure `message` says what is wrong with the archive (or is empty
  // for IMPORT_ERR_NO_MEMORY).
  int open(std::unique_ptr<stored_image> stored, const zip_open_options& options,
           std::string* message);

  uint64_t size() const override { return image_.size(); }
  int read(uint64_t pos, void* out, size_t len, std::string* message) override {
    return image_.read(pos, out, len, message);
  }
  const char* format() const override { return "ZIP"; }
  const char* entry_name() const override { return entry_.name.c_str(); }
  size_t part_count() const override { return stored_->part_count(); }
  // A stored entry's bytes lie in the archive as they are: copied inside the kernel like a
  // plain image's. A deflated one's never are.
  bool stored_span(uint64_t pos, FILE** file, uint64_t* at, uint64_t* avail) const override;
  int check_unchanged(std::string* message) const override {
    return stored_->check_unchanged(message);
  }

 private:
  std::unique_ptr<stored_image> stored_;
  zip_entry entry_;
  zip_image image_;
};
