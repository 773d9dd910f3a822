// ZIP archives holding a disc image (Redump-set downloads): finds the one disc image entry
// through the central directory, zip64 fields included, and where its data starts. Reads
// only through a byte_reader over the archive's bytes; trusts no field of them.
//
// Messages are whole sentences naming the archive by the `name` given (the path as the
// import names its source): refusals of what this version does not read ("x.zip is
// encrypted: ..."), or "damaged ZIP archive x.zip: <what> (a download cut short?)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "byte_reader.h"

constexpr uint16_t ZIP_STORED = 0;
constexpr uint16_t ZIP_DEFLATED = 8;

// Entries read from one central directory. A disc's archive holds the image and perhaps a
// text file or two; 65,535 is all a ZIP without zip64 counts, and a zip64 count beyond it
// could only come from damage that would have us walk (and keep names for) billions of
// records.
constexpr uint64_t ZIP_MAX_ENTRIES = 65535;

// Bytes of an entry's name. Longer than any path a file system here takes (Linux's
// PATH_MAX is 4,096), so a longer one is damage; it also bounds each name kept in memory.
constexpr uint32_t ZIP_MAX_NAME = 4096;

// The largest disc image entry: 16 GiB. A DVD-9 holds 8,543,666,176 bytes; an Xbox 360
// image picked by mistake (up to 8.2 GiB) must still be read far enough for the import to
// say what it is. A larger claim is damage, and would only stretch the first pass's time.
constexpr uint64_t ZIP_MAX_IMAGE = uint64_t{1} << 34;

// The disc image entry, as its central directory entry gives it.
struct zip_entry {
  std::string name;              // UTF-8 (names not marked UTF-8 that are not are CP437)
  uint16_t method = 0;           // ZIP_STORED or ZIP_DEFLATED
  uint32_t crc32 = 0;            // of the uncompressed bytes
  uint64_t compressed_size = 0;  // bytes of data in the archive
  uint64_t size = 0;             // uncompressed: the disc image's size
  uint64_t data_offset = 0;      // where its data start, past its local header
};

// True when the first `len` bytes of a file start like a ZIP archive: a local header
// ("PK\3\4"), an empty archive's end record ("PK\5\6"), or the first part of a split one
// ("PK\7\8"), which zip_find_image then refuses by name.
bool is_zip_archive(const void* head, size_t len);

// Finds the disc image in the archive read through `archive`, named `name` in messages (its
// path: a ".z01" part beside it marks a split archive). The image is the entry whose name
// ends in ".iso" or ".xiso" (any case) or, when none does, the one entry holding an XDVDFS
// volume at a known partition base. On success `*image` is that entry, stored or deflated,
// its data inside the archive.
//
// An import status: IMPORT_OK; IMPORT_ERR_DAMAGED (-4) for a damaged archive and for every
// refusal (split, encrypted, another method, several images or none); the archive reader's
// status, unchanged, when its bytes cannot be read; IMPORT_ERR_NO_MEMORY, without a message.
// Never throws.
int zip_find_image(byte_reader& archive, const char* name, zip_entry* image, std::string* message);
