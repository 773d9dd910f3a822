#include "xdvdfs.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "byte_order.h"
#include "byte_reader.h"
#include "charsets.h"
#include "entries.h"
#include "format_hint.h"
#include "names.h"
#include "paths.h"

namespace {

// Where the game partition starts in the image kinds players bring: XISO, Redump ISO, and
// the two older dump layouts.
constexpr uint64_t PARTITION_BASES[] = {0, 0x18300000, 0xFD90000, 0x2080000};
constexpr uint64_t DESCRIPTOR_OFFSET = 0x10000;
constexpr uint64_t SECTOR = 2048;
// A bound on what one table may make us allocate before it is read: 64 MiB is far beyond the
// few kilobytes of any real disc's largest table, and small enough that a damaged size in
// one folder cannot exhaust memory on its own.
constexpr uint32_t MAX_TABLE_SIZE = 0x4000000;
constexpr char MAGIC[] = "MICROSOFT*XBOX*MEDIA";
constexpr size_t MAGIC_LEN = sizeof MAGIC - 1;
constexpr uint16_t NO_NODE = 0xFFFF;
// Node offsets are 16-bit: no reachable node lies at unit 0x10000 or beyond, whatever the
// table's size, so visited flags and the stack never need more slots than this.
constexpr uint32_t MAX_NODES = 0x10000;
// Nor can a name reach past the last node's header and 255 bytes: this much of a table is all
// that is read and kept, whatever size the image claims. 48 nested tables claiming 64 MiB
// each (a sparse 3.3 GB image) took an import to 3 GB when read whole, to 18 MB like this.
constexpr uint32_t MAX_REACHABLE_TABLE = 4 * 0xFFFF + 14 + 255;

// The state of one listing.
struct walk {
  import_context* ctx;
  byte_reader& image;
  uint64_t partition_base = 0;
  // Byte ranges [start, end) of the non-empty directory tables walked so far. A table that
  // reaches into one of them (a folder pointing at an ancestor's table, many folders sharing
  // one, or tables that overlap) is damage, not an invitation to list the same entries over
  // and over: this keeps the listing proportional to the image's size.
  std::map<uint64_t, uint64_t> walked_tables;
  bool saw_default_xex = false;  // at the top level: an Xbox 360 disc, picked by mistake
  // Looking for default.xbe alone: the root is walked, nothing is listed, no folder entered.
  bool executable_only = false;
  uint64_t xbe_offset = 0, xbe_size = 0;
  bool found_xbe = false;
};

const char* folder_label(const char* dir_rel) { return dir_rel ? dir_rel : "(root)"; }

int damaged_tree(walk& w, const char* dir_rel) {
  set_error(&w.ctx->notes.message, "damaged directory tree in %s", folder_label(dir_rel));
  return IMPORT_ERR_DAMAGED;
}

// Records [position, position + size) as walked; false if it overlaps a table walked before.
bool claim_table(walk& w, uint64_t position, uint32_t size) {
  const uint64_t end = position + size;
  auto next = w.walked_tables.lower_bound(position);
  if (next != w.walked_tables.end() && next->first < end) return false;
  if (next != w.walked_tables.begin() && std::prev(next)->second > position) return false;
  w.walked_tables.emplace_hint(next, position, end);
  return true;
}

// Reads exactly `length` bytes at `position` of the image. IMPORT_OK, or the reader's status
// with its message set when it gave one (a compressed block that does not decode, a part of a
// split image that cannot be read): *worded says so. Where it is false the bytes were simply
// not there, and the caller says what it was reading.
int read_image(walk& w, uint64_t position, void* buffer, uint64_t length, bool* worded) {
  *worded = false;
  if (length > SIZE_MAX) return IMPORT_ERR_SOURCE_IO;
  std::string message;
  const int status = w.image.read(position, buffer, static_cast<size_t>(length), &message);
  if (status == IMPORT_OK || message.empty()) return status;
  set_error(&w.ctx->notes.message, "%s", message.c_str());
  *worded = true;
  return status;
}

// Lists one directory table (`size` bytes at partition sector `sector`); `dir_rel` is the
// folder's relative path, null for the root; `depth` 0 for the root. An import status.
int xdvdfs_walk_dir(walk& w, uint32_t sector, uint32_t size, const char* dir_rel, int depth);

// Handles one node of a directory table (`node` points at its 14-byte header, name inside
// the table) found in the folder `dir_rel` at `depth`. An import status.
int xdvdfs_take_dirent(walk& w, const uint8_t* node, const char* dir_rel, int depth);

// Finds the volume at one of the known bases: IMPORT_OK with w.partition_base and the root
// table's sector and size, IMPORT_ERR_NO_XBE when there is none (nothing worded), or the
// status of a read that failed with its message set.
int find_volume(walk& w, uint32_t* root_sector, uint32_t* root_size) {
  uint8_t descriptor[SECTOR];
  for (uint64_t base : PARTITION_BASES) {
    const uint64_t at = base + DESCRIPTOR_OFFSET;
    if (w.image.size() < at || w.image.size() - at < SECTOR) continue;
    bool worded;
    if (const int status = read_image(w, at, descriptor, SECTOR, &worded)) {
      if (worded) return status;
      continue;
    }
    if (std::memcmp(descriptor, MAGIC, MAGIC_LEN) != 0 ||
        std::memcmp(descriptor + SECTOR - MAGIC_LEN, MAGIC, MAGIC_LEN) != 0)
      continue;
    w.partition_base = base;
    *root_sector = le32(descriptor + 20);
    *root_size = le32(descriptor + 24);
    return IMPORT_OK;
  }
  return IMPORT_ERR_NO_XBE;
}

}  // namespace

