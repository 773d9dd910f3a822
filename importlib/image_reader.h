// The disc image an import reads, as one run of bytes whatever form it comes in. One reader
// per form, all behind this interface, the form chosen by its magic when the image is opened:
// a plain file or the parts of a split image ("x.1.iso", "x.2.iso", ...) are read as stored
// (stored_image.h); a CCI or CSO image, whole or split, is decoded sector by sector on the
// reading thread (compressed_reader.h); the disc image in a ZIP archive is inflated from
// restart points its first pass keeps (zip_reader.h). Every position is one of the logical
// image: where the volume starts and where each file's data lies, as in a plain ISO.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "fs.h"

class image_reader : public byte_reader {
 public:
  // "CCI", "CSO"...: the form's name for the report; "" for a plain or split image.
  virtual const char* format() const = 0;

  // The disc image's name inside the archive it was read from (UTF-8); "" for other forms.
  virtual const char* entry_name() const { return ""; }

  // Files the image is stored in: more than 1 when split.
  virtual size_t part_count() const = 0;

  // For copies inside the kernel: the part file holding logical `pos`, the position there and
  // how many bytes of the image follow in that part. False where the bytes are not stored as
  // they are read (a compressed image) and past the end.
  virtual bool stored_span(uint64_t pos, FILE** file, uint64_t* at, uint64_t* avail) const = 0;

  // IMPORT_OK when every part still has the size and time of last write it had when opened,
  // else IMPORT_ERR_SOURCE_IO with "source changed during the import: <part>".
  virtual int check_unchanged(std::string* message) const = 0;
};

// What opening an image needs besides its bytes. Only a deflated ZIP entry takes long to
// open: it is inflated whole once, all the archive read, so the player sees progress and may
// cancel.
struct image_open_options {
  // `done` of `total` bytes of the archive read, every few MiB and at the end; may be null.
  void (*progress)(uint64_t done, uint64_t total, void* user) = nullptr;
  void* user = nullptr;
  // Non-zero stops the open with IMPORT_ERR_CANCELLED and "import cancelled"; may be null.
  const std::atomic<int>* cancel = nullptr;
};

// Opens the image at the UTF-8 `path`: with the parts beside it when its name ends in
// ".1.<ext>", and through the reader its first bytes call for. A split image other than a
// split CCI or a CSO whose positions restart in every part must be cut evenly: every part but
// the last the size of the first, the last no larger. An import status; on failure `message`
// holds the explanation (or is empty for IMPORT_ERR_NO_MEMORY) and *image is null.
int open_image_reader(const char* path, std::unique_ptr<image_reader>* image, std::string* message,
                      const image_open_options& options = {});

// The same for an image whose parts are already open as `files`, of `sizes` bytes, named
// `name` in messages: the fuzzer's images in memory. Never looked at again by path.
int open_image_streams(std::vector<unique_file> files, const std::vector<uint64_t>& sizes,
                       const char* name, std::unique_ptr<image_reader>* image, std::string* message,
                       const image_open_options& options = {});
