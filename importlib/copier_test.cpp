#include "copier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "entries.h"
#include "image_reader.h"
#include "messages.h"
#include "paths.h"
#include "sha256.h"
#include "testutil.h"

namespace {

struct progress_log {
  std::vector<std::pair<uint64_t, uint64_t>> calls;  // (done, total)
  std::vector<std::string> paths;
  static void record(uint64_t done, uint64_t total, const char* path, void* user) {
    auto* log = static_cast<progress_log*>(user);
    log->calls.emplace_back(done, total);
    log->paths.emplace_back(path);
  }
};

struct copier {
  std::string message;
  std::unique_ptr<image_reader> image;
  copy_job job;
  progress_log log;
  copier() {
    job.progress = progress_log::record;
    job.user = &log;
    job.buffer.reset(new uint8_t[COPY_CHUNK]);
  }
  int copy(const import_entry& e, const std::string& target, sha256_ctx* hash = nullptr,
           part_fate fate = PART_RENAME, std::string* part = nullptr) {
    return copy_entry(e, image.get(), target.c_str(), &job, &message, hash, fate, part);
  }
};

import_entry file_entry(const std::string& rel, const std::string& source, uint64_t size) {
  return import_entry{rel, source, 0, size, 0};
}

TEST(Copier, ChunksProgressAndHash) {
  const uint64_t M4 = COPY_CHUNK;
  struct {
    uint64_t size;
    size_t chunks;
  } cases[] = {{0, 0}, {1, 1}, {M4 - 1, 1}, {M4, 1}, {M4 + 1, 2}, {2 * M4 + 3, 3}};
  // Hashed copies go through the buffer, the others through the kernel where it can: both
  // report the same progress.
  for (bool hashed : {true, false})
    for (const auto& c : cases) {
      temp_dir dir;
      const auto data = pattern_bytes(static_cast<size_t>(c.size), static_cast<uint32_t>(c.size));
      write_file(dir / "src.bin", data);
      copier cp;
      cp.job.done = 100;  // bytes of earlier files
      cp.job.total = 100 + c.size;
      sha256_ctx hash;
      sha256_init(&hash);
      ASSERT_EQ(cp.copy(file_entry("maps/x.bin", dir / "src.bin", c.size), dir / "out.bin",
                        hashed ? &hash : nullptr),
                IMPORT_OK)
          << cp.message;
      EXPECT_EQ(read_file(dir / "out.bin"), data) << c.size;
      EXPECT_EQ(path_kind((dir / "out.bin.part").c_str(), nullptr), PATH_NONE);
      // One call at the start, one per chunk; the last chunk carries the remainder.
      ASSERT_EQ(cp.log.calls.size(), 1 + c.chunks) << c.size;
      EXPECT_EQ(cp.log.calls.front().first, 100u);
      uint64_t expect_done = 100;
      for (size_t i = 1; i < cp.log.calls.size(); ++i) {
        expect_done += std::min<uint64_t>(M4, c.size - (expect_done - 100));
        EXPECT_EQ(cp.log.calls[i].first, expect_done);
        EXPECT_EQ(cp.log.calls[i].second, 100 + c.size);
      }
      EXPECT_EQ(cp.job.done, 100 + c.size);
      for (const std::string& p : cp.log.paths) EXPECT_EQ(p, "maps/x.bin");
      if (!hashed) continue;
      uint8_t d[32];
      sha256_final(&hash, d);
      char hex[65];
      digest_to_hex(d, hex);
      EXPECT_EQ(hex, sha256_hex(data));
    }
}

TEST(Copier, CopiesFromTheImageStreamAtTheOffset) {
  temp_dir dir;
  const auto image = pattern_bytes(3 * COPY_CHUNK, 9);
  write_file(dir / "disc.iso", image);
  copier cp;
  std::string message;
  ASSERT_EQ(open_image_reader((dir / "disc.iso").c_str(), &cp.image, &message), IMPORT_OK);
  const uint64_t offset = 12345, size = COPY_CHUNK + 777;
  import_entry e{"media/m.bin", "", offset, size, 0};
  ASSERT_EQ(cp.copy(e, dir / "m.bin"), IMPORT_OK) << cp.message;
  EXPECT_EQ(read_file(dir / "m.bin"),
            std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + size));
  // The stream stays open for the next file.
  import_entry e2{"media/n.bin", "", 7, 5, 0};
  ASSERT_EQ(cp.copy(e2, dir / "n.bin"), IMPORT_OK);
  EXPECT_EQ(read_file(dir / "n.bin"), std::vector<uint8_t>(image.begin() + 7, image.begin() + 12));
}

