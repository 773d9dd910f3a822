#include "zip_image.h"

#include <zlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "import.h"

namespace {

// How far back deflate may refer: the window a restart point keeps.
constexpr size_t WINDOW = 32768;

// Compressed bytes read at once. Cancel is looked at this often: 256 KiB take well under a
// millisecond to inflate, and reads this large keep the archive's file reads efficient.
constexpr size_t INPUT_CHUNK = 256 * 1024;

// Progress of the first pass is reported after at least this many compressed bytes.
constexpr uint64_t PROGRESS_STEP = uint64_t{4} << 20;

std::atomic<uint64_t> inflated_bytes{0};

std::string hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, v);
  return text;
}

}  // namespace

struct zip_image::point {
  uint64_t out = 0;                   // uncompressed position
  uint64_t in = 0;                    // compressed position of the first whole byte after it
  int bits = 0;                       // bits of the byte before `in` that belong after the point
  uint8_t last = 0;                   // that byte
  std::unique_ptr<uint8_t[]> window;  // the WINDOW bytes before `out`; none at the start
};

// One raw inflate stream over the entry's compressed bytes, started at a restart point.
class zip_image::inflater {
 public:
  inflater(byte_reader& archive, const zip_entry& entry, size_t chunk)
      : archive_(archive), entry_(entry), chunk_(chunk) {}
  ~inflater() {
    if (ready_) inflateEnd(&z_);
  }
  inflater(const inflater&) = delete;
  inflater& operator=(const inflater&) = delete;

  // Starts over at `p`. IMPORT_OK or IMPORT_ERR_NO_MEMORY.
  int start(const point& p) {
    if (!input_) input_.reset(new uint8_t[chunk_]);
    const int r = ready_ ? inflateReset(&z_) : inflateInit2(&z_, -MAX_WBITS);
    if (r != Z_OK) return IMPORT_ERR_NO_MEMORY;
    ready_ = true;
    z_.avail_in = 0;
    in_ = p.in;
    out_ = p.out;
    ended_ = false;
    z_.next_in = nullptr;
    last_ = p.last;
    if (p.bits && inflatePrime(&z_, p.bits, p.last >> (8 - p.bits)) != Z_OK)
      return IMPORT_ERR_NO_MEMORY;
    if (p.window && inflateSetDictionary(&z_, p.window.get(), WINDOW) != Z_OK)
      return IMPORT_ERR_NO_MEMORY;
    return IMPORT_OK;
  }

  // Inflates into [out, out + len) until it is full, the stream ends, or with Z_BLOCK a deflate
  // block ends. IMPORT_OK with *produced (0 only at the end of the stream); the archive
  // reader's status; IMPORT_ERR_DAMAGED with `what`; IMPORT_ERR_NO_MEMORY.
  int step(uint8_t* out, size_t len, int flush, size_t* produced, std::string* what,
           std::string* message) {
    *produced = 0;
    if (ended_) return IMPORT_OK;
    if (z_.avail_in == 0 && in_ < entry_.compressed_size) {
      const uint64_t left = entry_.compressed_size - in_;
      const size_t n = left < chunk_ ? static_cast<size_t>(left) : chunk_;
      // Kept before the read: the new chunk overwrites the byte where it stood.
      if (z_.next_in) last_ = z_.next_in[-1];
      const int status = archive_.read(entry_.data_offset + in_, input_.get(), n, message);
      if (status != IMPORT_OK) return status;
      in_ += n;
      z_.next_in = input_.get();
      z_.avail_in = static_cast<uInt>(n);
    }
    z_.next_out = out;
    z_.avail_out = static_cast<uInt>(len);
    const int r = inflate(&z_, flush);
    *produced = len - z_.avail_out;
    out_ += *produced;
    inflated_bytes.fetch_add(*produced, std::memory_order_relaxed);
    if (r == Z_STREAM_END) {
      ended_ = true;
    } else if (r == Z_MEM_ERROR) {
      return IMPORT_ERR_NO_MEMORY;
    } else if (r == Z_BUF_ERROR && *produced == 0) {
      // Nothing more to inflate and no input left to read.
      return end_early(what);
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
      *what = "the deflate stream of " + entry_.name + " does not inflate (" +
              (z_.msg ? z_.msg : "error " + std::to_string(r)) + ")";
      return IMPORT_ERR_DAMAGED;
    }
    return IMPORT_OK;
  }

