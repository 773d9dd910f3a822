#include "zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "byte_order.h"
#include "charsets.h"
#include "fs.h"
#include "import.h"

namespace {

constexpr uint32_t LOCAL_SIG = 0x04034B50;      // "PK\3\4"
constexpr uint32_t CENTRAL_SIG = 0x02014B50;    // "PK\1\2"
constexpr uint32_t END_SIG = 0x06054B50;        // "PK\5\6"
constexpr uint32_t ZIP64_END_SIG = 0x06064B50;  // "PK\6\6"
constexpr uint32_t ZIP64_LOCATOR_SIG = 0x07064B50;
constexpr uint32_t SPLIT_SIG =
    0x08074B50;  // "PK\7\8" at the very start: a split archive's first part
constexpr size_t LOCAL_SIZE = 30;
constexpr size_t CENTRAL_SIZE = 46;
constexpr size_t END_SIZE = 22;
constexpr size_t ZIP64_END_SIZE = 56;
constexpr size_t ZIP64_LOCATOR_SIZE = 20;
constexpr size_t MAX_COMMENT = 65535;
constexpr uint16_t ZIP64_EXTRA = 0x0001;
constexpr uint16_t FLAG_ENCRYPTED = 1;
constexpr uint16_t FLAG_UTF8 = 1 << 11;

constexpr uint64_t PARTITION_BASES[] = {0, 0x18300000, 0xFD90000, 0x2080000};
constexpr uint64_t DESCRIPTOR_OFFSET = 0x10000;
constexpr char XDVDFS_MAGIC[] = "MICROSOFT*XBOX*MEDIA";
constexpr size_t MAGIC_LEN = sizeof XDVDFS_MAGIC - 1;

// Deflate turns one byte into at most 1,032 (a 258-byte match in two bits, over and over).
// A directory that claims more is damage, and the check bounds the first pass's time by the
// bytes actually in the file.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;

// CP437, bytes 80..FF: the names of entries not marked UTF-8, as DOS and 7-Zip write them.
constexpr char16_t CP437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
printed(const char* format, ...) {
  char text[640];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

bool valid_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || n > s.size() - i) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// Names marked UTF-8 are; so are unmarked ones that decode as UTF-8 (Info-ZIP on Linux
// writes the locale's bytes without the mark); the rest are CP437.
std::string display_name(const std::string& raw, uint16_t flags) {
  if (flags & FLAG_UTF8 || valid_utf8(raw)) return raw;
  std::string out;
  for (char ch : raw) {
    const uint8_t c = static_cast<uint8_t>(ch);
    append_utf8(out, c < 0x80 ? c : CP437_HIGH[c - 0x80]);
  }
  return out;
}

bool ends_with_nocase(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[s.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != tail[i]) return false;
  }
  return true;
}

const char* method_name(uint16_t method) {
  switch (method) {
    case 12:
      return "bzip2";
    case 14:
      return "LZMA";
    case 93:
      return "Zstandard";
    case 95:
      return "xz";
    default:
      return nullptr;
  }
}

// One central directory record, its zip64 fields applied.
struct central_entry {
  std::string raw_name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc32 = 0;
  uint64_t compressed_size = 0;
  uint64_t size = 0;
  uint64_t local_offset = 0;
  uint32_t disk = 0;
};

struct end_record {
  uint64_t disk = 0, cd_disk = 0, entries_on_disk = 0, entries = 0;
  uint64_t cd_size = 0, cd_offset = 0;
  uint64_t cd_limit = 0;  // where the records after the central directory start
  uint64_t zip64_disk = 0, zip64_disks = 1;
};

class finder {
 public:
  finder(byte_reader& archive, const char* name, std::string* message)
      : archive_(archive), name_(name), message_(message) {}

  int find(zip_entry* image);

 private:
  int read(uint64_t pos, void* out, size_t len, const char* what);
  int damaged(const std::string& what);
  int refuse(const std::string& why);
  int check_split_names();
  int find_end(end_record* end);
  int read_zip64_end(uint64_t locator_pos, end_record* end);
  int read_directory(const end_record& end, std::vector<central_entry>* entries);
  int parse_extra(const uint8_t* extra, size_t len, central_entry* e, uint32_t size32,
                  uint32_t compressed32, uint32_t offset32, uint16_t disk16);
  int locate_data(const central_entry& e, uint64_t* data_offset);
  int probe_volume(const central_entry& e, bool* found);

