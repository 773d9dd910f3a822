#include "import.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "compressed_writer.h"
#include "copier.h"
#include "fs.h"
#include "image_writer.h"
#include "le_bytes.h"
#include "messages.h"
#include "paths.h"
#include "sample_xbe.h"
#include "sha256.h"
#include "testutil.h"
#include "wanted_tree.h"
#include "zip_image.h"
#include "zip_writer.h"

namespace {

struct progress_trace {
  uint64_t calls = 0, last_done = 0, total = 0;
  bool monotonic = true, total_fixed = true;
  const char* last_path = nullptr;
  // A ZIP archive's first reading (no path): its calls, whether one came after the copy's
  // first, and the last one's figures.
  uint64_t reading_calls = 0, reading_done = 0, reading_total = 0;
  bool read_after_copy = false;
  static void record(uint64_t done, uint64_t total, const char* path, void* user) {
    auto* t = static_cast<progress_trace*>(user);
    if (!path) {
      t->read_after_copy |= t->calls > 0;
      ++t->reading_calls;
      t->reading_done = done;
      t->reading_total = total;
      return;
    }
    t->last_path = path;
    if (t->calls > 0 && (done < t->last_done)) t->monotonic = false;
    if (t->calls > 0 && total != t->total) t->total_fixed = false;
    ++t->calls;
    t->last_done = done;
    t->total = total;
  }
};

disc_node small_tree(std::vector<uint8_t> xbe = sample_xbe()) {
  return dir_node("", {
                          file_node("default.xbe", std::move(xbe)),
                          dir_node("maps", {file_node("a.map", pattern_bytes(5000, 1)),
                                            file_node("b.map", pattern_bytes(70, 2))}),
                          dir_node("media", {dir_node("ui", {file_node("f.bin", {})})}),
                          file_node("readme.txt", {'x'}),
                      });
}

bool exists(const std::string& path) { return path_kind(path.c_str(), nullptr) != PATH_NONE; }

TEST(Import, FirstChecksInOrder) {
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", small_tree()));
  const std::string src = dir / "src";
  std::string upper = src;
  for (size_t i = upper.size() - 3; i < upper.size(); ++i)
    upper[i] = static_cast<char>(std::toupper(upper[i]));
  const std::string long_missing(2000, 'x');
  struct {
    const char* source;
    const char* out;
    int status;
    std::string message;
  } cases[] = {
      {nullptr, "out", IMPORT_ERR_NO_SOURCE, "no source given"},
      {"", "/", IMPORT_ERR_NO_SOURCE, "no source given"},
      {src.c_str(), "/", IMPORT_ERR_BAD_OUTPUT,
       "refusing output path \"/\": it is empty, a drive/filesystem root or \".\"/\"..\""},
      {src.c_str(), nullptr, IMPORT_ERR_BAD_OUTPUT,
       "refusing output path \"\": it is empty, a drive/filesystem root or \".\"/\"..\""},
      {"nowhere/at/all", "..", IMPORT_ERR_BAD_OUTPUT,
       "refusing output path \"..\": it is empty, a drive/filesystem root or \".\"/\"..\""},
      {"nowhere/at/all", "out", IMPORT_ERR_SOURCE_IO, "source not found: nowhere/at/all"},
      // A message is cut to the record's 767 bytes.
      {long_missing.c_str(), "out", IMPORT_ERR_SOURCE_IO,
       ("source not found: " + long_missing).substr(0, 767)},
      {src.c_str(), src.c_str(), IMPORT_ERR_BAD_OUTPUT, "output folder is the source folder"},
      {src.c_str(), upper.c_str(), IMPORT_ERR_BAD_OUTPUT, "output folder is the source folder"},
  };
  for (const auto& c : cases) {
    import_result r;
    std::memset(&r, 0x55, sizeof r);  // everything must be cleared
    EXPECT_EQ(import_game(c.source, c.out, nullptr, nullptr, &r), c.status) << c.message;
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.files_copied + r.folders_created + r.skipped_top_level, 0u);
    EXPECT_EQ(r.bytes_copied + r.partition_offset, 0u);
    EXPECT_EQ(r.is_disc_image + r.xbe_sha_ok, 0);
    EXPECT_STREQ(r.xbe_sha_hex, "");
    // Without a record only the status comes back.
    EXPECT_EQ(import_game(c.source, c.out, nullptr, nullptr, nullptr), c.status);
  }
  EXPECT_EQ(list_tree(dir.path()),
            (std::vector<std::string>{"src/", "src/default.xbe", "src/maps/", "src/maps/a.map",
                                      "src/maps/b.map", "src/media/", "src/media/ui/",
                                      "src/media/ui/f.bin", "src/readme.txt"}));
}