  // Inflates up to `target` (>= out_pos()), dropping the bytes.
  int skip_to(uint64_t target, std::string* what, std::string* message) {
    if (!scratch_) scratch_.reset(new uint8_t[WINDOW]);
    while (out_ < target) {
      const size_t n = target - out_ < WINDOW ? static_cast<size_t>(target - out_) : WINDOW;
      size_t got = 0;
      const int status = step(scratch_.get(), n, Z_NO_FLUSH, &got, what, message);
      if (status != IMPORT_OK) return status;
      if (got == 0 && ended_) return end_early(what);
    }
    return IMPORT_OK;
  }

  int end_early(std::string* what) {
    *what = "the deflate stream of " + entry_.name + " ends after " + std::to_string(out_) +
            " of its " + std::to_string(entry_.size) + " bytes";
    return IMPORT_ERR_DAMAGED;
  }

  uint64_t out_pos() const { return out_; }
  // Compressed bytes consumed so far, and the bits of the last one not yet used.
  uint64_t in_pos() const { return in_ - z_.avail_in; }
  int block_bits() const { return z_.data_type & 7; }
  bool at_block_end() const { return (z_.data_type & 128) && !(z_.data_type & 64); }
  // The byte block_bits() are in: the last one inflate took, perhaps from the chunk before.
  uint8_t last_input() const {
    return z_.next_in && z_.next_in != input_.get() ? z_.next_in[-1] : last_;
  }
  bool ended() const { return ended_; }

 private:
  byte_reader& archive_;
  const zip_entry& entry_;
  z_stream z_{};
  bool ready_ = false;
  bool ended_ = false;
  const size_t chunk_;  // compressed bytes read at once
  uint64_t in_ = 0;     // compressed bytes read into the input buffer so far
  uint64_t out_ = 0;    // uncompressed position
  uint8_t last_ = 0;    // the last byte of the chunk before the one being inflated
  std::unique_ptr<uint8_t[]> input_;
  std::unique_ptr<uint8_t[]> scratch_;
};

zip_image::zip_image() = default;
zip_image::~zip_image() = default;

void zip_image::close() {
  live_.reset();
  points_.clear();
  archive_ = nullptr;
  size_ = 0;
}

int zip_image::damaged(const std::string& what, std::string* message) const {
  *message = "damaged ZIP archive " + name_ + ": " + what + " (a download cut short?)";
  return IMPORT_ERR_DAMAGED;
}

int zip_image::open(byte_reader& archive, const zip_entry& entry, const char* name,
                    const zip_open_options& options, std::string* message) {
  message->clear();
  close();
  int status;
  try {
    archive_ = &archive;
    name_ = name;
    entry_ = entry;
    input_chunk_ = options.input_chunk ? options.input_chunk : INPUT_CHUNK;
    status = entry.method == ZIP_STORED ? IMPORT_OK : first_pass(options, message);
  } catch (const std::bad_alloc&) {
    status = IMPORT_ERR_NO_MEMORY;
  }
  if (status == IMPORT_ERR_NO_MEMORY) message->clear();
  if (status != IMPORT_OK) {
    close();
    return status;
  }
  size_ = entry.size;
  return IMPORT_OK;
}

