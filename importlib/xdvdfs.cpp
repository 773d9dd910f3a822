#include "xdvdfs.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include "byte_order.h"
#include "charsets.h"
#include "entries.h"
#include "format_hint.h"
#include "fs.h"
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

const char* folder_label(const char* dir_rel) { return dir_rel ? dir_rel : "(root)"; }

int damaged_tree(import_context* ctx, const char* dir_rel) {
  set_import_error(ctx->result, "damaged directory tree in %s", folder_label(dir_rel));
  return IMPORT_ERR_DAMAGED;
}

// Records [position, position + size) as walked; false if it overlaps a table walked before.
bool claim_table(import_context* ctx, uint64_t position, uint32_t size) {
  const uint64_t end = position + size;
  auto next = ctx->walked_tables.lower_bound(position);
  if (next != ctx->walked_tables.end() && next->first < end) return false;
  if (next != ctx->walked_tables.begin() && std::prev(next)->second > position) return false;
  ctx->walked_tables.emplace_hint(next, position, end);
  return true;
}

// Lists one directory table (`size` bytes at partition sector `sector`); `dir_rel` is the
// folder's relative path, null for the root; `depth` 0 for the root. An import status.
int xdvdfs_walk_dir(import_context* ctx, uint32_t sector, uint32_t size, const char* dir_rel,
                    int depth);

// Handles one node of a directory table (`node` points at its 14-byte header, name inside
// the table) found in the folder `dir_rel` at `depth`. An import status.
int xdvdfs_take_dirent(import_context* ctx, const uint8_t* node, const char* dir_rel, int depth);

}  // namespace

int image_read_at(import_context* ctx, uint64_t position, void* buffer, uint64_t length) {
  if (!ctx->image.is_open() || length > SIZE_MAX) return -1;
  std::string message;
  const int status = ctx->image.read(position, buffer, static_cast<size_t>(length), &message);
  if (status == IMPORT_OK) return 0;
  // A compressed block that does not decode says so, and a part of a split image that
  // cannot be read names itself; a range past the end is the caller's to word.
  if (message.empty()) return -1;
  set_import_error(ctx->result, "%s", message.c_str());
  return status;
}

int xdvdfs_open_image(import_context* ctx, const char* path) {
  std::string message;
  const int status = ctx->image.open(path, &message);
  if (status != IMPORT_OK) {
    if (!message.empty()) set_import_error(ctx->result, "%s", message.c_str());
    return status;
  }
  ctx->result->image_parts = static_cast<uint32_t>(ctx->image.part_count());
  std::snprintf(ctx->result->image_format, sizeof ctx->result->image_format, "%s",
                compressed_kind_name(ctx->image.compressed_kind()));
  return xdvdfs_list(ctx, path);
}

int xdvdfs_list(import_context* ctx, const char* name) {
  uint8_t descriptor[SECTOR];
  for (uint64_t base : PARTITION_BASES) {
    const uint64_t at = base + DESCRIPTOR_OFFSET;
    if (ctx->image.size() < at || ctx->image.size() - at < SECTOR) continue;
    const int read = image_read_at(ctx, at, descriptor, SECTOR);
    if (read < -1) return read;
    if (read != 0) continue;
    if (std::memcmp(descriptor, MAGIC, MAGIC_LEN) != 0 ||
        std::memcmp(descriptor + SECTOR - MAGIC_LEN, MAGIC, MAGIC_LEN) != 0)
      continue;
    ctx->partition_base = base;
    ctx->result->is_disc_image = 1;
    ctx->result->partition_offset = base;
    return xdvdfs_walk_dir(ctx, le32(descriptor + 20), le32(descriptor + 24), nullptr, 0);
  }
  // Say what the file is instead, when it is something players pick by mistake.
  uint8_t head[FORMAT_HINT_BYTES];
  const uint64_t head_len = ctx->image.size() < sizeof head ? ctx->image.size() : sizeof head;
  std::string hint;
  try {
    const std::string first = first_part_of(name);
    if (!first.empty())
      hint = "This is a later part of a split image: choose " + first + " instead.";
    else if (image_read_at(ctx, 0, head, head_len) == 0)
      hint = format_hint_line(head, head_len);
  } catch (const std::bad_alloc&) {
  }
  set_import_error(ctx->result,
                   "%s is not an Xbox disc image (no XDVDFS volume at offsets 0, 0x18300000, "
                   "0xFD90000 or 0x2080000)%s%s",
                   name, hint.empty() ? "" : "\n", hint.c_str());
  return IMPORT_ERR_DAMAGED;
}