// The sample disc as an extracted folder, as an image at every partition base, and in every
// form an image comes in (split, compressed, both), which must import the same bytes.
TEST(Import, SampleFromFolderAndImagesAtEveryBaseInEveryForm) {
  const disc_node tree = sample_tree();
  const wanted_tree want(tree);
  struct {
    uint64_t base;  // UINT64_MAX: the extracted folder
    image_form form;
  } cases[] = {{UINT64_MAX, image_form::iso},
               {0, image_form::iso},
               {REDUMP_PARTITION_BASE, image_form::iso},
               {0xFD90000, image_form::iso},
               {0x2080000, image_form::iso},
               {0, image_form::split_iso},
               {0, image_form::cci},
               {0x2080000, image_form::cci},
               {0, image_form::split_cci},
               {0, image_form::cso},
               {0, image_form::split_cso},
               {0, image_form::cso_one_stream},
               {0, image_form::zip_stored},
               {REDUMP_PARTITION_BASE, image_form::zip_deflated},
               {0x2080000, image_form::zip64}};
  for (const auto& c : cases) {
    const form_info& form = image_forms()[static_cast<size_t>(c.form)];
    SCOPED_TRACE(std::string(form.what) + " at " + hex(c.base));
    temp_dir dir;
    std::string source = dir / "source";
    std::vector<std::string> parts;
    if (c.base == UINT64_MAX) {
      ASSERT_TRUE(write_folder(source, tree));
    } else {
      image_options options;
      options.partition_base = c.base;
      // Parts cut inside files and sectors alike: 300,000 is no multiple of 2,048.
      source = save_in_form(build_image(tree, options), c.form, dir / "disc", 300000, &parts);
      ASSERT_NE(source, "");
      ASSERT_EQ(parts.size() > 1, form.split);
    }
    const std::string out = dir / "game/sub";  // parents are created too
    import_result r;
    progress_trace trace;
    ASSERT_EQ(import_game(source.c_str(), out.c_str(), progress_trace::record, &trace, &r),
              IMPORT_OK)
        << r.message;
    EXPECT_EQ(want.differences(out), "");
    EXPECT_EQ(r.is_disc_image, c.base == UINT64_MAX ? 0 : 1);
    EXPECT_EQ(r.partition_offset, c.base == UINT64_MAX ? 0 : c.base);
    EXPECT_EQ(r.image_parts, parts.size());
    EXPECT_STREQ(r.image_format, c.base == UINT64_MAX ? "" : form.format);
    const bool zipped = c.base != UINT64_MAX && form.format == std::string("ZIP");
    EXPECT_STREQ(r.image_entry, zipped ? "disc.iso" : "");
    EXPECT_EQ(r.files_copied, want.files.size());
    EXPECT_EQ(r.folders_created, want.folders);
    EXPECT_EQ(r.skipped_top_level, want.skipped);
    EXPECT_EQ(r.bytes_copied, want.bytes);
    EXPECT_EQ(r.xbe_sha_ok, 1);
    EXPECT_STREQ(r.xbe_sha_hex, SAMPLE_XBE_SHA256);
    EXPECT_EQ(r.files_verified, want.files.size()) << "every file against the tests' list";
    EXPECT_STREQ(r.message, "");
    EXPECT_EQ(trace.total, want.bytes);
    EXPECT_EQ(trace.last_done, trace.total);
    EXPECT_TRUE(trace.monotonic && trace.total_fixed);
    EXPECT_EQ(trace.calls, want.files.size() + want.chunks + 1)
        << "one call per file and per chunk, and one for the wait for the disk";
    EXPECT_EQ(trace.last_path, IMPORT_FINISHING);
    // A deflated entry is read through first, the archive's bytes counted, up to the whole.
    const bool inflated = zipped && c.form != image_form::zip_stored;
    EXPECT_EQ(trace.reading_calls > 0, inflated);
    EXPECT_FALSE(trace.read_after_copy);
    EXPECT_EQ(trace.reading_done, trace.reading_total);
    uint64_t archive_size = 0;
    if (inflated) {
      ASSERT_EQ(path_kind(source.c_str(), &archive_size), PATH_FILE);
    }
    EXPECT_LE(trace.reading_total, archive_size);
    EXPECT_GT(trace.reading_total + 400, archive_size) << "one entry's headers are small";
  }
}

// A deflated entry is inflated whole once by the first pass, then once more at most by the
// listing and the copy, which read forward in disc order and go on with the stream the last
// read left. Reads that went back to a restart point for every chunk would inflate megabytes
// more: a 20 MiB file spans several points.
TEST(Import, DeflatedZipIsInflatedTwiceAtMost) {
  const without_disc_list no_list;  // a tree of its own
  disc_node tree = small_tree();
  tree.children[1].children.push_back(file_node("big.map", pattern_bytes(5 * COPY_CHUNK + 9, 5)));
  const disc_image img = build_image(tree);
  temp_dir dir;
  const std::string zip = save_in_form(img, image_form::zip_deflated, dir / "disc", 0);
  struct counts {
    uint64_t start = zip_inflated_bytes(), after_first = 0;
    static void hook(uint64_t done, uint64_t total, const char* path, void* user) {
      if (!path && done == total) static_cast<counts*>(user)->after_first = zip_inflated_bytes();
    }
  } n;
  import_result r;
  ASSERT_EQ(import_game(zip.c_str(), (dir / "out").c_str(), counts::hook, &n, &r), IMPORT_OK)
      << r.message;
  EXPECT_EQ(wanted_tree(tree).differences(dir / "out"), "");
  EXPECT_EQ(n.after_first - n.start, img.size());
  EXPECT_LE(zip_inflated_bytes() - n.after_first, img.size() + (1u << 20));
}

// The file at `path` ('/' between names) below `root`.
disc_node& node_at(disc_node& root, const std::string& path) {
  disc_node* at = &root;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, end - start);
    auto it = std::find_if(at->children.begin(), at->children.end(),
                           [&](const disc_node& n) { return n.name == name; });
    if (it == at->children.end()) throw std::runtime_error("no " + path + " in the tree");
    at = &*it;
    start = end + 1;
  }
  return *at;
}

