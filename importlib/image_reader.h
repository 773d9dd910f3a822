// The disc image an import reads, as one run of bytes whatever form it comes in: a plain
// file, the parts of a split image ("x.1.iso", "x.2.iso", ...), or a CCI or CSO image, whole
// or split, decoded sector by sector on the reading thread. Every position is one of the
// logical image: where the volume starts and where each file's data lies, as in a plain ISO.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compressed_image.h"
#include "fs.h"

// Parts of one split image, far more than any real one has: FAT32 takes files of under
// 4 GiB, so a dual-layer disc fills 3, and even 100 MB parts of it would be 86.
constexpr size_t MAX_IMAGE_PARTS = 100;

class image_reader {
 public:
  // Opens the image at the UTF-8 `path`: with the parts beside it when its name ends in
  // ".1.<ext>", and through its index when it starts with a CCI or CSO header. A split image
  // other than a split CCI or a CSO whose positions restart in every part must be cut evenly:
  // every part but the last the size of the first, the last no larger. An import status; on
  // failure `message` holds the explanation, and nothing stays open.
  int open(const char* path, std::string* message);

  // The same for an image whose parts are already open as `files`, of `sizes` bytes, named
  // `name` in messages: the fuzzer's images in memory. Never looked at again by path.
  int open_streams(std::vector<unique_file> files, const std::vector<uint64_t>& sizes,
                   const char* name, std::string* message);

  bool is_open() const { return !parts_.empty(); }
  uint64_t size() const { return size_; }
  size_t part_count() const { return parts_.size(); }
  int compressed_kind() const { return compressed_.kind; }

  // Reads exactly `len` bytes at logical position `pos`. IMPORT_OK; IMPORT_ERR_SOURCE_IO when
  // a part cannot be read or the range passes the end (a message names the part, or is
  // left to the caller for a range past the end: `message` is then empty); IMPORT_ERR_DAMAGED
  // with "damaged CCI image: ..." when a compressed block does not hold together.
  int read(uint64_t pos, void* buffer, size_t len, std::string* message);

  // For copies inside the kernel: the part file holding logical `pos` of a plain or split
  // image, the position there and how many bytes of the image follow in that part. False
  // for compressed images and past the end.
  bool stored_span(uint64_t pos, FILE** file, uint64_t* at, uint64_t* avail) const;

  // IMPORT_OK when every part still has the size and time of last write it had when opened,
  // else IMPORT_ERR_SOURCE_IO with "source changed during the import: <part>".
  int check_unchanged(std::string* message) const;

 private:
  struct part {
    std::string path;
    unique_file file;
    uint64_t start = 0;  // of this part in the stored bytes, all parts one after the other
    uint64_t size = 0;
    uint64_t written = 0;  // last_write_of when opened
    bool on_disk = true;   // check_unchanged can look it up by its path
  };
  int finish_open(std::string* message);
  int check_cut_evenly(std::string* message) const;
  int read_stored(uint64_t pos, void* buffer, size_t len, std::string* message);
  static int read_stored_callback(void* self, uint64_t pos, void* buffer, size_t len);
  int read_compressed(uint64_t pos, uint8_t* out, size_t len, std::string* message);
  static int damaged(int kind, const std::string& reason, std::string* message);

  std::vector<part> parts_;
  uint64_t stored_size_ = 0;
  uint64_t size_ = 0;  // logical
  compressed_image compressed_;
  std::unique_ptr<uint8_t[]> staging_;  // records of a run of compressed sectors
  std::string last_error_;              // of the last failed read made while opening
};

// The parts of the split image whose first part is `path` (one digit 1 before the last
// extension: "x.1.iso"), in order, first part included; just `path` for any other name.
// IMPORT_OK, or IMPORT_ERR_SOURCE_IO naming a part missing from the middle of the row.
int find_image_parts(const char* path, std::vector<std::string>* parts, std::string* message);

// For a path that names a later part of a split image ("x.2.iso"), the first part's path when
// that file exists beside it; else empty. Players pick the wrong part.
std::string first_part_of(const char* path);