  byte_reader& archive_;
  std::string name_;
  std::string* message_;
  uint64_t cd_offset_ = 0;  // where the local headers and their data must end
};

int finder::read(uint64_t pos, void* out, size_t len, const char* what) {
  const int status = archive_.read(pos, out, len, message_);
  if (status != IMPORT_OK && message_->empty())
    *message_ = printed("cannot read %s of %s at 0x%" PRIx64, what, name_.c_str(), pos);
  return status;
}

int finder::damaged(const std::string& what) {
  *message_ = "damaged ZIP archive " + name_ + ": " + what + " (a download cut short?)";
  return IMPORT_ERR_DAMAGED;
}

int finder::refuse(const std::string& why) {
  *message_ = name_ + why;
  return IMPORT_ERR_DAMAGED;
}

int finder::check_split_names() {
  std::string why;
  // 7-Zip cuts an archive into name.zip.001, .002...: the first holds local headers but the
  // directory is in the last.
  if (name_.size() > 8 && ends_with_nocase(name_.substr(0, name_.size() - 3), ".zip.") &&
      name_.find_first_not_of("0123456789", name_.size() - 3) == std::string::npos) {
    why = "its name ends in " + name_.substr(name_.size() - 8);
  } else if (ends_with_nocase(name_, ".zip")) {
    // Info-ZIP and WinZip write name.z01, name.z02... and name.zip last.
    const std::string sibling = name_.substr(0, name_.size() - 2) + "01";
    if (path_kind(sibling.c_str(), nullptr) == 1) why = "there is a .z01 part beside it";
  }
  if (why.empty()) return IMPORT_OK;
  return refuse(" is one part of a split ZIP archive (" + why +
                "), which this version does not read: extract the disc image with 7-Zip first.");
}

int finder::find_end(end_record* end) {
  const uint64_t size = archive_.size();
  if (size < END_SIZE) return damaged(printed("%" PRIu64 " bytes cannot hold a ZIP archive", size));
  uint8_t head[4];
  int status = read(0, head, sizeof head, "the start");
  if (status != IMPORT_OK) return status;
  if (le32(head) == SPLIT_SIG)
    return refuse(
        " is the first part of a split ZIP archive, which this version does not read: extract "
        "the disc image with 7-Zip first.");
  // The end record is the last thing in the file but for its comment (at most 65,535 bytes).
  const size_t tail_len =
      static_cast<size_t>(size < END_SIZE + MAX_COMMENT ? size : END_SIZE + MAX_COMMENT);
  const uint64_t tail_pos = size - tail_len;
  std::vector<uint8_t> tail(tail_len);
  if ((status = read(tail_pos, tail.data(), tail_len, "the end")) != IMPORT_OK) return status;
  size_t at = tail_len - END_SIZE + 1;
  while (at-- > 0) {
    const uint8_t* p = &tail[at];
    if (le32(p) == END_SIG && END_SIZE + le16(p + 20) <= tail_len - at) break;
  }
  if (at == static_cast<size_t>(-1)) return damaged("no end of central directory record");
  const uint8_t* e = &tail[at];
  const uint64_t end_pos = tail_pos + at;
  end->disk = le16(e + 4);
  end->cd_disk = le16(e + 6);
  end->entries_on_disk = le16(e + 8);
  end->entries = le16(e + 10);
  end->cd_size = le32(e + 12);
  end->cd_offset = le32(e + 16);
  end->cd_limit = end_pos;
  // A zip64 archive has its locator right before the end record.
  if (end_pos >= ZIP64_LOCATOR_SIZE) {
    uint8_t sig[4];
    if ((status = read(end_pos - ZIP64_LOCATOR_SIZE, sig, sizeof sig, "the end")) != IMPORT_OK)
      return status;
    if (le32(sig) == ZIP64_LOCATOR_SIG) return read_zip64_end(end_pos - ZIP64_LOCATOR_SIZE, end);
  }
  // 65,535 entries is a count a plain end record holds; a directory at or beyond 4 GiB is not.
  if (end->cd_size == 0xFFFFFFFF || end->cd_offset == 0xFFFFFFFF)
    return damaged("the end record needs zip64 fields, but there is no zip64 end locator");
  return IMPORT_OK;
}

