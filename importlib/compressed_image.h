// CCI and CSO images: a disc image of 2,048-byte sectors stored one block per sector, each
// block either the sector as it is or an LZ4 block, found through an index of 32-bit entries
// (position >> 2, bit 31 set for LZ4). Pure: the bytes come through a byte_reader over the
// stored bytes or from the caller's buffers; nothing here opens a file.
//
// The stored bytes of an image are its parts one after the other ("x.1.cci", "x.2.cci"...;
// the second part starts at the first part's size). A split CCI is parts that each carry
// their own header and index, their sectors following each other. A split CSO has one
// header and index, in the first part; its writers either restart positions from 0 in the
// second part (where the first passed 0xFFBF6000) or cut one stream at 0xFFBF6000 with
// positions counting on. The index tells which, so both read.
//
// Statuses are import statuses: IMPORT_OK, the stored reader's own status when a read fails
// (IMPORT_ERR_SOURCE_IO), IMPORT_ERR_DAMAGED when the image does not hold together,
// IMPORT_ERR_NO_MEMORY. On failure `reason` (when not null) receives a short explanation for
// "damaged CCI image: <reason>", or the stored reader's message when its read failed with one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class byte_reader;

constexpr uint32_t COMPRESSED_SECTOR = 2048;

// The most bytes one sector's record is read from. No LZ4 block that decodes to 2,048 bytes
// is longer than 2,072 (every output byte costs at most one input byte, plus a length byte
// per 255 and a few tokens), and a CCI record adds a padding count of at most 255 bytes:
// a longer record is damage, and reading no more bounds every caller's buffer.
constexpr uint32_t COMPRESSED_MAX_RECORD = 4096;

// The largest logical image accepted: 8 GiB. The largest medium these images come from is
// a DVD-9 (8,543,666,176 bytes); capping there bounds the index, read whole into memory,
// at 16 MiB (4,194,304 entries) instead of whatever a damaged header claims.
constexpr uint64_t COMPRESSED_MAX_IMAGE = uint64_t{1} << 33;

enum compressed_kind : int { COMPRESSED_NONE = 0, COMPRESSED_CCI = 1, COMPRESSED_CSO = 2 };

// COMPRESSED_CCI or COMPRESSED_CSO when the first `len` bytes of an image's first part
// start with that format's magic ("CCIM", "CISO"), else COMPRESSED_NONE.
int compressed_kind_of(const void* head, size_t len);

// "CCI", "CSO", or "" for COMPRESSED_NONE.
const char* compressed_kind_name(int kind);

// A run of sectors whose records lie in one stretch of the stored bytes.
struct compressed_segment {
  uint64_t first_sector;
  uint64_t base;      // stored position that this run's index positions count from
  uint64_t end;       // stored position where its records must end
  size_t index_base;  // index entry of first_sector
};

struct compressed_image {
  int kind = COMPRESSED_NONE;
  uint64_t sectors = 0;                      // the logical image is sectors * 2,048 bytes
  std::vector<compressed_segment> segments;  // by first_sector; at least one once open
  // The index entries as stored. CCI: each part's entries, its end entry included, one part
  // after the other. CSO: the one index, entry s for sector s, then the end entry.
  std::vector<uint32_t> index;
};

// Where one sector's record lies in the stored bytes and what it holds.
struct compressed_block {
  uint64_t pos;  // stored position
  uint32_t len;  // bytes to read at pos: 1 to COMPRESSED_MAX_RECORD, inside the parts
  int lz4;       // 1: an LZ4 record (CCI: padding count first; CSO: 32-bit length first)
};

// Reads and checks the header(s) and the whole index of an image of `kind` whose parts have
// the given sizes (at least one). On success the image is ready for the calls below and
// every sector's record lies inside the parts; records themselves are checked as they are
// decoded. An import status.
int compressed_open(compressed_image* image, int kind, const std::vector<uint64_t>& part_sizes,
                    byte_reader& stored, std::string* reason);

// The record of `sector` in an open image: no I/O. IMPORT_OK, or IMPORT_ERR_DAMAGED when
// sector >= image.sectors.
int compressed_locate(const compressed_image& image, uint64_t sector, compressed_block* block,
                      std::string* reason);

// Turns the `block.len` bytes of `record` (as read at block.pos) into the 2,048 bytes of
// `sector` at `out`. IMPORT_OK or IMPORT_ERR_DAMAGED.
int compressed_decode(const compressed_image& image, uint64_t sector, const compressed_block& block,
                      const uint8_t* record, uint8_t* out, std::string* reason);

// compressed_locate, one read, compressed_decode: the 2,048 bytes of `sector` at `out`.
int compressed_read_sector(const compressed_image& image, uint64_t sector, byte_reader& stored,
                           uint8_t* out, std::string* reason);
