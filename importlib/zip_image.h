// The disc image inside a ZIP archive as a byte_reader: the entry's uncompressed bytes, read
// at any position. A stored entry is read straight from the archive. A deflated one is read
// forward once when opened: zlib inflates the whole stream, the CRC-32 and sizes are checked,
// and every few MiB a restart point keeps where the stream stood and the 32 KiB it may refer
// back to. A read then inflates from the nearest point at or before it, and a read that
// starts where the last one ended goes on with the same stream, so a copy in disc order
// inflates every byte once more, not once per read.
//
// Damage found by a read is "damaged ZIP archive <name>: <what> (a download cut short?)",
// IMPORT_ERR_DAMAGED; the archive reader's failures pass up unchanged.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "zip_archive.h"

// Uncompressed bytes between restart points, at least: 4 MiB. A read inflates from the point
// before it, 3.2 ms on average for 4 KiB at random in a 333 MiB text entry here; one of a
// 7 GiB image of random padding, 0.5 ms.
constexpr uint64_t ZIP_POINT_SPACING = uint64_t{4} << 20;

// Restart points of one entry, at most: their windows take 1,024 x 32 KiB = 32 MiB, half of
// the 64 MiB an import may use, whatever size the directory claims. A 7 GiB image spaces its
// points 7.3 MiB apart (993 points; 36 MB peak for the first pass and reads, measured).
constexpr uint64_t ZIP_MAX_POINTS = 1024;

// Progress of the first pass: `done` of `total` bytes of the entry's compressed data read.
typedef void (*zip_progress_fn)(uint64_t done, uint64_t total, void* user);

struct zip_open_options {
  zip_progress_fn progress = nullptr;  // called every few MiB and at the end; may be null
  void* user = nullptr;
  // Looked at after every 32 KiB (or less) the first pass inflates; non-zero stops it with
  // IMPORT_ERR_CANCELLED and "import cancelled". May be null.
  const std::atomic<int>* cancel = nullptr;
  // Bytes between restart points, at least; 0 for ZIP_POINT_SPACING. Tests and the fuzzer
  // take small ones to reach many points with small entries.
  uint64_t spacing = 0;
  // Compressed bytes read at once, here and by later reads; 0 for 256 KiB. Tests take tiny
  // ones so that restart points fall right after the input was refilled.
  size_t input_chunk = 0;
};

// Bytes inflated so far by every zip_image of this process, first passes and reads alike:
// how the tests and qmbench count the passes an import makes over an entry.
uint64_t zip_inflated_bytes();

class zip_image final : public byte_reader {
 public:
  zip_image();
  ~zip_image() override;
  zip_image(const zip_image&) = delete;
  zip_image& operator=(const zip_image&) = delete;

  // Opens `entry` (from zip_find_image on the same archive) of the archive read through
  // `archive`, which must outlive this reader; `name` names the archive in messages. A
  // deflated entry is inflated whole here (the first pass). An import status: IMPORT_OK;
  // IMPORT_ERR_DAMAGED when the stream does not inflate, ends early or late, or fails its
  // CRC-32; IMPORT_ERR_CANCELLED; the archive reader's status; IMPORT_ERR_NO_MEMORY, without
  // a message. Never throws. On failure the reader is closed (size 0).
  int open(byte_reader& archive, const zip_entry& entry, const char* name,
           const zip_open_options& options, std::string* message);

  uint64_t size() const override { return size_; }
  int read(uint64_t pos, void* out, size_t len, std::string* message) override;

  // Restart points kept by the first pass (0 for a stored entry): their memory is this
  // times 32 KiB.
  size_t point_count() const;

 private:
  struct point;
  class inflater;
  int first_pass(const zip_open_options& options, std::string* message);
  int start_at(const point& p);
  int damaged(const std::string& what, std::string* message) const;
  void close();

  byte_reader* archive_ = nullptr;
  std::string name_;
  zip_entry entry_;
  uint64_t size_ = 0;
  std::vector<point> points_;
  std::unique_ptr<inflater> live_;  // the stream the last read left, ready to go on
  size_t input_chunk_ = 0;
};