// Copies that are not the disc: what the list tells of them, and that nothing but an extra
// file is let through. Missing and cut files are refused before any file is written; damaged
// ones are all named after the copy, and default.xbe never takes its name.
TEST(Import, EveryFileIsCheckedAgainstTheList) {
  const std::string incomplete = "the source is not a complete copy of the Quillmoor disc: ";
  const std::string copy_again =
      "Copy the disc again (an FTP copy can cut files short or skip them), or import its disc "
      "image instead.";
  const std::string differ =
      " file(s) differ from the retail disc (unreadable sectors copied as zeros, or a modified "
      "copy):\n";
  struct {
    const char* what;
    std::function<void(disc_node&)> change;
    bool cci;  // imported from a CCI image, else from a folder
    int status;
    std::string message;
  } cases[] = {
      {"a file cut short", [](disc_node& t) { node_at(t, "maps/shared.map").data.resize(9000); },
       false, IMPORT_ERR_DAMAGED,
       incomplete +
           "0 file(s) missing, 1 of the wrong size\n"
           "  short     maps/shared.map: 9000 bytes, the disc's has 10000\n" +
           copy_again},
      {"a file missing, another too long",
       [](disc_node& t) {
         node_at(t, "maps/sub").children.clear();
         node_at(t, "media/logo.bik").data.push_back(0);
       },
       false, IMPORT_ERR_DAMAGED,
       incomplete +
           "1 file(s) missing, 1 of the wrong size\n"
           "  long      media/logo.bik: 5001 bytes, the disc's has 5000\n"
           "  missing   maps/sub/deep.bin\n" +
           copy_again},
      {"an extra Thumbs.db",
       [](disc_node& t) { node_at(t, "maps").children.push_back(file_node("Thumbs.db", {1})); },
       false, IMPORT_OK, ""},
      {"one byte changed", [](disc_node& t) { node_at(t, "maps/level01.map").data[2048] ^= 1; },
       false, IMPORT_ERR_DAMAGED,
       "1" + differ + "  damaged   maps/level01.map\nCopy the disc again or use another dump."},
      {"two files damaged",
       [](disc_node& t) {
         node_at(t, "media/logo.bik").data[0] ^= 1;
         node_at(t, "maps/sub/deep.bin").data[7] ^= 1;
       },
       false, IMPORT_ERR_DAMAGED,
       "2" + differ +
           "  damaged   maps/sub/deep.bin\n  damaged   media/logo.bik\nCopy the disc again or "
           "use another dump."},
      {"a CCI block that decodes to other bytes", nullptr, true, IMPORT_ERR_DAMAGED,
       "1" + differ + "  damaged   maps/shared.map\nCopy the disc again or use another dump."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    temp_dir dir;
    disc_node tree = sample_tree();
    if (c.change) c.change(tree);
    std::string source = dir / "source";
    if (c.cci) {
      disc_layout lay;
      const disc_image img = build_image(tree, {}, &lay);
      std::vector<std::vector<uint8_t>> cci = write_cci(img);
      alter_cci_block(cci[0], lay.entry("maps/shared.map").data_pos / 2048 + 1);
      source = dir / "source.cci";
      write_file(source, cci[0]);
    } else {
      ASSERT_TRUE(write_folder(source, tree));
    }
    const std::string out = dir / "game";
    import_result r;
    ASSERT_EQ(import_game(source.c_str(), out.c_str(), nullptr, nullptr, &r), c.status)
        << r.message;
    EXPECT_EQ(r.message, c.message);
    EXPECT_FALSE(exists(out + "/default.xbe.part"));
    if (c.status == IMPORT_OK) {
      EXPECT_EQ(r.extra_files_skipped, 1u);
      EXPECT_STREQ(r.extra_files_named, "maps/Thumbs.db");
      EXPECT_EQ(wanted_tree(sample_tree()).differences(out), "") << "the extra is not copied";
    } else {
      EXPECT_FALSE(exists(out + "/default.xbe"));
      if (c.message.find(incomplete) == 0) {
        EXPECT_EQ(list_tree(out), std::vector<std::string>{}) << "nothing written";
      }
    }
  }
}

// Names that meet the copier's own ".part" names: "b.part" written before "b" would be
// truncated by b's copy and renamed away, a loss reported as success. A folder lists its
// names in any order; in an image the walk gives them in whatever order the nodes say.
TEST(Import, FilesNamedLikeTemporariesAreAllCopied) {
  const without_disc_list no_list;  // a tree of its own
  const disc_node tree =
      dir_node("", {file_node("default.xbe", sample_xbe()),
                    dir_node("maps", {file_node("b", pattern_bytes(10, 1)),
                                      file_node("b.part", pattern_bytes(20, 2)),
                                      file_node("b.part.part", pattern_bytes(30, 3))})});
  const wanted_tree want(tree);
  image_options reversed;  // the three names walked last to first
  reversed.damage = [](disc_image& img, const disc_layout& lay) {
    const placed_entry &b = lay.entry("maps/b"), &p = lay.entry("maps/b.part"),
                       &pp = lay.entry("maps/b.part.part");
    ASSERT_EQ(p.node_offset, 0u) << "the middle name is the table's root";
    img.put_u16(p.node_pos, static_cast<uint16_t>(pp.node_offset));
    img.put_u16(p.node_pos + 2, static_cast<uint16_t>(b.node_offset));
  };
  for (bool image : {false, true}) {
    temp_dir dir;
    const std::string source = image ? dir / "disc.iso" : dir / "src";
    ASSERT_TRUE(image ? write_image(source, tree, reversed) : write_folder(source, tree));
    import_result r;
    ASSERT_EQ(import_game(source.c_str(), (dir / "out").c_str(), nullptr, nullptr, &r), IMPORT_OK)
        << r.message;
    EXPECT_EQ(want.differences(dir / "out"), "") << (image ? "image" : "folder");
    EXPECT_EQ(r.files_copied, 4u);
  }
}

// An image's files are read in the order their data lies in it, whatever order its tree has:
// each file that starts is further into the image than the one before.
TEST(Import, ImageFilesAreReadInDiscOrder) {
  const without_disc_list no_list;  // a tree of its own
  struct start_log {
    std::vector<std::string> paths;
    static void record(uint64_t, uint64_t, const char* path, void* user) {
      auto* self = static_cast<start_log*>(user);
      if (path == IMPORT_FINISHING) return;  // every file is written by then
      if (self->paths.empty() || self->paths.back() != path) self->paths.push_back(path);
    }
  } log;
  disc_node tree = sample_tree();
  std::vector<disc_node> many;
  for (int i = 0; i < 40; ++i) many.push_back(file_node(numbered("f", i), pattern_bytes(3000, i)));
  tree.children.push_back(dir_node("bink", std::move(many)));
  image_options shuffled;
  shuffled.shuffled_data = true;
  disc_layout lay;
  temp_dir dir;
  ASSERT_TRUE(write_image(dir / "disc.iso", tree, shuffled, &lay));
  import_result r;
  ASSERT_EQ(
      import_game((dir / "disc.iso").c_str(), (dir / "out").c_str(), start_log::record, &log, &r),
      IMPORT_OK)
      << r.message;
  EXPECT_EQ(wanted_tree(tree).differences(dir / "out"), "");
  ASSERT_GT(log.paths.size(), 40u);
  EXPECT_EQ(log.paths[0], "default.xbe");
  bool shuffled_tree = false;
  for (size_t i = 2; i < log.paths.size(); ++i) {
    EXPECT_LT(lay.entry(log.paths[i - 1]).data_pos, lay.entry(log.paths[i]).data_pos)
        << log.paths[i - 1] << " then " << log.paths[i];
    shuffled_tree |= log.paths[i - 1] > log.paths[i];
  }
  EXPECT_TRUE(shuffled_tree) << "the layout must differ from the tree's order";
}

// An Xbox 360 disc picked by mistake says so.
// What the launcher tries on every image beside it: the executable alone decides, wherever
// it lies, and a damaged folder elsewhere on the disc is never looked at.
TEST(Import, SupportedDiscIsKnownByItsExecutable) {
  disc_node patched = sample_tree();
  for (size_t at : SAMPLE_XBE_MEDIA_RUNS) node_at(patched, "default.xbe").data[at + 7] = 0xEB;
  disc_node wrong = sample_tree();
  node_at(wrong, "default.xbe").data[100] ^= 1;
  struct {
    const char* what;
    disc_node tree;
    image_form form;  // image_form::iso with `folder`: an extracted copy
    bool folder;
    int supported;
  } cases[] = {
      {"the sample as a Redump image", sample_tree(), image_form::iso, false, 1},
      {"as a split CCI", sample_tree(), image_form::split_cci, false, 1},
      {"media-patched", patched, image_form::iso, false, 1},
      {"another executable", wrong, image_form::iso, false, 0},
      {"an extracted copy", sample_tree(), image_form::iso, true, 1},
      {"an extracted copy of another", wrong, image_form::iso, true, 0},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    std::string path = dir / "disc";
    if (c.folder) {
      ASSERT_TRUE(write_folder(path, c.tree));
    } else {
      image_options options;
      options.partition_base = c.form == image_form::iso ? REDUMP_PARTITION_BASE : 0;
      disc_layout lay;
      disc_image img = build_image(c.tree, options, &lay);
      // A table no import would get past: never read here.
      img.put(lay.entry("maps/sub").data_pos, "\xff\xff\xff\x7f", 4);
      path = save_in_form(img, c.form, path, 300000);
      import_result r;
      EXPECT_EQ(import_game(path.c_str(), (dir / "out").c_str(), nullptr, nullptr, &r),
                IMPORT_ERR_DAMAGED)
          << c.what << ": the damaged table stops a whole listing";
    }
    EXPECT_EQ(is_supported_disc(path.c_str()), c.supported) << c.what;
  }
  temp_dir dir;
  write_file(dir / "notes.iso", "not a disc");
  EXPECT_EQ(is_supported_disc((dir / "notes.iso").c_str()), 0);
  EXPECT_EQ(is_supported_disc((dir / "missing.iso").c_str()), 0);
}

TEST(Import, Xbox360DiscIsNamed) {
  temp_dir dir;
  image_options x360;
  x360.partition_base = 0xFD90000;
  ASSERT_TRUE(write_image(
      dir / "x360.iso", dir_node("", {file_node("default.xex", {1, 2}), dir_node("media")}), x360));
  import_result r;
  EXPECT_EQ(import_game((dir / "x360.iso").c_str(), (dir / "out").c_str(), nullptr, nullptr, &r),
            IMPORT_ERR_NO_XBE);
  EXPECT_EQ(std::string(r.message),
            "no default.xbe found in " + (dir / "x360.iso") +
                " - is this a Quillmoor disc or game folder?\nThis is an Xbox 360 disc (it holds "
                "default.xex), not an original Xbox disc.");
}

// Names that differ only in letter case land on one file on Windows: refused at listing,
// with nothing written, whichever level they are at.
TEST(Import, CaseTwinsRefuseTheSource) {
  const std::vector<uint8_t> one = pattern_bytes(10, 1);
  struct {
    disc_node tree;
    const char* first;
    const char* second;
    size_t paths;  // files and folders of the tree, when the file system keeps both names
  } cases[] = {
      {dir_node("", {file_node("DEFAULT.XBE", pattern_bytes(600, 9)),
                     file_node("default.xbe", sample_xbe())}),
       "DEFAULT.XBE", "default.xbe", 2},
      {dir_node("", {file_node("default.xbe", sample_xbe()),
                     dir_node("maps", {file_node("Level.map", one), file_node("level.MAP", one)})}),
       "maps/Level.map", "maps/level.MAP", 4},
      {dir_node("",
                {file_node("default.xbe", sample_xbe()), dir_node("Maps", {file_node("a", one)}),
                 dir_node("maps", {file_node("b", one)})}),
       "Maps", "maps", 5},
  };
  for (const auto& c : cases) {
    for (bool image : {true, false}) {
      temp_dir dir;
      const std::string source = dir / (image ? "disc.iso" : "src");
      ASSERT_TRUE(image ? write_image(source, c.tree) : write_folder(source, c.tree));
      if (!image && list_tree(source).size() != c.paths) continue;  // a case-insensitive system
      import_result r;
      EXPECT_EQ(import_game(source.c_str(), (dir / "out").c_str(), nullptr, nullptr, &r),
                IMPORT_ERR_UNSAFE_NAME)
          << c.first;
      const std::string pair[2] = {c.first, c.second};
      const std::string a = r.message[0] ? std::string(std::strchr(r.message, '"')) : "";
      EXPECT_TRUE(a == "\"" + pair[0] + "\" and \"" + pair[1] + "\" - refusing the whole source" ||
                  a == "\"" + pair[1] + "\" and \"" + pair[0] + "\" - refusing the whole source")
          << r.message;
      EXPECT_EQ(
          std::string(r.message).rfind("two names in the source differ only in letter case: ", 0),
          0u);
      EXPECT_EQ(path_kind((dir / "out").c_str(), nullptr), PATH_NONE) << "nothing written";
    }
  }
}

#ifndef _WIN32
// A pipe would block the import for ever in open(): in an extracted folder it is passed over,
// like anything that is neither a file nor a folder; given as the source, it is named.
TEST(Import, PipesAreNeverOpened) {
  temp_dir dir;
  const disc_node tree = sample_tree();
  ASSERT_TRUE(write_folder(dir / "src", tree));
  const std::string pipe = dir / "src/maps/pipe.map";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(path_kind(pipe.c_str(), nullptr), PATH_OTHER);
  import_result r;
  EXPECT_EQ(import_game(pipe.c_str(), (dir / "out").c_str(), nullptr, nullptr, &r),
            IMPORT_ERR_SOURCE_IO);
  EXPECT_EQ(r.message, pipe + " is not a regular file (a pipe or a device?)");
  ASSERT_EQ(import_game((dir / "src").c_str(), (dir / "out").c_str(), nullptr, nullptr, &r),
            IMPORT_OK)
      << r.message;
  EXPECT_EQ(wanted_tree(tree).differences(dir / "out"), "");
  EXPECT_EQ(is_supported_xbe((dir / "src/maps/pipe.map").c_str()), 0);
}
#endif

TEST(Import, ReimportReplacesFilesAndKeepsOthers) {
  const without_disc_list no_list;  // a tree of its own
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", small_tree()));
  const std::string out = dir / "out";
  write_file(out + "/maps/a.map", "stale");
  write_file(out + "/maps/mine.txt", "kept");
  import_result r;
  ASSERT_EQ(import_game((dir / "src").c_str(), out.c_str(), nullptr, nullptr, &r), IMPORT_OK)
      << r.message;
  EXPECT_EQ(read_file(out + "/maps/a.map"), pattern_bytes(5000, 1));
  EXPECT_EQ(read_text(out + "/maps/mine.txt"), "kept");
  EXPECT_EQ(r.folders_created, 3u) << "existing folders count as created";
}

TEST(Import, NoExecutableCreatesNothing) {
  temp_dir dir;
  write_file(dir / "src/maps/a.map", "x");
  write_file(dir / "src/maps/default.xbe", sample_xbe());  // not at the top: does not count
  write_file(dir / "src/extras/default.xbe", sample_xbe());
  const std::string src = dir / "src";
  import_result r;
  EXPECT_EQ(import_game(src.c_str(), (dir / "out").c_str(), nullptr, nullptr, &r),
            IMPORT_ERR_NO_XBE);
  EXPECT_EQ(r.message,
            "no default.xbe found in " + src + " - is this a Quillmoor disc or game folder?");
  EXPECT_FALSE(exists(dir / "out"));
  EXPECT_EQ(r.skipped_top_level, 1u);
}

// Split and compressed images refused when they are opened or listed write nothing.
TEST(Import, BrokenImageFormsWriteNothing) {
  disc_layout layout;
  const disc_image img = build_image(small_tree(), {}, &layout);
  const uint64_t root_block = layout.root.pos / 2048;
  const std::vector<uint8_t> plain = img.dense();
  std::vector<uint8_t> changed;  // the image a damaged archive inflates to
  using parts_t = std::vector<std::string>;
  auto patch = [](const std::string& path, const std::function<void(std::vector<uint8_t>&)>& fn) {
    std::vector<uint8_t> bytes = read_file(path);
    fn(bytes);
    write_file(path, bytes);
  };
  struct {
    const char* what;
    image_form form;
    std::function<void(const parts_t&)> damage;  // null: the second part is chosen instead
    int status;
    std::function<std::string(const parts_t&)> message;
  } cases[] = {
      {"a part missing from the middle", image_form::split_iso,
       [](const parts_t& p) { unlink_utf8(p[1].c_str()); }, IMPORT_ERR_SOURCE_IO,
       [](const parts_t& p) {
         return "part " + p[1] + " of the split image is missing (" + p[2] + " is there)";
       }},
      {"a middle part cut short", image_form::split_iso,
       [&](const parts_t& p) { patch(p[1], [](std::vector<uint8_t>& b) { b.pop_back(); }); },
       IMPORT_ERR_SOURCE_IO,
       [](const parts_t& p) {
         return "part " + p[1] + " of the split image has 16383 bytes, not the 16384 of " + p[0] +
                " (an unfinished copy?)";
       }},
      {"a later part chosen", image_form::split_iso, nullptr, IMPORT_ERR_DAMAGED,
       [](const parts_t& p) {
         return p[1] + NOT_AN_IMAGE + "\nThis is a later part of a split image: choose " + p[0] +
                " instead.";
       }},
      {"a CCI header of another version", image_form::cci,
       [&](const parts_t& p) { patch(p[0], [](std::vector<uint8_t>& b) { b[28] = 3; }); },
       IMPORT_ERR_DAMAGED,
       [](const parts_t&) { return std::string("damaged CCI image: version 3 (expected 1)"); }},
      {"a CSO size of part of a sector", image_form::cso,
       [&](const parts_t& p) {
         patch(p[0], [](std::vector<uint8_t>& b) { put_le32(b, 8, get_le32(b, 8) + 1); });
       },
       IMPORT_ERR_DAMAGED,
       [&](const parts_t&) {
         return "damaged CSO image: uncompressed size " + std::to_string(img.size() + 1) +
                " is not a whole number of 2048-byte sectors";
       }},
      {"a changed byte inside the deflate stream", image_form::zip_deflated,
       [&](const parts_t& p) {
         patch(p[0], [&](std::vector<uint8_t>& b) {
           // Amid the executable's noise, which deflate keeps as it is: the image byte it
           // stands for is found by the bytes around it.
           const size_t at = b.size() / 2;
           const auto found =
               std::search(plain.begin(), plain.end(), b.begin() + at - 32, b.begin() + at + 32);
           ASSERT_NE(found, plain.end()) << "not in a stored block";
           changed = plain;
           changed[static_cast<size_t>(found - plain.begin()) + 32] ^= 0x10;
           b[at] ^= 0x10;
         });
       },
       IMPORT_ERR_DAMAGED,
       [&](const parts_t& p) {
         char crcs[64];
         std::snprintf(crcs, sizeof crcs, "0x%08X, its directory entry says 0x%08X",
                       zip_crc32(changed.data(), changed.size()),
                       zip_crc32(plain.data(), plain.size()));
         return "damaged ZIP archive " + p[0] + ": disc.iso has CRC-32 " + crcs +
                " (a download cut short?)";
       }},
      {"an archive cut short", image_form::zip_deflated,
       [&](const parts_t& p) {
         patch(p[0], [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); });
       },
       IMPORT_ERR_DAMAGED,
       [](const parts_t& p) {
         return "damaged ZIP archive " + p[0] +
                ": no end of central directory record (a download cut short?)";
       }},
      {"a directory table that does not decode", image_form::cci,
       [&](const parts_t& p) {
         patch(p[0], [&](std::vector<uint8_t>& b) { spoil_cci_block(b, root_block); });
       },
       IMPORT_ERR_DAMAGED,
       [&](const parts_t&) {
         return "damaged CCI image: block " + std::to_string(root_block) +
                " does not decode to 2048 bytes";
       }},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    parts_t parts;
    ASSERT_NE(save_in_form(img, c.form, dir / "disc", 16384, &parts), "") << c.what;
    import_result r;
    const std::string& chosen = c.damage ? parts[0] : parts[1];
    if (c.damage) c.damage(parts);
    EXPECT_EQ(import_game(chosen.c_str(), (dir / "out").c_str(), nullptr, nullptr, &r), c.status)
        << c.what;
    EXPECT_EQ(r.message, c.message(parts)) << c.what;
    EXPECT_FALSE(exists(dir / "out")) << c.what;
  }
}