int xdvdfs_find_executable(byte_reader& image, uint64_t* offset, uint64_t* size) {
  import_context ctx;
  walk w{&ctx, image, 0, {}, false, true, 0, 0, false};
  uint32_t sector = 0, table = 0;
  int status = find_volume(w, &sector, &table);
  if (status == IMPORT_OK) status = xdvdfs_walk_dir(w, sector, table, nullptr, 0);
  if (status != IMPORT_OK) return status;
  if (!w.found_xbe) return IMPORT_ERR_NO_XBE;
  *offset = w.xbe_offset;
  *size = w.xbe_size;
  return IMPORT_OK;
}

int xdvdfs_list(import_context* ctx, byte_reader& image, const char* name,
                const std::string& not_found_hint, bool* has_default_xex) {
  walk w{ctx, image, 0, {}, false, false, 0, 0, false};
  uint32_t sector = 0, table = 0;
  const int found = find_volume(w, &sector, &table);
  if (found == IMPORT_OK) {
    ctx->notes.is_disc_image = 1;
    ctx->notes.partition_offset = w.partition_base;
    const int status = xdvdfs_walk_dir(w, sector, table, nullptr, 0);
    if (has_default_xex) *has_default_xex = w.saw_default_xex;
    return status;
  }
  if (found != IMPORT_ERR_NO_XBE) return found;
  // Say what the file is instead, when it is something players pick by mistake.
  uint8_t head[FORMAT_HINT_BYTES];
  const uint64_t head_len = image.size() < sizeof head ? image.size() : sizeof head;
  std::string hint;
  try {
    bool worded;
    if (!not_found_hint.empty())
      hint = not_found_hint;
    else if (read_image(w, 0, head, head_len, &worded) == IMPORT_OK)
      hint = format_hint_line(head, head_len);
  } catch (const std::bad_alloc&) {
  }
  set_error(&ctx->notes.message,
            "%s is not an Xbox disc image (no XDVDFS volume at offsets 0, 0x18300000, "
            "0xFD90000 or 0x2080000)%s%s",
            name, hint.empty() ? "" : "\n", hint.c_str());
  return IMPORT_ERR_DAMAGED;
}