namespace {

int xdvdfs_walk_dir(import_context* ctx, uint32_t sector, uint32_t size, const char* dir_rel,
                    int depth) {
  if (depth > MAX_TREE_DEPTH) {
    set_import_error(ctx->result, "directory tree too deep (damaged image?)");
    return IMPORT_ERR_DAMAGED;
  }
  if (size == 0) return IMPORT_OK;
  if (size > MAX_TABLE_SIZE) {
    set_import_error(ctx->result, "directory table too large (damaged image?)");
    return IMPORT_ERR_DAMAGED;
  }
  const uint64_t position = ctx->partition_base + uint64_t{sector} * SECTOR;
  auto unreadable = [&](int read) -> int {
    if (read < -1) return read;
    set_import_error(ctx->result, "cannot read directory table at sector %u (truncated image?)",
                     static_cast<unsigned>(sector));
    return IMPORT_ERR_DAMAGED;
  };
  // Bounds first: a damaged size must not cost 64 MiB of memory before the read fails.
  if (position > ctx->image.size() || size > ctx->image.size() - position) return unreadable(-1);
  try {
    // An empty table is known by its first four bytes: many folders may share one, and a
    // shared 64 MiB table of 0xFF must not be read again for each of them.
    uint8_t head[4];
    if (size >= 4) {
      if (int read = image_read_at(ctx, position, head, 4)) return unreadable(read);
      if (head[0] == 0xFF && head[1] == 0xFF && head[2] == 0xFF && head[3] == 0xFF)
        return IMPORT_OK;
    }
    // The per-table flags cannot see a folder pointing back at an ancestor's table, or many
    // folders sharing one: a few kilobytes of image would list an exponential number of
    // entries before the depth limit stops it. Real tables never overlap.
    if (!claim_table(ctx, position, size)) return damaged_tree(ctx, dir_rel);

    const uint32_t slots = size / 4 + 1 < MAX_NODES ? size / 4 + 1 : MAX_NODES;
    const uint32_t kept = size < MAX_REACHABLE_TABLE ? size : MAX_REACHABLE_TABLE;
    std::unique_ptr<uint8_t[]> table(new uint8_t[kept]);
    std::unique_ptr<uint8_t[]> visited(new uint8_t[slots]());
    std::unique_ptr<uint16_t[]> stack(new uint16_t[slots]);
    if (int read = image_read_at(ctx, position, table.get(), kept)) return unreadable(read);
    const uint8_t* t = table.get();

    // In-order walk (left, node, right). The visited flags turn any loop into an error and
    // bound the stack: every node is pushed at most once.
    uint32_t top = 0;
    uint32_t current = 0;
    bool descend = true;
    for (;;) {
      while (descend) {
        const uint64_t at = uint64_t{current} * 4;
        if (at + 14 > kept || visited[current]) return damaged_tree(ctx, dir_rel);
        visited[current] = 1;
        if (at + 14 + t[at + 13] > kept) {
          set_import_error(ctx->result, "damaged directory entry in %s", folder_label(dir_rel));
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
      int status = xdvdfs_take_dirent(ctx, node, dir_rel, depth);
      if (status != IMPORT_OK) return status;
      descend = right != 0 && right != NO_NODE;
      if (descend) current = right;
    }
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}

int xdvdfs_take_dirent(import_context* ctx, const uint8_t* node, const char* dir_rel, int depth) {
  const uint32_t sector = le32(node + 4);
  const uint32_t size = le32(node + 8);
  const int is_dir = (node[12] & 0x10) != 0;
  const size_t len = node[13];
  const char* raw = reinterpret_cast<const char*>(node + 14);
  const char* parent = dir_rel ? dir_rel : "";
  const char* slash = dir_rel ? "/" : "";

  const name_verdict verdict = judge_name(raw, len);
  if (verdict != NAME_SAFE) {
    set_import_error(ctx->result, "unsafe name in image: \"%s%s%s\" %s - refusing the whole image",
                     parent, slash, printable_name(raw, len).c_str(),
                     verdict == NAME_ESCAPES
                         ? "(contains \"..\", \"/\", \"\\\", \":\" or control characters)"
                         : "(a name Windows cannot hold)");
    return IMPORT_ERR_UNSAFE_NAME;
  }
  // Names on real discs are Windows-1252 ("R\xFCf" for "Rüf"): the game looks its files up
  // by the characters, so they are written under their UTF-8 spelling.
  const std::string name = cp1252_to_utf8(raw, len);

  if (!dir_rel && !is_dir && equals_nocase(name.c_str(), "default.xex")) ctx->saw_default_xex = 1;
  if (!dir_rel && !is_wanted_top_level(name.c_str(), is_dir)) {
    ++ctx->result->skipped_top_level;
    return IMPORT_OK;  // never read: damage inside unwanted folders does not matter
  }
  if (is_dir) {
    int status = entry_list_add(ctx, dir_rel, name.data(), name.size(), nullptr, 0, 0, 1);
    if (status != IMPORT_OK) return status;
    std::string child;
    try {
      child = ctx->entries.back().rel_path;  // the entry just added: the child's path
    } catch (const std::bad_alloc&) {
      return IMPORT_ERR_NO_MEMORY;
    }
    return xdvdfs_walk_dir(ctx, sector, size, child.c_str(), depth + 1);
  }
  const uint64_t position = ctx->partition_base + uint64_t{sector} * SECTOR;
  if (size != 0 && (position > ctx->image.size() || size > ctx->image.size() - position)) {
    set_import_error(ctx->result, "image is truncated: %s%s%s lies past the end of the file",
                     parent, slash, name.c_str());
    return IMPORT_ERR_DAMAGED;
  }
  return entry_list_add(ctx, dir_rel, name.data(), name.size(), nullptr, position, size, 0);
}

}  // namespace