int finder::read_zip64_end(uint64_t locator_pos, end_record* end) {
  uint8_t loc[ZIP64_LOCATOR_SIZE];
  int status = read(locator_pos, loc, sizeof loc, "the zip64 end locator");
  if (status != IMPORT_OK) return status;
  end->zip64_disk = le32(loc + 4);
  end->zip64_disks = le32(loc + 16);
  const uint64_t at = le64(loc + 8);
  if (at > locator_pos || locator_pos - at < ZIP64_END_SIZE)
    return damaged(printed("zip64 end record at 0x%" PRIx64
                           " does not fit before its locator at 0x%" PRIx64,
                           at, locator_pos));
  uint8_t z[ZIP64_END_SIZE];
  if ((status = read(at, z, sizeof z, "the zip64 end record")) != IMPORT_OK) return status;
  const uint64_t record = le64(z + 4);  // bytes after its first 12
  if (le32(z) != ZIP64_END_SIG) return damaged(printed("no zip64 end record at 0x%" PRIx64, at));
  if (record < ZIP64_END_SIZE - 12 || record > locator_pos - at - 12)
    return damaged(
        printed("zip64 end record of %" PRIu64 " bytes does not fit before its locator", record));
  end->disk = le32(z + 16);
  end->cd_disk = le32(z + 20);
  end->entries_on_disk = le64(z + 24);
  end->entries = le64(z + 32);
  end->cd_size = le64(z + 40);
  end->cd_offset = le64(z + 48);
  end->cd_limit = at;
  return IMPORT_OK;
}

int finder::parse_extra(const uint8_t* extra, size_t len, central_entry* e, uint32_t size32,
                        uint32_t compressed32, uint32_t offset32, uint16_t disk16) {
  const uint8_t* z = nullptr;
  size_t z_len = 0;
  for (size_t i = 0; i + 4 <= len;) {
    const uint16_t id = le16(extra + i), n = le16(extra + i + 2);
    if (n > len - i - 4)
      return damaged("an extra field of " + display_name(e->raw_name, e->flags) +
                     " runs past its record");
    if (id == ZIP64_EXTRA && !z) {
      z = extra + i + 4;
      z_len = n;
    }
    i += 4 + size_t{n};
  }
  // The zip64 field holds exactly the values whose 32-bit field is saturated, in this order.
  size_t used = 0;
  auto take64 = [&](uint32_t v32, uint64_t* out) {
    if (v32 != 0xFFFFFFFF) return *out = v32, true;
    if (!z || z_len - used < 8) return false;
    *out = le64(z + used);
    used += 8;
    return true;
  };
  const bool disk_fits = disk16 != 0xFFFF || (z && z_len - used >= 4);
  if (!take64(size32, &e->size) || !take64(compressed32, &e->compressed_size) ||
      !take64(offset32, &e->local_offset) || !disk_fits)
    return damaged("the zip64 field of " + display_name(e->raw_name, e->flags) +
                   " is missing or too short");
  e->disk = disk16 != 0xFFFF ? disk16 : le32(z + used);
  return IMPORT_OK;
}