namespace {

int xdvdfs_walk_dir(walk& w, uint32_t sector, uint32_t size, const char* dir_rel, int depth) {
  import_context* ctx = w.ctx;
  if (depth > MAX_TREE_DEPTH) {
    set_error(&ctx->notes.message, "directory tree too deep (damaged image?)");
    return IMPORT_ERR_DAMAGED;
  }
  if (size == 0) return IMPORT_OK;
  if (size > MAX_TABLE_SIZE) {
    set_error(&ctx->notes.message, "directory table too large (damaged image?)");
    return IMPORT_ERR_DAMAGED;
  }
  const uint64_t position = w.partition_base + uint64_t{sector} * SECTOR;
  auto unreadable = [&]() -> int {
    set_error(&ctx->notes.message, "cannot read directory table at sector %u (truncated image?)",
              static_cast<unsigned>(sector));
    return IMPORT_ERR_DAMAGED;
  };
  // Bounds first: a damaged size must not cost 64 MiB of memory before the read fails.
  if (position > w.image.size() || size > w.image.size() - position) return unreadable();
  try {
    // An empty table is known by its first four bytes: many folders may share one, and a
    // shared 64 MiB table of 0xFF must not be read again for each of them.
    uint8_t head[4];
    if (size >= 4) {
      bool worded;
      if (int status = read_image(w, position, head, 4, &worded))
        return worded ? status : unreadable();
      if (head[0] == 0xFF && head[1] == 0xFF && head[2] == 0xFF && head[3] == 0xFF)
        return IMPORT_OK;
    }
    // The per-table flags cannot see a folder pointing back at an ancestor's table, or many
    // folders sharing one: a few kilobytes of image would list an exponential number of
    // entries before the depth limit stops it. Real tables never overlap.
    if (!claim_table(w, position, size)) return damaged_tree(w, dir_rel);

    const uint32_t slots = size / 4 + 1 < MAX_NODES ? size / 4 + 1 : MAX_NODES;
    const uint32_t kept = size < MAX_REACHABLE_TABLE ? size : MAX_REACHABLE_TABLE;
    std::unique_ptr<uint8_t[]> table(new uint8_t[kept]);
    std::unique_ptr<uint8_t[]> visited(new uint8_t[slots]());
    std::unique_ptr<uint16_t[]> stack(new uint16_t[slots]);
    bool worded;
    if (int status = read_image(w, position, table.get(), kept, &worded))
      return worded ? status : unreadable();
    const uint8_t* t = table.get();

    // In-order walk (left, node, right). The visited flags turn any loop into an error and
    // bound the stack: every node is pushed at most once.
    uint32_t top = 0;
    uint32_t current = 0;
    bool descend = true;
    for (;;) {
      while (descend) {
        const uint64_t at = uint64_t{current} * 4;
        if (at + 14 > kept || visited[current]) return damaged_tree(w, dir_rel);
        visited[current] = 1;
        if (at + 14 + t[at + 13] > kept) {
          set_error(&ctx->notes.message, "damaged directory entry in %s", folder_label(dir_rel));
          return IMPORT_ERR_DAMAGED;
        }
        stack[top++] = static_cast<uint16_t>(current);
        const uint16_t left = le16(t + at);
        if (left == 0 || left == NO_NODE) break;
        current = left;
      }
      if (top == 0) return IMPORT_OK;
      const uint8_t* node = t + uint64_t{stack[--top]} * 4;
      const uint16_t right = le16(node + 2);
      int status = xdvdfs_take_dirent(w, node, dir_rel, depth);
      if (status != IMPORT_OK) return status;
      descend = right != 0 && right != NO_NODE;
      if (descend) current = right;
    }
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}

int xdvdfs_take_dirent(walk& w, const uint8_t* node, const char* dir_rel, int depth) {
  import_context* ctx = w.ctx;
  const uint32_t sector = le32(node + 4);
  const uint32_t size = le32(node + 8);
  const int is_dir = (node[12] & 0x10) != 0;
  const size_t len = node[13];
  const char* raw = reinterpret_cast<const char*>(node + 14);
  const char* parent = dir_rel ? dir_rel : "";
  const char* slash = dir_rel ? "/" : "";

  const name_verdict verdict = judge_name(raw, len);
  if (verdict != NAME_SAFE) {
    set_error(&ctx->notes.message, "unsafe name in image: \"%s%s%s\" %s - refusing the whole image",
              parent, slash, printable_name(raw, len).c_str(),
              verdict == NAME_ESCAPES
                  ? "(contains \"..\", \"/\", \"\\\", \":\" or control characters)"
                  : "(a name Windows cannot hold)");
    return IMPORT_ERR_UNSAFE_NAME;
  }
  // Names on real discs are Windows-1252 ("R\xFCf" for "Rüf"): the game looks its files up
  // by the characters, so they are written under their UTF-8 spelling.
  const std::string name = cp1252_to_utf8(raw, len);

  if (!dir_rel && !is_dir && equals_nocase(name.c_str(), "default.xex")) w.saw_default_xex = true;
  if (w.executable_only) {
    const uint64_t at = w.partition_base + uint64_t{sector} * SECTOR;
    if (!is_dir && !w.found_xbe && equals_nocase(name.c_str(), "default.xbe") &&
        at <= w.image.size() && size <= w.image.size() - at) {
      w.found_xbe = true;
      w.xbe_offset = at;
      w.xbe_size = size;
    }
    return IMPORT_OK;
  }
  if (!dir_rel && !is_wanted_top_level(name.c_str(), is_dir)) {
    ++ctx->notes.skipped_top_level;
    return IMPORT_OK;  // never read: damage inside unwanted folders does not matter
  }
  if (is_dir) {
    int status = entry_list_add(ctx, dir_rel, name.data(), name.size(), entry_source::folder());
    if (status != IMPORT_OK) return status;
    std::string child;
    try {
      child = ctx->entries.back().rel_path;  // the entry just added: the child's path
    } catch (const std::bad_alloc&) {
      return IMPORT_ERR_NO_MEMORY;
    }
    return xdvdfs_walk_dir(w, sector, size, child.c_str(), depth + 1);
  }
  const uint64_t position = w.partition_base + uint64_t{sector} * SECTOR;
  if (size != 0 && (position > w.image.size() || size > w.image.size() - position)) {
    set_error(&ctx->notes.message, "image is truncated: %s%s%s lies past the end of the file",
              parent, slash, name.c_str());
    return IMPORT_ERR_DAMAGED;
  }
  return entry_list_add(ctx, dir_rel, name.data(), name.size(),
                        entry_source::in_image(position, size));
}

}  // namespace