TEST(Copier, KeepPartHandsTheFileOver) {
  temp_dir dir;
  write_file(dir / "src", "payload");
  copier cp;
  std::string part;
  ASSERT_EQ(cp.copy(file_entry("default.xbe", dir / "src", 7), dir / "default.xbe", nullptr,
                    PART_KEEP, &part),
            IMPORT_OK);
  EXPECT_EQ(part, dir / "default.xbe.part");
  EXPECT_EQ(read_text(part), "payload");
  EXPECT_EQ(path_kind((dir / "default.xbe").c_str(), nullptr), PATH_NONE) << "target never created";
}

TEST(Copier, FailuresLeaveNoPartAndTheOldTargetUntouched) {
  temp_dir dir;
  write_file(dir / "src", pattern_bytes(5000, 1));
  write_file(dir / "old/target", "previous copy");
  make_dirs((dir / "folder_target/inside").c_str());
  write_file(dir / "short.iso", pattern_bytes(4096, 2));
  const std::string target = dir / "old/target";
  struct {
    const char* what;
    import_entry entry;
    std::string target;
    int status;
    std::string message;
  } cases[] = {
      {"source missing", file_entry("maps/a", dir / "missing", 1), target, IMPORT_ERR_SOURCE_IO,
       "cannot open " + (dir / "missing")},
      {"source shorter than listed", file_entry("maps/b", dir / "src", 5001), target,
       IMPORT_ERR_SOURCE_IO, truncated_message("maps/b")},
      {"image shrank after listing", import_entry{"maps/c", "", 4000, 200, 0}, target,
       IMPORT_ERR_SOURCE_IO, truncated_message("maps/c")},
      {"image cannot be positioned", import_entry{"maps/d", "", uint64_t{1} << 63, 1, 0}, target,
       IMPORT_ERR_SOURCE_IO, "seek failed in image"},
      {"no folder for the part", file_entry("maps/e", dir / "src", 5000), dir / "nodir/t",
       IMPORT_ERR_OUTPUT_IO, "cannot create " + (dir / "nodir/t") + ".part"},
      {"target is a folder", file_entry("maps/f", dir / "src", 5000), dir / "folder_target",
       IMPORT_ERR_OUTPUT_IO,
       "cannot rename " + (dir / "folder_target") + ".part to " + (dir / "folder_target")},
  };
  for (auto& c : cases) {
    copier cp;
    std::string message;
    ASSERT_EQ(open_image_reader((dir / "short.iso").c_str(), &cp.image, &message), IMPORT_OK);
    EXPECT_EQ(cp.copy(c.entry, c.target), c.status) << c.what;
    EXPECT_EQ(cp.message, c.message) << c.what;
    EXPECT_EQ(path_kind((c.target + ".part").c_str(), nullptr), PATH_NONE)
        << c.what << ": .part left";
    EXPECT_EQ(read_text(target), "previous copy") << c.what;
  }
  // The same copy that succeeds replaces the old target only now.
  copier cp;
  ASSERT_EQ(cp.copy(file_entry("maps/g", dir / "src", 5000), target), IMPORT_OK);
  EXPECT_EQ(read_file(target), pattern_bytes(5000, 1));
}

TEST(Copier, OutOfMemoryInsideACopyLeavesNoPart) {
  temp_dir dir;
  write_file(dir / "src", pattern_bytes(COPY_CHUNK + 1, 3));
  copier cp;
  cp.job.progress = [](uint64_t done, uint64_t, const char*, void*) {
    if (done > 0) throw std::bad_alloc();
  };
  EXPECT_EQ(cp.copy(file_entry("maps/a", dir / "src", COPY_CHUNK + 1), dir / "t"),
            IMPORT_ERR_NO_MEMORY);
  EXPECT_EQ(cp.message, "");
  EXPECT_EQ(list_tree(dir.path()), std::vector<std::string>{"src"});
}

}  // namespace