// An executable built here: header and certificate at the usual places, any body.
std::vector<uint8_t> executable(const std::u16string& title, uint32_t id, uint32_t version,
                                uint32_t regions) {
  std::vector<uint8_t> x = pattern_bytes(8192, 21);
  write_xbe_header(x, {.base = 0x10000,
                       .certificate = 0x400,
                       .title_id = id,
                       .title = title,
                       .regions = regions,
                       .version = version});
  return x;
}

// The sample as the common XISO tool leaves it: every retail run's last byte 7D made EB.
std::vector<uint8_t> media_patched(std::vector<uint8_t> xbe) {
  for (size_t at : SAMPLE_XBE_MEDIA_RUNS) xbe[at + 7] = 0xEB;
  return xbe;
}

// Not the supported build: nothing written, and the message says what the file is.
TEST(Import, WrongExecutableWritesNoFileAndSaysWhatItIs) {
  std::vector<uint8_t> changed = sample_xbe();
  changed[100] ^= 1;
  std::vector<uint8_t> patched_and_changed = media_patched(changed);
  std::vector<uint8_t> not_xbe = sample_xbe();
  not_xbe[0] = 'M';
  std::vector<uint8_t> loose_cert = executable(u"x", 1, 1, 1);
  loose_cert[0x11A] = 0x7F;  // certificate address far past the file
  struct {
    std::vector<uint8_t> xbe;
    std::string line;  // the message's last line; empty: none added
  } cases[] = {
      {changed, SAMPLE_XBE_LINE},
      {patched_and_changed, SAMPLE_XBE_LINE},
      {executable(u"Other Game", 0x4D530004, 3, 0x80000003),
       "This default.xbe is \"Other Game\" (title ID MS-004, version 3, region "
       "North America+Japan+debug)."},
      {not_xbe, NOT_XBE_LINE},
      {loose_cert, ""},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    ASSERT_TRUE(write_image(dir / "disc.iso", small_tree(c.xbe)));
    const std::string out = dir / "out";
    import_result r;
    EXPECT_EQ(import_game((dir / "disc.iso").c_str(), out.c_str(), nullptr, nullptr, &r),
              IMPORT_ERR_WRONG_BUILD);
    const std::string hex = sha256_hex(c.xbe);
    EXPECT_EQ(r.xbe_sha_hex, hex);
    EXPECT_EQ(std::string(r.message), wrong_build_message(hex, c.line));
    EXPECT_EQ(list_tree(out), std::vector<std::string>{});
    EXPECT_EQ(r.files_copied, 0u);
    EXPECT_EQ(r.xbe_sha_ok, 0);
    EXPECT_EQ(r.xbe_media_patch_undone, 0u);
  }
}

