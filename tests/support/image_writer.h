// XDVDFS test images built from a tree described in code.
//
// Normal output looks like what common XISO tools write: the volume descriptor at partition
// sector 32, then every directory table (root first), then the file data, each file starting
// on a sector of its own. Inside a table the children are sorted case-insensitively into a
// balanced search tree whose root node sits at offset 0; a node never crosses a 2,048-byte
// sector and every sector's unused tail is 0xFF. The root table's size is its exact byte
// count; sub-folder sizes are rounded up to whole sectors. An empty folder is either size 0
// or one sector of 0xFF (disc_node::ff_table).
//
// Damage is forged through image_options::damage, which gets the finished image and the
// layout (where every node, table and data block went) and may patch any byte.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

constexpr uint64_t XDVDFS_SECTOR = 2048;
constexpr uint64_t XDVDFS_DESCRIPTOR = 0x10000;  // within the partition
constexpr uint64_t REDUMP_PARTITION_BASE = 0x18300000;
extern const char XDVDFS_MAGIC[21];  // "MICROSOFT*XBOX*MEDIA"

// One file or folder of a disc tree. The root node's own name is ignored.
struct disc_node {
  // Raw bytes as on disc (any byte, at most 255): Windows-1252 text, as real discs hold.
  // An extracted copy (write_folder) and the layout name it in UTF-8.
  std::string name;
  bool is_dir = false;
  std::vector<uint8_t> data;        // file contents
  std::vector<disc_node> children;  // folder contents
  bool ff_table = false;            // empty folder: one 0xFF sector instead of size 0
};

disc_node file_node(std::string name, std::vector<uint8_t> data);
disc_node dir_node(std::string name, std::vector<disc_node> children = {});
// An empty folder written as a 2,048-byte table of 0xFF.
disc_node ff_dir_node(std::string name);

// The sample disc: the sample default.xbe, a few of the wanted folders with nested files of
// various sizes (empty files, an empty folder in each form), and unwanted top-level entries
// ("readme.txt", "extras", "$SystemUpdate"). Deterministic.
disc_node sample_tree();

// A tree with every shape a lister and the writer's layout must handle: nesting, empty files,
// both empty-folder forms, sizes around a sector, a table over several sectors (300 files,
// written unsorted), a Windows-1252 name, and unwanted top-level entries. Deterministic.
disc_node listing_tree();

// A sparse image: extents of written bytes, zeros everywhere else up to `size`.
class disc_image {
 public:
  uint64_t size() const { return size_; }
  // Writes bytes at `pos`, growing the image when they end beyond it.
  void put(uint64_t pos, const void* bytes, size_t len);
  void put_u8(uint64_t pos, uint8_t v) { put(pos, &v, 1); }
  void put_u16(uint64_t pos, uint16_t v);
  void put_u32(uint64_t pos, uint32_t v);
  void fill(uint64_t pos, uint64_t len, uint8_t byte);
  // Cuts or (sparsely) extends the image to `size` bytes.
  void resize(uint64_t size);
  std::vector<uint8_t> get(uint64_t pos, size_t len) const;
  // All bytes, holes as zeros. Only for images small enough to hold in memory.
  std::vector<uint8_t> dense() const;
  // Writes the file at the UTF-8 `path`, seeking over holes. False on failure.
  bool save(const std::string& path) const;

 private:
  std::map<uint64_t, std::vector<uint8_t>> extents_;  // by start; never overlapping
  uint64_t size_ = 0;
};

// Where the writer put a table or an entry; positions are absolute in the image file.
struct placed_table {
  std::string rel_path;  // "" for the root
  uint32_t sector = 0;   // partition-relative
  uint32_t size = 0;     // as recorded in the parent node (or descriptor)
  uint64_t pos = 0;      // partition_base + sector * 2048
};

struct placed_entry {
  std::string rel_path;  // '/' between components, UTF-8
  bool is_dir = false;
  uint32_t sector = 0;       // first sector of the data or table, partition-relative
  uint32_t size = 0;         // file size, or the folder's table size
  uint64_t data_pos = 0;     // partition_base + sector * 2048
  uint64_t node_pos = 0;     // absolute position of this entry's node
  uint32_t node_offset = 0;  // in 4-byte units within the parent's table
};

struct disc_layout {
  uint64_t partition_base = 0;
  uint64_t descriptor_pos = 0;  // partition_base + 0x10000
  placed_table root;
  std::vector<placed_table> tables;   // every non-empty-sized table, root first
  std::vector<placed_entry> entries;  // in listing order: sorted, folders before contents
  // The entry or table at `rel_path`; aborts when there is none (a broken test).
  const placed_entry& entry(const std::string& rel_path) const;
  const placed_table& table(const std::string& rel_path) const;
};

struct image_options {
  uint64_t partition_base = 0;
  bool none_as_ffff = false;   // absent subtrees as 0xFFFF instead of 0
  bool shuffled_data = false;  // file data in a fixed shuffled order instead of listing order
  // Last step: patch anything, knowing where everything went.
  std::function<void(disc_image&, const disc_layout&)> damage;
};

// For image_options::damage: turns the file at `rel_path` into `size` bytes of zeros that
// the image holds as a hole at its end, so a test can import gigabytes without holding them
// in memory or on disk (the import still writes them).
void make_sparse_file(disc_image& image, const disc_layout& layout, const std::string& rel_path,
                      uint32_t size);

// Builds the image of `root`. Aborts on a tree that cannot be written (a name over 255
// bytes, a table too big for 16-bit node offsets): a broken test.
disc_image build_image(const disc_node& root, const image_options& options = {},
                       disc_layout* layout = nullptr);

// build_image + disc_image::save. False if the file cannot be written.
bool write_image(const std::string& path, const disc_node& root, const image_options& options = {},
                 disc_layout* layout = nullptr);

// build_image + dense bytes: for small partition bases only.
std::vector<uint8_t> write_image_to_memory(const disc_node& root, const image_options& options = {},
                                           disc_layout* layout = nullptr);

// Writes the tree as an extracted disc: `path` is created and receives the root's children.
// Names must be valid for the platform. False on failure.
bool write_folder(const std::string& path, const disc_node& root);