int finder::read_directory(const end_record& end, std::vector<central_entry>* entries) {
  const uint64_t size = archive_.size();
  if (end.cd_offset > end.cd_limit || end.cd_size > end.cd_limit - end.cd_offset)
    return damaged(printed("central directory of %" PRIu64 " bytes at 0x%" PRIx64
                           " does not end before 0x%" PRIx64 " in %" PRIu64 " bytes",
                           end.cd_size, end.cd_offset, end.cd_limit, size));
  if (end.entries > ZIP_MAX_ENTRIES)
    return damaged(printed("%" PRIu64 " entries (at most %" PRIu64 " are read)", end.entries,
                           ZIP_MAX_ENTRIES));
  if (end.entries * CENTRAL_SIZE > end.cd_size)
    return damaged(printed("%" PRIu64 " entries cannot fit in a central directory of %" PRIu64
                           " bytes",
                           end.entries, end.cd_size));
  cd_offset_ = end.cd_offset;
  entries->reserve(static_cast<size_t>(end.entries));
  const uint64_t cd_end = end.cd_offset + end.cd_size;
  uint64_t pos = end.cd_offset;
  std::vector<uint8_t> var;
  for (uint64_t i = 0; i < end.entries; ++i) {
    uint8_t h[CENTRAL_SIZE];
    int status;
    if (cd_end - pos < CENTRAL_SIZE)
      return damaged(printed("central directory entry %" PRIu64 " runs past its end", i + 1));
    if ((status = read(pos, h, sizeof h, "the central directory")) != IMPORT_OK) return status;
    if (le32(h) != CENTRAL_SIG)
      return damaged(printed("no central directory entry %" PRIu64 " at 0x%" PRIx64, i + 1, pos));
    const uint16_t name_len = le16(h + 28), extra_len = le16(h + 30), comment_len = le16(h + 32);
    if (name_len > ZIP_MAX_NAME)
      return damaged(printed("entry %" PRIu64 " has a name of %u bytes", i + 1, name_len));
    const uint64_t record = CENTRAL_SIZE + uint64_t{name_len} + extra_len + comment_len;
    if (cd_end - pos < record)
      return damaged(printed("central directory entry %" PRIu64 " runs past its end", i + 1));
    var.resize(size_t{name_len} + extra_len);
    if ((status = read(pos + CENTRAL_SIZE, var.data(), var.size(), "the central directory")) !=
        IMPORT_OK)
      return status;
    central_entry e;
    e.raw_name.assign(reinterpret_cast<const char*>(var.data()), name_len);
    e.flags = le16(h + 8);
    e.method = le16(h + 10);
    e.crc32 = le32(h + 16);
    if ((status = parse_extra(var.data() + name_len, extra_len, &e, le32(h + 24), le32(h + 20),
                              le32(h + 42), le16(h + 34))) != IMPORT_OK)
      return status;
    entries->push_back(std::move(e));
    pos += record;
  }
  if (pos != cd_end)
    return damaged(printed("%" PRIu64 " entries end at 0x%" PRIx64
                           ", not at the central directory's end 0x%" PRIx64,
                           end.entries, pos, cd_end));
  // Each entry's local header and data before the next one's: no two entries share bytes,
  // so looking into every entry reads no more than the file holds.
  std::vector<const central_entry*> by_offset;
  for (const central_entry& e : *entries) by_offset.push_back(&e);
  std::sort(by_offset.begin(), by_offset.end(), [](const central_entry* a, const central_entry* b) {
    return a->local_offset < b->local_offset;
  });
  for (size_t k = 0; k < by_offset.size(); ++k) {
    const central_entry& e = *by_offset[k];
    const uint64_t next = k + 1 < by_offset.size() ? by_offset[k + 1]->local_offset : cd_offset_;
    if (e.local_offset > next || next - e.local_offset < LOCAL_SIZE ||
        e.compressed_size > next - e.local_offset - LOCAL_SIZE)
      return damaged(printed("the data of %s (%" PRIu64 " bytes from 0x%" PRIx64
                             ") overlap what follows at 0x%" PRIx64,
                             display_name(e.raw_name, e.flags).c_str(), e.compressed_size,
                             e.local_offset, next));
  }
  return IMPORT_OK;
}

// Where `e`'s data start: past its local header's own name and extra field, which need not
// match the central directory's lengths (Python writes a zip64 field only locally).
int finder::locate_data(const central_entry& e, uint64_t* data_offset) {
  const std::string shown = display_name(e.raw_name, e.flags);
  if (e.local_offset > cd_offset_ || cd_offset_ - e.local_offset < LOCAL_SIZE)
    return damaged(printed("local header of %s at 0x%" PRIx64
                           " is not before the central directory",
                           shown.c_str(), e.local_offset));
  uint8_t h[LOCAL_SIZE];
  int status = read(e.local_offset, h, sizeof h, "a local header");
  if (status != IMPORT_OK) return status;
  if (le32(h) != LOCAL_SIG)
    return damaged(printed("no local header of %s at 0x%" PRIx64, shown.c_str(), e.local_offset));
  if (le16(h + 8) != e.method)
    return damaged("the local header of " + shown +
                   " names another method than its directory entry");
  const uint64_t data = e.local_offset + LOCAL_SIZE + le16(h + 26) + le16(h + 28);
  if (data > cd_offset_ || e.compressed_size > cd_offset_ - data)
    return damaged(printed("data of %s (%" PRIu64 " bytes at 0x%" PRIx64
                           ") do not end before the central directory",
                           shown.c_str(), e.compressed_size, data));
  *data_offset = data;
  return IMPORT_OK;
}