// A genuine disc that went through the common XISO tool: the retail bytes are written back,
// from an image and from its extracted copy alike, and the executable verifies on disk.
TEST(Import, MediaPatchIsUndone) {
  const without_disc_list no_list;  // a tree of its own
  for (bool image : {true, false}) {
    temp_dir dir;
    const std::string source = dir / (image ? "disc.iso" : "src");
    const disc_node tree = small_tree(media_patched(sample_xbe()));
    ASSERT_TRUE(image ? write_image(source, tree) : write_folder(source, tree));
    import_result r;
    ASSERT_EQ(import_game(source.c_str(), (dir / "out").c_str(), nullptr, nullptr, &r), IMPORT_OK)
        << r.message;
    EXPECT_EQ(r.xbe_media_patch_undone, std::size(SAMPLE_XBE_MEDIA_RUNS));
    EXPECT_STREQ(r.xbe_sha_hex, SAMPLE_XBE_SHA256);
    EXPECT_EQ(r.xbe_sha_ok, 1);
    EXPECT_EQ(read_file(dir / "out/default.xbe"), sample_xbe());
    EXPECT_TRUE(no_part_files(dir / "out"));
  }
}

// Sabotage run from the progress callback once the executable's copy is complete (the first
// call for another file), i.e. while default.xbe is still a verified ".part" file.
struct after_xbe {
  std::function<void()> act;
  bool done = false;
  std::string first = {};  // the file whose copy was starting
  bool with_xbe = false;   // act as default.xbe's copy starts instead
  static void hook(uint64_t, uint64_t, const char* path, void* user) {
    auto* self = static_cast<after_xbe*>(user);
    if (!self->done && (self->with_xbe || !equals_nocase(path, "default.xbe"))) {
      self->done = true;
      self->first = path;
      self->act();
    }
  }
};

