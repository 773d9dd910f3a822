// The one contract for reading bytes at a position, whatever holds them: a disc image in any
// of its forms, one file, bytes in memory. Every reader of untrusted structures (the XDVDFS
// lister, the XBE header, the CCI/CSO index, the ZIP directory) reads through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fs.h"
#include "import.h"

class byte_reader {
 public:
  virtual ~byte_reader() = default;

  // Bytes there are to read.
  virtual uint64_t size() const = 0;

  // Reads exactly `len` bytes at `pos` into `out`. An import status: IMPORT_OK;
  // IMPORT_ERR_SOURCE_IO when the bytes cannot be read; IMPORT_ERR_DAMAGED when they are
  // there but do not decode; IMPORT_ERR_NO_MEMORY. On failure `message` explains, naming the
  // file, or is empty when the bytes are simply not there (a range past the end, a file that
  // ended early): the caller then says what it was reading.
  virtual int read(uint64_t pos, void* out, size_t len, std::string* message) = 0;

 protected:
  // Whether [pos, pos + len) lies inside [0, size()), without overflow.
  bool inside(uint64_t pos, size_t len) const { return pos <= size() && len <= size() - pos; }
};

// Bytes in memory, owned by the caller.
class memory_reader final : public byte_reader {
 public:
  memory_reader(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  uint64_t size() const override { return size_; }
  int read(uint64_t pos, void* out, size_t len, std::string* message) override {
    message->clear();
    if (!inside(pos, len)) return IMPORT_ERR_SOURCE_IO;
    if (len) std::memcpy(out, data_ + pos, len);
    return IMPORT_OK;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// An open file of a known size, owned by the caller. A read that fails is left to the caller
// to word: it knows what the file is.
class file_reader final : public byte_reader {
 public:
  file_reader(FILE* file, uint64_t size) : file_(file), size_(size) {}
  uint64_t size() const override { return size_; }
  int read(uint64_t pos, void* out, size_t len, std::string* message) override {
    message->clear();
    if (!inside(pos, len) || seek_to(file_, pos) != 0 || std::fread(out, 1, len, file_) != len)
      return IMPORT_ERR_SOURCE_IO;
    return IMPORT_OK;
  }

 private:
  FILE* file_;
  uint64_t size_;
};