struct inflate_end {
  void operator()(z_stream* s) const {
    inflateEnd(s);
    delete s;
  }
};

// Whether `e`'s bytes hold an XDVDFS volume. Stored entries are looked at every base: four
// small reads. Deflated ones only at base 0 (an XISO): to reach the Redump base the inflater
// would have to produce 387 MiB per entry, and images at the other bases come from PC drives,
// whose dumping tools name them ".iso" anyway.
int finder::probe_volume(const central_entry& e, bool* found) {
  *found = false;
  if (e.flags & FLAG_ENCRYPTED || (e.method != ZIP_STORED && e.method != ZIP_DEFLATED))
    return IMPORT_OK;
  uint64_t data = 0;
  int status = locate_data(e, &data);
  if (status != IMPORT_OK) return status;
  uint8_t magic[MAGIC_LEN];
  if (e.method == ZIP_STORED) {
    for (uint64_t base : PARTITION_BASES) {
      const uint64_t at = base + DESCRIPTOR_OFFSET;
      if (at > e.compressed_size || e.compressed_size - at < MAGIC_LEN) continue;
      if ((status = read(data + at, magic, MAGIC_LEN, "an entry")) != IMPORT_OK) return status;
      if (std::memcmp(magic, XDVDFS_MAGIC, MAGIC_LEN) == 0) return *found = true, IMPORT_OK;
    }
    return IMPORT_OK;
  }
  constexpr size_t WANT = DESCRIPTOR_OFFSET + MAGIC_LEN;
  if (e.size < WANT) return IMPORT_OK;
  std::unique_ptr<z_stream, inflate_end> z(new z_stream());
  if (inflateInit2(z.get(), -MAX_WBITS) != Z_OK) return IMPORT_ERR_NO_MEMORY;
  std::vector<uint8_t> out(WANT), in(16384);
  uint64_t pos = 0;
  z->next_out = out.data();
  z->avail_out = static_cast<uInt>(WANT);
  while (z->avail_out > 0) {
    if (z->avail_in == 0) {
      if (pos == e.compressed_size) return IMPORT_OK;  // the first pass names what is wrong
      const size_t n = e.compressed_size - pos < in.size()
                           ? static_cast<size_t>(e.compressed_size - pos)
                           : in.size();
      if ((status = read(data + pos, in.data(), n, "an entry")) != IMPORT_OK) return status;
      pos += n;
      z->next_in = in.data();
      z->avail_in = static_cast<uInt>(n);
    }
    const int r = inflate(z.get(), Z_NO_FLUSH);
    if (r == Z_MEM_ERROR) return IMPORT_ERR_NO_MEMORY;
    if (r != Z_OK) return IMPORT_OK;
  }
  *found = std::memcmp(out.data() + DESCRIPTOR_OFFSET, XDVDFS_MAGIC, MAGIC_LEN) == 0;
  return IMPORT_OK;
}

