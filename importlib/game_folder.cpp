// A game folder imported earlier, checked against the disc's list without writing anything.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "entries.h"
#include "fs.h"
#include "import.h"
#include "manifest.h"
#include "paths.h"
#include "sha256.h"

namespace {

constexpr size_t HASH_CHUNK = 1024 * 1024;

struct found_file {
  std::string path;  // full
  std::string rel;   // as the folder spells it
  uint64_t size = 0;
  bool seen = false;
};

struct walk {
  const manifest_list list;
  std::vector<found_file> found;  // by list index; default.xbe's alone without a list
  std::vector<std::string> leftovers;
};

bool ends_with_part(const std::string& name) {
  return name.size() >= 5 && equals_nocase(name.substr(name.size() - 5).c_str(), ".part");
}

// Lists `dir` (`rel` below the game folder, empty at the top) and what is below it.
int walk_folder(walk& w, const std::string& dir, const std::string& rel, int depth) {
  if (depth > MAX_TREE_DEPTH) return IMPORT_OK;  // nothing the import writes lies so deep
  std::vector<std::pair<std::string, int>> names;
  if (list_dir(dir.c_str(), [&](const char* name, int is_dir) {
        names.emplace_back(name, is_dir);
        return 0;
      }) != 0)
    return IMPORT_ERR_SOURCE_IO;
  for (const auto& [name, is_dir] : names) {
    const std::string full = join_out_path(dir.c_str(), name.c_str());
    const std::string child = rel.empty() ? name : rel + "/" + name;
    if (is_dir) {
      int status = walk_folder(w, full, child, depth + 1);
      if (status != IMPORT_OK) return status;
      continue;
    }
    if (ends_with_part(name) || (rel.empty() && name == IMPORT_LOCK_NAME)) {
      w.leftovers.push_back(child);
      continue;
    }
    size_t index;
    if (w.list.count > 0) {
      const manifest_file* f = manifest_find(child.data(), child.size());
      if (!f) continue;
      index = static_cast<size_t>(f - w.list.files);
    } else if (rel.empty() && equals_nocase(name.c_str(), "default.xbe")) {
      index = 0;
    } else {
      continue;
    }
    found_file& slot = w.found[index];
    if (slot.seen) continue;  // "A" and "a" beside each other on a case-sensitive disk
    uint64_t size = 0;
    if (path_kind(full.c_str(), &size) != PATH_FILE) continue;
    slot = {full, child, size, true};
  }
  return IMPORT_OK;
}

// The digest of the file at `path`, with progress; false when it cannot be read.
bool hash_file(const found_file& f, uint8_t* buffer, uint64_t* done, uint64_t total,
               progress_fn progress, void* user, char hex[65]) {
  unique_file in(open_utf8(f.path.c_str(), "rb"));
  if (!in) return false;
  std::setvbuf(in.get(), nullptr, _IONBF, 0);
  sha256_ctx ctx;
  sha256_init(&ctx);
  if (progress) progress(*done, total, f.rel.c_str(), user);
  size_t got;
  while ((got = std::fread(buffer, 1, HASH_CHUNK, in.get())) > 0) {
    sha256_update(&ctx, buffer, got);
    *done += got;
    if (progress) progress(*done, total, f.rel.c_str(), user);
  }
  if (std::ferror(in.get())) return false;
  uint8_t digest[32];
  sha256_final(&ctx, digest);
  digest_to_hex(digest, hex);
  return true;
}

}  // namespace

uint32_t disc_file_count() { return static_cast<uint32_t>(disc_manifest().count); }

int check_game_folder(const char* folder, int hash, progress_fn progress, void* user,
                      game_problem_fn report, void* report_user, game_folder_check* check) {
  std::memset(check, 0, sizeof *check);
  try {
    if (!folder || path_kind(folder, nullptr) != PATH_FOLDER) return IMPORT_ERR_SOURCE_IO;
    walk w{disc_manifest(), {}, {}};
    const bool listed = w.list.count > 0;
    check->has_list = listed ? 1 : 0;
    check->files = listed ? static_cast<uint32_t>(w.list.count) : 1;
    w.found.resize(check->files);
    int status = walk_folder(w, folder, "", 0);
    if (status != IMPORT_OK) return status;

    auto tell = [&](int problem, const std::string& path, uint64_t size, uint64_t want) {
      if (problem != GAME_FILE_LEFTOVER) ++check->bad;
      if (report) report(problem, path.c_str(), size, want, report_user);
    };
    uint64_t total = 0, done = 0;
    for (size_t i = 0; i < w.found.size(); ++i) {
      const uint64_t want = listed ? w.list.files[i].size : w.found[i].size;
      if (w.found[i].seen && w.found[i].size == want) total += want;
    }
    std::unique_ptr<uint8_t[]> buffer;
    if (hash) buffer.reset(new uint8_t[HASH_CHUNK]);
    for (size_t i = 0; i < w.found.size(); ++i) {
      const found_file& f = w.found[i];
      const std::string name = listed ? w.list.files[i].path : "default.xbe";
      if (!f.seen) {
        tell(GAME_FILE_MISSING, name, 0, 0);
        continue;
      }
      const uint64_t want = listed ? w.list.files[i].size : f.size;
      if (f.size != want) {
        tell(f.size < want ? GAME_FILE_SHORT : GAME_FILE_LONG, f.rel, f.size, want);
        continue;
      }
      if (!hash) continue;
      char hex[65] = "";
      const char* expected = listed ? w.list.files[i].sha256 : SUPPORTED_XBE_SHA256;
      // An unreadable file is as good as damaged to the game.
      if (!hash_file(f, buffer.get(), &done, total, progress, user, hex) ||
          std::strcmp(hex, expected) != 0)
        tell(GAME_FILE_DAMAGED, f.rel, 0, 0);
    }
    std::sort(w.leftovers.begin(), w.leftovers.end());
    for (const std::string& path : w.leftovers) {
      ++check->leftovers;
      tell(GAME_FILE_LEFTOVER, path, 0, 0);
    }
    return IMPORT_OK;
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}