// Failures after the executable verified: nothing may look like a complete game folder.
TEST(Import, FailureAfterTheExecutableLeavesNoExecutable) {
  const without_disc_list no_list;  // a tree of its own
  temp_dir dir;
  const std::string src = dir / "src", image = dir / "disc.iso";
  disc_layout layout;
  ASSERT_TRUE(write_image(image, small_tree(), {}, &layout));
  const uint64_t map_end = layout.entry("maps/a.map").data_pos + 5000;
  // The same disc split every 16 KiB, and as a CCI whose first block of the next file's data
  // does not decode.
  const std::string split = dir / "disc.1.iso", cci = dir / "disc.cci";
  constexpr uint64_t PART = 16384;
  std::vector<std::string> parts;
  const std::string shrinking = dir / ("disc." + std::to_string(map_end / PART + 1) + ".iso");
  const uint64_t bad_block = layout.entry("maps/b.map").data_pos / 2048;
  auto in = [](const std::string& out, const char* rel) { return join_out_path(out.c_str(), rel); };
  auto nothing = [](const std::string&) {};
  after_xbe hook;
  auto vanish_name = [&] {
    return std::string(hook.first == "maps/a.map" ? "maps/b.map" : "maps/a.map");
  };
  struct {
    const char* what;
    std::string source;
    std::function<void(const std::string& out)> prepare;   // before the import
    std::function<void(const std::string& out)> sabotage;  // once the executable verified
    int status;
    std::function<std::string(const std::string& out)> message;
    bool with_xbe = false;  // sabotaged as default.xbe's copy starts
  } cases[] = {
      // Not the file being opened right now: Windows cannot delete an open file. Gone before
      // the files are opened ahead of the copy: one opened already is copied whole.
      {"source file vanished", src, nothing,
       [&](const std::string&) { unlink_utf8(in(src, vanish_name().c_str()).c_str()); },
       IMPORT_ERR_SOURCE_IO,
       [&](const std::string&) { return "cannot open " + in(src, vanish_name().c_str()); }, true},
      {"image shrank after listing", image, nothing,
       [&](const std::string&) {
         std::vector<uint8_t> head = read_file(image);
         head.resize(static_cast<size_t>(map_end - 1));
         write_file(image, head);
       },
       IMPORT_ERR_SOURCE_IO, [](const std::string&) { return truncated_message("maps/a.map"); }},
      // Folders are made in listing order, which for a folder source is the file system's:
      // what stands in the way is there from the start.
      {"a file stands where a folder goes", src,
       [&](const std::string& out) { write_file(in(out, "media"), "in the way"); }, nothing,
       IMPORT_ERR_OUTPUT_IO,
       [&](const std::string& out) { return "cannot create folder " + in(out, "media"); }},
      // The file being copied right now: listed shorter than it is by the time it is read.
      {"source file grew after listing", src, nothing,
       [&](const std::string&) { write_file(in(src, hook.first.c_str()), pattern_bytes(6000, 3)); },
       IMPORT_ERR_SOURCE_IO,
       [&](const std::string&) {
         return "source changed during the import: " + in(src, hook.first.c_str());
       }},
      {"a part of a split image shrank", split, nothing,
       [&](const std::string&) { write_file(shrinking, ""); }, IMPORT_ERR_SOURCE_IO,
       [&](const std::string&) {
         return "cannot read " + shrinking + " (changed during the import, or a disk error?)";
       }},
      {"a part of a split image grew", split, nothing,
       [&](const std::string&) {
         std::vector<uint8_t> last = read_file(parts.back());
         last.push_back(0);
         write_file(parts.back(), last);
       },
       IMPORT_ERR_SOURCE_IO,
       [&](const std::string&) { return "source changed during the import: " + parts.back(); }},
      {"a compressed block does not decode", cci, nothing, nothing, IMPORT_ERR_DAMAGED,
       [&](const std::string&) {
         return "damaged CCI image: block " + std::to_string(bad_block) +
                " does not decode to 2048 bytes";
       }},
      {"a folder stands where the executable goes", src,
       [&](const std::string& out) { write_file(in(out, "default.xbe/keep"), "x"); }, nothing,
       IMPORT_ERR_OUTPUT_IO,
       [&](const std::string& out) {
         return "cannot rename " + in(out, "default.xbe") + ".part to " + in(out, "default.xbe");
       }},
  };
  for (auto& c : cases) {
    temp_dir work;
    const std::string out = work / "out";
    if (c.source == src) {
      ASSERT_TRUE(write_folder(src, small_tree()));
    } else if (c.source == image) {
      ASSERT_TRUE(write_image(image, small_tree()));
    } else if (c.source == split) {
      ASSERT_EQ(save_in_form(build_image(small_tree()), image_form::split_iso, dir / "disc", PART,
                             &parts),
                split);
    } else {
      // b.map's 70 bytes and the sector's zeros compress: its record is an LZ4 one.
      ASSERT_EQ(save_in_form(build_image(small_tree()), image_form::cci, dir / "disc", 0), cci);
      std::vector<uint8_t> bytes = read_file(cci);
      ASSERT_NE(spoil_cci_block(bytes, bad_block) & 0x80000000u, 0u);
      write_file(cci, bytes);
    }
    c.prepare(out);
    hook = after_xbe{[&] { c.sabotage(out); }};
    hook.with_xbe = c.with_xbe;
    import_result r;
    EXPECT_EQ(import_game(c.source.c_str(), out.c_str(), after_xbe::hook, &hook, &r), c.status)
        << c.what;
    EXPECT_EQ(std::string(r.message), c.message(out)) << c.what;
    EXPECT_NE(path_kind(in(out, "default.xbe").c_str(), nullptr), PATH_FILE) << c.what;
    EXPECT_TRUE(no_part_files(out)) << c.what;
    EXPECT_GE(r.files_copied, 1u) << c.what << ": the verified executable still counts";
    EXPECT_STREQ(r.xbe_sha_hex, SAMPLE_XBE_SHA256);
    EXPECT_EQ(r.xbe_sha_ok, 0);
  }
}