int finder::find(zip_entry* image) {
  int status = check_split_names();
  if (status != IMPORT_OK) return status;
  end_record end;
  if ((status = find_end(&end)) != IMPORT_OK) return status;
  if (end.disk != 0 || end.cd_disk != 0 || end.entries_on_disk != end.entries ||
      end.zip64_disk != 0 || end.zip64_disks > 1)
    return refuse(
        printed(" is the last part of a split ZIP archive (its directory is on disk %" PRIu64
                "), which this version does not read: extract the disc image with "
                "7-Zip first.",
                end.disk + 1));
  std::vector<central_entry> entries;
  if ((status = read_directory(end, &entries)) != IMPORT_OK) return status;
  for (const central_entry& e : entries)
    if (e.disk != 0)
      return refuse(
          printed(" is one part of a split ZIP archive (%s starts on disk %u), which "
                  "this version does not read: extract the disc image with 7-Zip first.",
                  display_name(e.raw_name, e.flags).c_str(), e.disk + 1));

  // Finder on macOS adds "__MACOSX/._name.iso" beside every file: not a second image.
  auto is_apple_double = [](const central_entry& e) {
    return e.raw_name.compare(0, 9, "__MACOSX/") == 0;
  };
  std::vector<size_t> images;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string& n = entries[i].raw_name;
    if (!is_apple_double(entries[i]) &&
        (ends_with_nocase(n, ".iso") || ends_with_nocase(n, ".xiso")))
      images.push_back(i);
  }
  const bool by_name = !images.empty();
  for (size_t i = 0; !by_name && i < entries.size(); ++i) {
    bool found = false;
    if (!is_apple_double(entries[i]) && (status = probe_volume(entries[i], &found)) != IMPORT_OK)
      return status;
    if (found) images.push_back(i);
  }
  if (images.empty()) return refuse(" holds no disc image.");
  if (images.size() > 1) {
    const central_entry &a = entries[images[0]], &b = entries[images[1]];
    return refuse(" holds " + std::to_string(images.size()) + " disc images (" +
                  display_name(a.raw_name, a.flags) + ", " + display_name(b.raw_name, b.flags) +
                  (images.size() > 2 ? "..." : "") + "): extract the one you want.");
  }
  const central_entry& e = entries[images[0]];
  const std::string shown = display_name(e.raw_name, e.flags);
  if (e.flags & FLAG_ENCRYPTED) return refuse(" is encrypted: extract it with the password first.");
  if (e.method == 9)
    return refuse(
        " is compressed with Deflate64 (as Windows Explorer writes large archives), "
        "which this version does not read: extract the disc image with 7-Zip first.");
  if (e.method != ZIP_STORED && e.method != ZIP_DEFLATED) {
    const char* known = method_name(e.method);
    const std::string method = known ? known : printed("method %u", e.method);
    return refuse(" is compressed with " + method +
                  ", which this version does not read: extract the disc image with 7-Zip first.");
  }
  if (e.size > ZIP_MAX_IMAGE)
    return damaged(printed("%s claims %" PRIu64 " bytes, more than the 16 GiB a disc image has",
                           shown.c_str(), e.size));
  if (e.method == ZIP_STORED && e.compressed_size != e.size)
    return damaged(printed("stored entry %s has %" PRIu64 " bytes but %" PRIu64 " uncompressed",
                           shown.c_str(), e.compressed_size, e.size));
  if (e.method == ZIP_DEFLATED && e.size / MAX_INFLATE_RATIO > e.compressed_size)
    return damaged(printed("%" PRIu64 " bytes of %s cannot inflate to %" PRIu64, e.compressed_size,
                           shown.c_str(), e.size));
  uint64_t data = 0;
  if ((status = locate_data(e, &data)) != IMPORT_OK) return status;
  image->name = shown;
  image->method = e.method;
  image->crc32 = e.crc32;
  image->compressed_size = e.compressed_size;
  image->size = e.size;
  image->data_offset = data;
  return IMPORT_OK;
}

}  // namespace

bool is_zip_archive(const void* head, size_t len) {
  if (len < 4) return false;
  const uint32_t magic = le32(static_cast<const uint8_t*>(head));
  return magic == LOCAL_SIG || magic == END_SIG || magic == SPLIT_SIG;
}

int zip_find_image(byte_reader& archive, const char* name, zip_entry* image, std::string* message) {
  message->clear();
  *image = zip_entry();
  try {
    finder f(archive, name, message);
    const int status = f.find(image);
    if (status == IMPORT_ERR_NO_MEMORY) message->clear();
    if (status != IMPORT_OK) *image = zip_entry();
    return status;
  } catch (const std::bad_alloc&) {
    message->clear();
    *image = zip_entry();
    return IMPORT_ERR_NO_MEMORY;
  }
}