// Inflates the whole entry once: checks the CRC-32 and both sizes, and keeps the restart
// points. Deflate blocks end at byte boundaries only by chance, so a point also keeps the
// bits of its byte that belong to the next block.
int zip_image::first_pass(const zip_open_options& options, std::string* message) {
  if (entry_.method != ZIP_DEFLATED) return damaged("not a stored or deflated entry", message);
  uint64_t spacing = options.spacing ? options.spacing : ZIP_POINT_SPACING;
  if (spacing < WINDOW) spacing = WINDOW;
  const uint64_t spread = entry_.size / (ZIP_MAX_POINTS - 1) + 1;
  if (spacing < spread) spacing = spread;

  points_.reserve(static_cast<size_t>(entry_.size / spacing + 1));
  points_.emplace_back();
  inflater z(*archive_, entry_, input_chunk_);
  int status = z.start(points_[0]);
  if (status != IMPORT_OK) return status;
  std::unique_ptr<uint8_t[]> ring(new uint8_t[WINDOW]);
  size_t at = 0;  // where the ring's next byte goes; the oldest byte sits there too
  uint32_t crc = crc32(0, nullptr, 0);
  uint64_t reported = 0;
  std::string what;
  for (;;) {
    size_t got = 0;
    status = z.step(ring.get() + at, WINDOW - at, Z_BLOCK, &got, &what, message);
    if (status == IMPORT_ERR_DAMAGED) return damaged(what, message);
    if (status != IMPORT_OK) {
      if (message->empty()) *message = "cannot read the disc image in " + name_;
      return status;
    }
    crc = crc32(crc, ring.get() + at, static_cast<uInt>(got));
    at = (at + got) % WINDOW;
    if (z.out_pos() > entry_.size)
      return damaged("the deflate stream of " + entry_.name + " holds more than the " +
                         std::to_string(entry_.size) + " bytes its directory entry gives",
                     message);
    if (z.ended()) break;
    if (options.cancel && options.cancel->load() != 0) {
      *message = "import cancelled";
      return IMPORT_ERR_CANCELLED;
    }
    if (options.progress && z.in_pos() - reported >= PROGRESS_STEP) {
      reported = z.in_pos();
      options.progress(reported, entry_.compressed_size, options.user);
    }
    if (z.at_block_end() && z.out_pos() - points_.back().out >= spacing) {
      point p;
      p.out = z.out_pos();
      p.in = z.in_pos();
      p.bits = z.block_bits();
      if (p.bits) p.last = z.last_input();
      p.window.reset(new uint8_t[WINDOW]);
      std::memcpy(p.window.get(), ring.get() + at, WINDOW - at);
      std::memcpy(p.window.get() + (WINDOW - at), ring.get(), at);
      points_.push_back(std::move(p));
    }
  }
  if (z.out_pos() != entry_.size) {
    z.end_early(&what);
    return damaged(what, message);
  }
  if (z.in_pos() != entry_.compressed_size)
    return damaged("the deflate stream of " + entry_.name + " ends " +
                       std::to_string(entry_.compressed_size - z.in_pos()) +
                       " bytes before its data do",
                   message);
  if (crc != entry_.crc32)
    return damaged(entry_.name + " has CRC-32 " + hex32(crc) + ", its directory entry says " +
                       hex32(entry_.crc32),
                   message);
  if (options.progress)
    options.progress(entry_.compressed_size, entry_.compressed_size, options.user);
  return IMPORT_OK;
}

int zip_image::start_at(const point& p) {
  if (!live_) live_.reset(new inflater(*archive_, entry_, input_chunk_));
  return live_->start(p);
}

int zip_image::read(uint64_t pos, void* out, size_t len, std::string* message) {
  message->clear();
  if (!archive_ || !inside(pos, len)) return IMPORT_ERR_SOURCE_IO;
  if (len == 0) return IMPORT_OK;
  if (entry_.method == ZIP_STORED)
    return archive_->read(entry_.data_offset + pos, out, len, message);
  int status = IMPORT_OK;
  std::string what;
  try {
    // The last point at or before pos; the live stream instead when it stands between.
    size_t lo = 0, hi = points_.size();
    while (hi - lo > 1) {
      const size_t mid = lo + (hi - lo) / 2;
      (points_[mid].out <= pos ? lo : hi) = mid;
    }
    if (!live_ || live_->out_pos() > pos || live_->out_pos() < points_[lo].out)
      status = start_at(points_[lo]);
    if (status == IMPORT_OK) status = live_->skip_to(pos, &what, message);
    auto* to = static_cast<uint8_t*>(out);
    while (status == IMPORT_OK && len > 0) {
      const size_t n = len < INPUT_CHUNK ? len : INPUT_CHUNK;
      size_t got = 0;
      status = live_->step(to, n, Z_NO_FLUSH, &got, &what, message);
      if (status == IMPORT_OK && got == 0 && live_->ended()) status = live_->end_early(&what);
      to += got;
      len -= got;
    }
  } catch (const std::bad_alloc&) {
    status = IMPORT_ERR_NO_MEMORY;
  }
  if (status == IMPORT_OK) return IMPORT_OK;
  // The first pass inflated all of it: the archive changed since, or the disk failed.
  live_.reset();
  if (status == IMPORT_ERR_DAMAGED) return damaged(what, message);
  if (status == IMPORT_ERR_NO_MEMORY) message->clear();
  return status;
}

size_t zip_image::point_count() const { return points_.size(); }

uint64_t zip_inflated_bytes() { return inflated_bytes.load(std::memory_order_relaxed); }
