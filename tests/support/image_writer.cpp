#include "image_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <random>

#include "charsets.h"
#include "fs.h"
#include "le_bytes.h"
#include "paths.h"
#include "sample_xbe.h"
#include "testutil.h"

const char XDVDFS_MAGIC[21] = "MICROSOFT*XBOX*MEDIA";

namespace {

[[noreturn]] void broken_tree(const char* why, const std::string& what) {
  std::fprintf(stderr, "image writer: %s: %s\n", why, what.c_str());
  std::abort();
}

uint64_t round_up(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

// XDVDFS orders names byte-wise after ASCII upper-casing.
bool name_less(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// One folder's table: its children in search order and where each node goes.
struct table_plan {
  const disc_node* dir = nullptr;
  std::string rel;
  std::vector<const disc_node*> sorted;
  std::vector<int> left, right;  // index into sorted, -1 for none
  int top = -1;                  // the tree's root node (always at offset 0)
  std::vector<uint32_t> offset;  // byte offset of each node in the table
  uint32_t used = 0;             // bytes up to the end of the last node
  uint32_t size = 0;             // recorded size
  uint32_t sector = 0;
  std::vector<uint32_t> child_sector, child_size;
  std::vector<int> child_plan;  // folders: index into the plan list
};

int build_tree(table_plan& t, int lo, int hi) {
  if (lo > hi) return -1;
  int mid = lo + (hi - lo) / 2;
  t.left[mid] = build_tree(t, lo, mid - 1);
  t.right[mid] = build_tree(t, mid + 1, hi);
  return mid;
}

void place_nodes(table_plan& t, int node, uint32_t& pos) {
  if (node < 0) return;
  uint32_t need = 14 + static_cast<uint32_t>(t.sorted[node]->name.size());
  if (pos % XDVDFS_SECTOR + need > XDVDFS_SECTOR)  // never cross a sector
    pos = static_cast<uint32_t>(round_up(pos, XDVDFS_SECTOR));
  t.offset[node] = pos;
  pos += static_cast<uint32_t>(round_up(need, 4));
  place_nodes(t, t.left[node], pos);
  place_nodes(t, t.right[node], pos);
}

// Plans `dir` and, depth first in search order, every folder below it.
void plan_tables(const disc_node& dir, const std::string& rel, bool is_root,
                 std::vector<table_plan>& plans) {
  size_t me = plans.size();
  plans.emplace_back();
  {
    table_plan& t = plans[me];
    t.dir = &dir;
    t.rel = rel;
    for (const disc_node& c : dir.children) {
      if (c.name.size() > 255) broken_tree("name over 255 bytes", c.name);
      t.sorted.push_back(&c);
    }
    std::stable_sort(t.sorted.begin(), t.sorted.end(), [](const disc_node* a, const disc_node* b) {
      return name_less(a->name, b->name);
    });
    size_t n = t.sorted.size();
    t.left.assign(n, -1);
    t.right.assign(n, -1);
    t.offset.assign(n, 0);
    t.child_sector.assign(n, 0);
    t.child_size.assign(n, 0);
    t.child_plan.assign(n, -1);
    t.top = build_tree(t, 0, static_cast<int>(n) - 1);
    uint32_t pos = 0;
    place_nodes(t, t.top, pos);
    t.used = pos;
    if (n == 0)
      t.size = dir.ff_table ? static_cast<uint32_t>(XDVDFS_SECTOR) : 0;
    else
      t.size = is_root ? pos : static_cast<uint32_t>(round_up(pos, XDVDFS_SECTOR));
    for (uint32_t off : t.offset)
      if (off / 4 >= 0xFFFF) broken_tree("table too big for 16-bit node offsets", rel);
  }
  for (size_t i = 0; i < plans[me].sorted.size(); ++i) {
    const disc_node* c = plans[me].sorted[i];
    if (!c->is_dir) continue;
    plans[me].child_plan[i] = static_cast<int>(plans.size());
    plan_tables(*c, rel.empty() ? c->name : rel + "/" + c->name, false, plans);
  }
}

void list_entries(const std::vector<table_plan>& plans, int p, uint64_t base, uint64_t table_pos,
                  disc_layout& lay) {
  const table_plan& t = plans[p];
  for (size_t i = 0; i < t.sorted.size(); ++i) {
    placed_entry e;
    const std::string name = cp1252_to_utf8(t.sorted[i]->name.data(), t.sorted[i]->name.size());
    e.rel_path = t.rel.empty() ? name : t.rel + "/" + name;
    e.is_dir = t.sorted[i]->is_dir;
    e.sector = t.child_sector[i];
    e.size = t.child_size[i];
    e.data_pos = base + uint64_t{e.sector} * XDVDFS_SECTOR;
    e.node_pos = table_pos + t.offset[i];
    e.node_offset = t.offset[i] / 4;
    lay.entries.push_back(e);
    if (e.is_dir) list_entries(plans, t.child_plan[i], base, e.data_pos, lay);
  }
}

void write_dir(const std::string& path, const disc_node& dir, bool& ok) {
  if (make_dirs(path.c_str()) != 0) ok = false;
  for (const disc_node& c : dir.children) {
    std::string full =
        join_out_path(path.c_str(), cp1252_to_utf8(c.name.data(), c.name.size()).c_str());
    if (c.is_dir) {
      write_dir(full, c, ok);
      continue;
    }
    unique_file f(open_utf8(full.c_str(), "wb"));
    if (!f ||
        (!c.data.empty() &&
         std::fwrite(c.data.data(), 1, c.data.size(), f.get()) != c.data.size()) ||
        std::fclose(f.release()) != 0)
      ok = false;
  }
}

}  // namespace

disc_node file_node(std::string name, std::vector<uint8_t> data) {
  disc_node n;
  n.name = std::move(name);
  n.data = std::move(data);
  return n;
}

disc_node dir_node(std::string name, std::vector<disc_node> children) {
  disc_node n;
  n.name = std::move(name);
  n.is_dir = true;
  n.children = std::move(children);
  return n;
}

disc_node ff_dir_node(std::string name) {
  disc_node n = dir_node(std::move(name));
  n.ff_table = true;
  return n;
}

disc_node sample_tree() {
  return dir_node("",
                  {
                      file_node("default.xbe", sample_xbe()),
                      dir_node("maps",
                               {
                                   file_node("shared.map", pattern_bytes(10000, 1)),
                                   file_node("level01.map", pattern_bytes(2049, 2)),
                                   file_node("Empty.dat", {}),
                                   dir_node("sub", {file_node("deep.bin", pattern_bytes(2048, 3))}),
                               }),
                      dir_node("media",
                               {
                                   dir_node("ui", {file_node("font.bin", pattern_bytes(2047, 4)),
                                                   ff_dir_node("blank")}),
                                   file_node("logo.bik", pattern_bytes(5000, 5)),
                               }),
                      dir_node("TDATA"),
                      file_node("readme.txt", {'r', 'e', 'a', 'd', ' ', 'm', 'e', '\n'}),
                      dir_node("extras", {file_node("bonus.bin", pattern_bytes(3000, 6))}),
                      dir_node("$SystemUpdate", {file_node("xboxupd.xbe", pattern_bytes(4096, 7))}),
                  });
}

disc_node listing_tree() {
  std::vector<disc_node> many;
  for (int i = 0; i < 300; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file_%03d.dat", (i * 7) % 300);  // written unsorted
    many.push_back(
        file_node(name, pattern_bytes(static_cast<size_t>(i % 5) * 700, static_cast<uint32_t>(i))));
  }
  return dir_node(
      "",
      {
          file_node("DEFAULT.XBE", pattern_bytes(4096, 9)),
          dir_node("maps",
                   {
                       file_node("s2047.bin", pattern_bytes(2047, 10)),
                       file_node("s2048.bin", pattern_bytes(2048, 11)),
                       file_node("s2049.bin", pattern_bytes(2049, 12)),
                       file_node("empty.bin", {}),
                       dir_node("a", {dir_node(
                                         "b", {dir_node("c", {file_node("leaf.txt",
                                                                        pattern_bytes(5, 13))})})}),
                       dir_node("void_zero"),
                       ff_dir_node("void_ff"),
                   }),
          dir_node("Media", {dir_node("many", std::move(many))}),
          dir_node("bink"),
          ff_dir_node("UDATA"),
          dir_node("tdata", {file_node("\xE9t\xE9.bin", pattern_bytes(77, 14))}),
          file_node("udata.txt", pattern_bytes(10, 15)),
          file_node("media", pattern_bytes(10, 16)),  // a file, not the wanted folder
          dir_node("default.xbe.d", {file_node("x", {1})}),
          dir_node("$SystemUpdate", {file_node("update.xbe", pattern_bytes(3000, 17))}),
      });
}

// --- disc_image ---------------------------------------------------------------------------

void disc_image::put(uint64_t pos, const void* bytes, size_t len) {
  if (len == 0) return;
  uint64_t lo = pos, hi = pos + len;
  // Merge every extent overlapping [pos, pos + len) into one.
  auto it = extents_.upper_bound(pos);
  if (it != extents_.begin() && std::prev(it)->first + std::prev(it)->second.size() > pos) --it;
  auto first = it;
  while (it != extents_.end() && it->first < pos + len) {
    lo = std::min(lo, it->first);
    hi = std::max(hi, it->first + it->second.size());
    ++it;
  }
  std::vector<uint8_t> merged(static_cast<size_t>(hi - lo));
  for (auto j = first; j != it; ++j)
    std::memcpy(merged.data() + (j->first - lo), j->second.data(), j->second.size());
  std::memcpy(merged.data() + (pos - lo), bytes, len);
  extents_.erase(first, it);
  extents_.emplace(lo, std::move(merged));
  size_ = std::max(size_, pos + len);
}

void disc_image::put_u16(uint64_t pos, uint16_t v) {
  uint8_t b[2];
  store_le(b, v, 2);
  put(pos, b, 2);
}

void disc_image::put_u32(uint64_t pos, uint32_t v) {
  uint8_t b[4];
  store_le(b, v, 4);
  put(pos, b, 4);
}

void disc_image::fill(uint64_t pos, uint64_t len, uint8_t byte) {
  std::vector<uint8_t> bytes(static_cast<size_t>(len), byte);
  put(pos, bytes.data(), bytes.size());
}

void disc_image::resize(uint64_t size) {
  while (!extents_.empty()) {
    auto last = std::prev(extents_.end());
    if (last->first >= size) {
      extents_.erase(last);
    } else {
      if (last->first + last->second.size() > size)
        last->second.resize(static_cast<size_t>(size - last->first));
      break;
    }
  }
  size_ = size;
}

std::vector<uint8_t> disc_image::get(uint64_t pos, size_t len) const {
  std::vector<uint8_t> out(len);
  auto it = extents_.upper_bound(pos);
  if (it != extents_.begin()) --it;
  for (; it != extents_.end() && it->first < pos + len; ++it) {
    uint64_t from = std::max(pos, it->first);
    uint64_t to = std::min(pos + len, it->first + it->second.size());
    if (from < to)
      std::memcpy(out.data() + (from - pos), it->second.data() + (from - it->first),
                  static_cast<size_t>(to - from));
  }
  return out;
}

std::vector<uint8_t> disc_image::dense() const { return get(0, static_cast<size_t>(size_)); }

bool disc_image::save(const std::string& path) const {
  unique_file f(open_utf8(path.c_str(), "wb"));
  if (!f) return false;
  uint64_t end = 0;
  for (const auto& [pos, bytes] : extents_) {
    if (seek_to(f.get(), pos) != 0 ||
        std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
      return false;
    end = pos + bytes.size();
  }
  if (size_ > end) {  // the size of a trailing hole is set by its last byte
    if (seek_to(f.get(), size_ - 1) != 0 || std::fputc(0, f.get()) == EOF) return false;
  }
  return std::fclose(f.release()) == 0;
}

// --- layout -------------------------------------------------------------------------------

const placed_entry& disc_layout::entry(const std::string& rel_path) const {
  for (const placed_entry& e : entries)
    if (e.rel_path == rel_path) return e;
  broken_tree("no such entry", rel_path);
}

const placed_table& disc_layout::table(const std::string& rel_path) const {
  for (const placed_table& t : tables)
    if (t.rel_path == rel_path) return t;
  broken_tree("no such table", rel_path);
}

disc_image build_image(const disc_node& root, const image_options& options, disc_layout* layout) {
  const uint64_t base = options.partition_base;
  std::vector<table_plan> plans;
  plan_tables(root, "", true, plans);

  // Tables first, root first; then the file data in listing order.
  uint32_t next = static_cast<uint32_t>(XDVDFS_DESCRIPTOR / XDVDFS_SECTOR) + 1;
  for (table_plan& t : plans) {
    if (t.size == 0) continue;
    t.sector = next;
    next += static_cast<uint32_t>(round_up(t.size, XDVDFS_SECTOR) / XDVDFS_SECTOR);
  }
  for (table_plan& t : plans) {
    for (size_t i = 0; i < t.sorted.size(); ++i) {
      const disc_node* c = t.sorted[i];
      if (c->is_dir) {
        t.child_sector[i] = plans[t.child_plan[i]].sector;
        t.child_size[i] = plans[t.child_plan[i]].size;
      }
    }
  }
  // Data in listing order (walk the plans depth first as the lister will), or shuffled.
  std::vector<std::pair<table_plan*, size_t>> files;
  std::function<void(int)> collect = [&](int p) {
    table_plan& t = plans[p];
    for (size_t i = 0; i < t.sorted.size(); ++i) {
      if (t.sorted[i]->is_dir)
        collect(t.child_plan[i]);
      else if (!t.sorted[i]->data.empty())
        files.emplace_back(&t, i);
    }
  };
  collect(0);
  if (options.shuffled_data) std::shuffle(files.begin(), files.end(), std::mt19937(20261209));
  for (auto [t, i] : files) {
    t->child_sector[i] = next;
    t->child_size[i] = static_cast<uint32_t>(t->sorted[i]->data.size());
    next +=
        static_cast<uint32_t>(round_up(t->sorted[i]->data.size(), XDVDFS_SECTOR) / XDVDFS_SECTOR);
  }

  disc_image img;
  uint64_t desc = base + XDVDFS_DESCRIPTOR;
  img.fill(desc, XDVDFS_SECTOR, 0);
  img.put(desc, XDVDFS_MAGIC, 20);
  img.put_u32(desc + 20, plans[0].sector);
  img.put_u32(desc + 24, plans[0].size);
  img.put_u32(desc + 28, 0x5A3C1E00);  // a fixed creation time
  img.put_u32(desc + 32, 0x01D2C3B4);
  img.put(desc + 2028, XDVDFS_MAGIC, 20);

  const uint16_t none = options.none_as_ffff ? 0xFFFF : 0;
  for (const table_plan& t : plans) {
    if (t.size == 0) continue;
    std::vector<uint8_t> bytes(static_cast<size_t>(round_up(t.size, XDVDFS_SECTOR)), 0xFF);
    for (size_t i = 0; i < t.sorted.size(); ++i) {
      uint8_t* n = bytes.data() + t.offset[i];
      store_le(n, t.left[i] < 0 ? none : static_cast<uint16_t>(t.offset[t.left[i]] / 4), 2);
      store_le(n + 2, t.right[i] < 0 ? none : static_cast<uint16_t>(t.offset[t.right[i]] / 4), 2);
      store_le(n + 4, t.child_sector[i], 4);
      store_le(n + 8, t.child_size[i], 4);
      n[12] = t.sorted[i]->is_dir ? 0x10 : 0x20;  // directory / archive
      n[13] = static_cast<uint8_t>(t.sorted[i]->name.size());
      std::memcpy(n + 14, t.sorted[i]->name.data(), t.sorted[i]->name.size());
    }
    img.put(base + uint64_t{t.sector} * XDVDFS_SECTOR, bytes.data(), bytes.size());
  }
  for (const table_plan& t : plans)
    for (size_t i = 0; i < t.sorted.size(); ++i)
      if (!t.sorted[i]->is_dir && !t.sorted[i]->data.empty())
        img.put(base + uint64_t{t.child_sector[i]} * XDVDFS_SECTOR, t.sorted[i]->data.data(),
                t.sorted[i]->data.size());
  img.resize(base + uint64_t{next} * XDVDFS_SECTOR);

  disc_layout lay;
  lay.partition_base = base;
  lay.descriptor_pos = desc;
  for (const table_plan& t : plans) {
    placed_table pt{t.rel, t.sector, t.size, base + uint64_t{t.sector} * XDVDFS_SECTOR};
    if (t.rel.empty()) lay.root = pt;
    if (t.size != 0) lay.tables.push_back(pt);
  }
  list_entries(plans, 0, base, lay.root.pos, lay);
  if (options.damage) options.damage(img, lay);
  if (layout) *layout = std::move(lay);
  return img;
}

void make_sparse_file(disc_image& image, const disc_layout& layout, const std::string& rel_path,
                      uint32_t size) {
  const placed_entry& file = layout.entry(rel_path);
  const uint64_t sector =
      round_up(image.size() - layout.partition_base, XDVDFS_SECTOR) / XDVDFS_SECTOR;
  image.put_u32(file.node_pos + 4, static_cast<uint32_t>(sector));
  image.put_u32(file.node_pos + 8, size);
  image.resize(layout.partition_base + sector * XDVDFS_SECTOR + size);
}

bool write_image(const std::string& path, const disc_node& root, const image_options& options,
                 disc_layout* layout) {
  return build_image(root, options, layout).save(path);
}

std::vector<uint8_t> write_image_to_memory(const disc_node& root, const image_options& options,
                                           disc_layout* layout) {
  return build_image(root, options, layout).dense();
}

bool write_folder(const std::string& path, const disc_node& root) {
  bool ok = true;
  write_dir(path, root, ok);
  return ok;
}