TEST(Import, OutputFolderCannotBeCreated) {
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", small_tree()));
  write_file(dir / "file", "x");
  const std::string out = dir / "file/out";
  import_result r;
  EXPECT_EQ(import_game((dir / "src").c_str(), out.c_str(), nullptr, nullptr, &r),
            IMPORT_ERR_OUTPUT_IO);
  EXPECT_EQ(r.message, "cannot create output folder " + out);
}

// The executable is damaged on disk after it verified (here: its ".part" file, while the
// other files are copied): the read-back catches it.
TEST(Import, ExecutableThatDoesNotVerifyOnDisk) {
  const without_disc_list no_list;  // a tree of its own
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", small_tree()));
  const std::string out = dir / "out";
  const std::string part = join_out_path(out.c_str(), "default.xbe.part");
  after_xbe hook{[&] {
    std::vector<uint8_t> bytes = read_file(part);
    bytes[5] ^= 0x40;
    write_file(part, bytes);
  }};
  import_result r;
  EXPECT_EQ(import_game((dir / "src").c_str(), out.c_str(), after_xbe::hook, &hook, &r),
            IMPORT_ERR_WRONG_BUILD);
  EXPECT_STREQ(r.message, "default.xbe on disk does not verify after copying (disk error?)");
  EXPECT_EQ(r.xbe_sha_ok, 0);
  EXPECT_STREQ(r.xbe_sha_hex, SAMPLE_XBE_SHA256) << "the digest of the copy as it was read";
  EXPECT_EQ(r.files_copied, 4u);
}

// Out of memory anywhere (here raised inside the copy loop, before and after the
// executable verified) ends as -9 with no message and no ".part" file.
TEST(Import, OutOfMemoryIsAStatus) {
  const without_disc_list no_list;  // a tree of its own
  for (int throw_at : {1, 2, 4, 6}) {
    temp_dir dir;
    ASSERT_TRUE(write_folder(dir / "src", small_tree()));
    const std::string out = dir / "out";
    struct thrower {
      int left;
      static void hook(uint64_t, uint64_t, const char*, void* user) {
        if (--static_cast<thrower*>(user)->left == 0) throw std::bad_alloc();
      }
    } t{throw_at};
    import_result r;
    EXPECT_EQ(import_game((dir / "src").c_str(), out.c_str(), thrower::hook, &t, &r),
              IMPORT_ERR_NO_MEMORY)
        << throw_at;
    EXPECT_STREQ(r.message, "");
    EXPECT_TRUE(no_part_files(out)) << throw_at;
    EXPECT_NE(path_kind(join_out_path(out.c_str(), "default.xbe").c_str(), nullptr), PATH_FILE);
  }
}

