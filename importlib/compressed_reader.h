// A CCI or CSO image, whole or split, read through its index and decoded sector by sector
// into the caller's buffer (compressed_image.h holds the format itself).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "compressed_image.h"
#include "image_reader.h"
#include "stored_image.h"

class compressed_reader final : public image_reader {
 public:
  // Reads and checks the header(s) and index of the `kind` image stored in `stored`.
  // An import status; on failure `message` says what is wrong with the image.
  int open(std::unique_ptr<stored_image> stored, int kind, std::string* message);

  uint64_t size() const override { return image_.sectors * COMPRESSED_SECTOR; }
  // IMPORT_ERR_DAMAGED with "damaged CCI image: ..." when a block does not hold together.
  int read(uint64_t pos, void* out, size_t len, std::string* message) override;
  const char* format() const override { return compressed_kind_name(kind_); }
  size_t part_count() const override { return stored_->part_count(); }
  bool stored_span(uint64_t, FILE**, uint64_t*, uint64_t*) const override { return false; }
  int check_unchanged(std::string* message) const override {
    return stored_->check_unchanged(message);
  }

 private:
  int damaged(const std::string& reason, std::string* message) const;

  int kind_ = COMPRESSED_NONE;  // kept apart: a failed open clears image_
  std::unique_ptr<stored_image> stored_;
  compressed_image image_;
  std::unique_ptr<uint8_t[]> staging_;  // records of a run of compressed sectors
};
