// CCI and CSO test images made from a logical image, and the small LZ4 block compressor they
// use. Standard library only, so it builds wherever the tests do.
//
// The images are laid out as the common writers lay them out. CCI: a 32-byte header, the
// records from byte 32, the index after them; an LZ4 record is a padding count, the block and
// that many zeros, to a multiple of 4 bytes, used only when the block is under 2,040 bytes.
// CSO: a 24-byte header, the index, the records each at a multiple of 4; an LZ4 record is the
// block's 32-bit length and the block, used only when those are under 2,036 bytes; the end
// entry is the end of the last record rounded down to 4; every part is padded with 1 to 1,024
// zeros to a whole KiB. Other records hold the 2,048 sector bytes as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "image_writer.h"

// A greedy LZ4 block: each position's 4 bytes are looked up in a hash table of earlier
// positions, and a match found there is extended as far as it goes. Keeps the format's end
// rules (the last match starts 12 or more bytes before the end and ends 5 or more before it).
std::vector<uint8_t> lz4_compress_block(const uint8_t* data, size_t len);

// Where the common writers split an image (FATX, the console's file system, holds files of
// under 4 GiB): a new CCI part once one holds more than 0xFF000000 bytes, a new CSO part once
// one holds more than 0xFFBF6000.
constexpr uint64_t CCI_SPLIT_SIZE = 0xFF000000;
constexpr uint64_t CSO_SPLIT_SIZE = 0xFFBF6000;

struct compressed_options {
  // Blocks stored as they are even though they compress.
  std::function<bool(uint64_t block)> store_raw;
  // Start a new part before a block once the current part holds more than this many bytes;
  // 0 never splits. Tests split small images with small sizes.
  uint64_t split_size = 0;
  // CSO: one stream cut into parts of exactly split_size bytes, positions counting on across
  // them, instead of positions starting again from 0 in the next part. Not padded.
  bool cso_one_stream = false;
};

// The parts of the CCI or CSO image of `image`, whose size is rounded up to whole sectors
// with zeros. One part unless split.
std::vector<std::vector<uint8_t>> write_cci(const disc_image& image,
                                            const compressed_options& options = {});
std::vector<std::vector<uint8_t>> write_cso(const disc_image& image,
                                            const compressed_options& options = {});

// The parts' sizes, and a reader over their bytes one after the other, as compressed_open
// takes them. The parts are the caller's and are read as they are at each read.
std::vector<uint64_t> part_sizes(const std::vector<std::vector<uint8_t>>& parts);
class parts_reader final : public byte_reader {
 public:
  explicit parts_reader(const std::vector<std::vector<uint8_t>>& parts) : parts_(parts) {}
  uint64_t size() const override;
  int read(uint64_t pos, void* out, size_t len, std::string* message) override;

 private:
  const std::vector<std::vector<uint8_t>>& parts_;
};

// Spoils the record of `block` in the single-part CCI `cci` so that it cannot decode: the
// eight bytes after its padding count become 0xFF, a literal run longer than the block.
// Returns the block's index entry, whose bit 31 says whether the record was an LZ4 one.
uint32_t spoil_cci_block(std::vector<uint8_t>& cci, uint64_t block);

// Changes one byte of what the record of `block` holds (its first literal when it is an LZ4
// record), so that it still decodes, to other bytes: damage no format check can see.
void alter_cci_block(std::vector<uint8_t>& cci, uint64_t block);

// The forms an image reaches the import in. The ZIP ones are archives of our own writer
// (zip_writer.h): stored, deflated, and deflated with zip64 fields and a data descriptor.
enum class image_form {
  iso,
  split_iso,
  cci,
  split_cci,
  cso,
  split_cso,
  cso_one_stream,
  zip_stored,
  zip_deflated,
  zip64
};

struct form_info {
  image_form form;
  const char* what;    // for test messages
  const char* format;  // import_result::image_format: "", "CCI", "CSO" or "ZIP"
  bool split;
};
// Every form, the split ones cut at `split_size` into 2 or more parts by save_in_form.
const std::vector<form_info>& image_forms();

// Writes `image` as `stem` + ".iso" (".cci", ".cso"), or split as `stem` + ".1.iso",
// ".2.iso", ..., cut every `split_size` bytes (plain) or after that many bytes of records
// (compressed), or as the entry <stem's name>.iso of `stem` + ".zip". Returns the path to import,
// the first part's for a split form; the parts written are stored in *parts when not null. Empty
// when the plain image cannot be saved; any other file that cannot be written stops the program, as
// write_file does.
std::string save_in_form(const disc_image& image, image_form form, const std::string& stem,
                         uint64_t split_size, std::vector<std::string>* parts = nullptr);