// The cancel flag, set here from the progress callback as another thread would set it: the
// import stops before the next chunk wherever it is, and leaves neither the executable nor
// a ".part" file.
TEST(Import, CancelStopsBeforeTheNextChunk) {
  const without_disc_list no_list;  // a tree of its own
  disc_node tree = small_tree();
  tree.children[1].children.push_back(file_node("big.map", pattern_bytes(2 * COPY_CHUNK + 9, 5)));
  struct canceller {
    const char* path;  // cancel at this file's `call`-th progress call; null: at the import's end
    int call;
    bool zipped;  // the source is a deflated ZIP archive, cancelled in its first reading
    int calls = 0;
    std::atomic<int> flag{0};
    uint64_t done_at_cancel = 0, last_done = 0;
    static void hook(uint64_t done, uint64_t total, const char* path, void* user) {
      auto* c = static_cast<canceller*>(user);
      c->last_done = done;
      if (c->flag.load()) return;
      if (c->zipped ? !path
          : c->path ? std::strcmp(path, c->path) == 0 && ++c->calls == c->call
                    : done == total) {
        c->flag.store(1);
        c->done_at_cancel = done;
      }
    }
  };
  struct {
    const char* what;
    const char* path;
    int call;
    bool zipped = false;
  } cases[] = {
      {"as the executable starts", "default.xbe", 1},
      {"after the first chunk of a big file", "maps/big.map", 2},
      {"with the last chunk of all", nullptr, 0},
      {"in a ZIP archive's first reading", nullptr, 0, true},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    std::string src = dir / "src";
    if (c.zipped)
      src = save_in_form(build_image(tree), image_form::zip_deflated, src, 0);
    else
      ASSERT_TRUE(write_folder(src, tree));
    const std::string out = dir / "out";
    canceller hook{c.path, c.call, c.zipped};
    import_result r;
    EXPECT_EQ(
        import_game_cancellable(src.c_str(), out.c_str(), canceller::hook, &hook, &r, &hook.flag),
        IMPORT_ERR_CANCELLED)
        << c.what;
    EXPECT_STREQ(r.message, "import cancelled") << c.what;
    EXPECT_EQ(hook.flag.load(), 1) << c.what;
    EXPECT_EQ(hook.last_done, hook.done_at_cancel) << c.what << ": copied on after the cancel";
    EXPECT_NE(path_kind(join_out_path(out.c_str(), "default.xbe").c_str(), nullptr), PATH_FILE)
        << c.what;
    EXPECT_TRUE(no_part_files(out)) << c.what;
    EXPECT_EQ(r.xbe_sha_ok, 0);
  }
}

// Spellings of a drive or file-system root that do not look like one.
TEST(Import, RootSpellingsAreRefused) {
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", small_tree()));
#ifdef _WIN32
  std::vector<std::string> roots = {"C:\\windows\\..", "C:\\.", "C:\\windows\\..\\."};
  if (full_path_utf8("C:.") == "C:\\") roots.push_back("C:.");  // no current folder on C:
#else
  const std::vector<std::string> roots = {"/tmp/..", "/./.", "/tmp/../.", "//tmp/.."};
#endif
  for (const std::string& root : roots) {
    import_result r;
    EXPECT_EQ(import_game((dir / "src").c_str(), root.c_str(), nullptr, nullptr, &r),
              IMPORT_ERR_BAD_OUTPUT)
        << root;
    EXPECT_EQ(r.message, "refusing output path \"" + root +
                             "\": it is empty, a drive/filesystem root or \".\"/\"..\"");
  }
}

// "Output is the source" by what the folders are, not how they are spelt.
TEST(Import, OutputIsTheSourceByIdentity) {
  const without_disc_list no_list;  // a tree of its own
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", small_tree()));
  const std::string src = dir / "src";
  struct {
    std::string source, out;
    int status;
  } cases[] = {
#ifdef _WIN32
      {"\\\\?\\" + full_path_utf8(src.c_str()), src, IMPORT_ERR_BAD_OUTPUT},
#else
      {src, dir / "alias", IMPORT_ERR_BAD_OUTPUT},  // a link to the source
      {src, dir / "SRC", IMPORT_OK},                // another folder, spelt alike
#endif
  };
#ifndef _WIN32
  ASSERT_EQ(symlink("src", (dir / "alias").c_str()), 0);
  ASSERT_EQ(make_dirs((dir / "SRC").c_str()), 0);
#endif
  const std::vector<std::string> before = list_tree(src);
  for (const auto& c : cases) {
    import_result r;
    EXPECT_EQ(import_game(c.source.c_str(), c.out.c_str(), nullptr, nullptr, &r), c.status)
        << c.out << ": " << r.message;
    if (c.status != IMPORT_OK) {
      EXPECT_STREQ(r.message, "output folder is the source folder");
    }
  }
  EXPECT_EQ(list_tree(src), before) << "the source is untouched";
}

// Two imports into one folder at once: the second one stops before it writes anything. A
// lock file left by a killed import does not stop the next.
TEST(Import, OneImportAtATimeIntoAFolder) {
  const without_disc_list no_list;  // a tree of its own
  temp_dir dir;
  ASSERT_TRUE(write_folder(dir / "src", small_tree()));
  const std::string src = dir / "src", out = dir / "out";
  const std::string lock = join_out_path(out.c_str(), IMPORT_LOCK_NAME);
  write_file(lock, "left by a killed import");
  import_result second;
  int second_status = 1;
  after_xbe hook{
      [&] { second_status = import_game(src.c_str(), out.c_str(), nullptr, nullptr, &second); }};
  import_result r;
  ASSERT_EQ(import_game(src.c_str(), out.c_str(), after_xbe::hook, &hook, &r), IMPORT_OK)
      << r.message;
  EXPECT_EQ(second_status, IMPORT_ERR_OUTPUT_IO);
  EXPECT_EQ(second.message, "another import is writing into " + out);
  EXPECT_EQ(second.files_copied, 0u);
  EXPECT_EQ(wanted_tree(small_tree()).differences(out), "") << "the lock file is gone";
}

#ifndef _WIN32
// Links planted at the ".part" names: the import never writes through them.
TEST(Import, PlantedPartLinksAreNotWrittenThrough) {
  const without_disc_list no_list;  // a tree of its own
  std::vector<uint8_t> wrong = sample_xbe();
  wrong[100] ^= 1;
  for (bool right_build : {true, false}) {
    temp_dir dir;
    const disc_node tree = small_tree(right_build ? sample_xbe() : wrong);
    ASSERT_TRUE(write_folder(dir / "src", tree));
    write_file(dir / "victim", "not yours");
    const std::string out = dir / "out";
    ASSERT_EQ(make_dirs((out + "/maps").c_str()), 0);
    for (const char* planted : {"default.xbe.part", "maps/a.map.part"})
      ASSERT_EQ(symlink((dir / "victim").c_str(), join_out_path(out.c_str(), planted).c_str()), 0);
    import_result r;
    EXPECT_EQ(import_game((dir / "src").c_str(), out.c_str(), nullptr, nullptr, &r),
              right_build ? IMPORT_OK : IMPORT_ERR_WRONG_BUILD)
        << r.message;
    EXPECT_EQ(read_text(dir / "victim"), "not yours");
    if (right_build) {
      EXPECT_EQ(wanted_tree(tree).differences(out), "");
    }
  }
}
#endif

}  // namespace
