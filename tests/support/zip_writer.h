// ZIP archives for the tests: a small writer of our own on zlib's deflate, which runs wherever
// the tests do (under wine too), and the archivers players use, run as processes where they
// are installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image_writer.h"

struct zip_write_options {
  bool deflate = true;  // method 8, else stored (0)
  // Zip64 fields and end records whatever the sizes, and the CRC-32 and sizes in a data
  // descriptor after the data, as streaming writers leave them.
  bool zip64 = false;
};

// Writes an archive at `path` holding `image` as its one entry `name`, read 4 MiB at a time;
// a stored entry keeps the image's holes as holes. False when the file cannot be written.
bool write_zip(const std::string& path, const std::string& name, const disc_image& image,
               const zip_write_options& options = {});

// The CRC-32 of `len` bytes, as an archive's directory records it.
uint32_t zip_crc32(const uint8_t* data, size_t len);

// The program's full path when it is on PATH, else "".
std::string find_program(const std::string& name);

// A script for `python3 -c`: writes argv[1] with method argv[2] ("deflate", "stored",
// "bzip2"); argv[3] may hold "zip64" (force_zip64) and "stream" (an unseekable output: data
// descriptors); then name=path pairs.
extern const char ZIP_PYTHON_WRITER[];
