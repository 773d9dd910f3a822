// A game folder imported earlier, checked against the disc's list without writing anything.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
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
};

struct folder_problem {
  std::string rel;
  int problem;  // GAME_FOLDER_LINK or GAME_FOLDER_UNREADABLE
  bool operator<(const folder_problem& o) const { return rel < o.rel; }
};

struct walk {
  const manifest_list list;
  // Every spelling found of each listed file, by list index; default.xbe's alone without a
  // list. "A" and "a" can lie beside each other on a disk that tells them apart.
  std::vector<std::vector<found_file>> found;
  // Every folder listed, by identity: a bind mount can bring a folder back without a link.
  std::set<file_identity> folders;
  std::vector<folder_problem> folder_problems;
  std::vector<std::string> leftovers;
};

bool ends_with_part(const std::string& name) {
  return name.size() >= 5 && equals_nocase(name.substr(name.size() - 5).c_str(), ".part");
}

void take_file(walk& w, const std::string& full, const std::string& rel, const std::string& name,
               bool top) {
  if (ends_with_part(name) || (top && name == IMPORT_LOCK_NAME)) {
    w.leftovers.push_back(rel);
    return;
  }
  size_t index;
  if (w.list.count > 0) {
    const manifest_file* f = manifest_find(rel.data(), rel.size());
    if (!f) return;
    index = static_cast<size_t>(f - w.list.files);
  } else if (top && equals_nocase(name.c_str(), "default.xbe")) {
    index = 0;
  } else {
    return;
  }
  // A pipe, a device or a broken link is no file of the game: never opened.
  uint64_t size = 0;
  if (path_kind(full.c_str(), &size) != PATH_FILE) return;
  w.found[index].push_back({full, rel, size});
}

// Lists `dir` (`rel` below the game folder, empty at the top) and what is below it. Folder
// links are not followed, and a folder already listed is not listed again: the walk makes one
// visit per folder of the game folder's own tree. IMPORT_ERR_SOURCE_IO only for the top.
int walk_folder(walk& w, const std::string& dir, const std::string& rel, int depth) {
  if (depth > MAX_TREE_DEPTH) return IMPORT_OK;  // nothing the import writes lies so deep
  const bool top = rel.empty();
  file_identity id;
  if (identity_of(dir.c_str(), &id) != 0) {
    if (top) return IMPORT_ERR_SOURCE_IO;
    w.folder_problems.push_back({rel, GAME_FOLDER_UNREADABLE});
    return IMPORT_OK;
  }
  if (!w.folders.insert(id).second) {
    w.folder_problems.push_back({rel, GAME_FOLDER_LINK});
    return IMPORT_OK;
  }
  std::vector<std::pair<std::string, int>> names;
  if (list_dir(dir.c_str(), [&](const char* name, int is_dir) {
        names.emplace_back(name, is_dir);
        return 0;
      }) != 0) {
    if (top) return IMPORT_ERR_SOURCE_IO;
    // What was listed before the listing broke off is still checked.
    w.folder_problems.push_back({rel, GAME_FOLDER_UNREADABLE});
  }
  for (const auto& [name, is_dir] : names) {
    const std::string full = join_out_path(dir.c_str(), name.c_str());
    const std::string child = top ? name : rel + "/" + name;
    if (is_dir == LIST_FOLDER_LINK) {
      w.folder_problems.push_back({child, GAME_FOLDER_LINK});
    } else if (is_dir) {
      walk_folder(w, full, child, depth + 1);
    } else {
      take_file(w, full, child, name, top);
    }
  }
  return IMPORT_OK;
}

// The digest of the file at `path`, with progress; false when it cannot be read or holds more
// than the `want` bytes it had when listed (a file still growing is read no further).
bool hash_file(const found_file& f, uint64_t want, uint8_t* buffer, uint64_t* done, uint64_t total,
               progress_fn progress, void* user, char hex[65]) {
  // Opened as a regular file only: a pipe put in its place since the walk would never end.
  unique_file in(open_regular_file(f.path.c_str(), nullptr));
  if (!in) return false;
  sha256_ctx ctx;
  sha256_init(&ctx);
  if (progress) progress(*done, total, f.rel.c_str(), user);
  size_t got;
  uint64_t read = 0;
  while ((got = std::fread(buffer, 1, HASH_CHUNK, in.get())) > 0) {
    if ((read += got) > want) return false;
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
    walk w{disc_manifest(), {}, {}, {}, {}};
    const bool listed = w.list.count > 0;
    check->has_list = listed ? 1 : 0;
    check->files = listed ? static_cast<uint32_t>(w.list.count) : 1;
    w.found.resize(check->files);
    int status = walk_folder(w, folder, "", 0);
    if (status != IMPORT_OK) return status;

    auto tell = [&](int problem, const std::string& path, const char* spelling_of = nullptr,
                    uint64_t size = 0, uint64_t want = 0) {
      const game_problem p{problem, path.c_str(), spelling_of, size, want};
      if (report) report(&p, report_user);
    };
    std::sort(w.folder_problems.begin(), w.folder_problems.end());
    for (const folder_problem& f : w.folder_problems) {
      ++(f.problem == GAME_FOLDER_LINK ? check->links : check->unreadable);
      tell(f.problem, f.rel);
    }

    // The spelling checked as the listed file: the list's own where the folder has it. Without a
    // list, the size the executable has; the supported digest decides.
    std::vector<size_t> first(w.found.size(), 0);
    uint64_t total = 0, done = 0;
    for (size_t i = 0; i < w.found.size(); ++i) {
      const std::vector<found_file>& all = w.found[i];
      for (size_t k = 0; listed && k < all.size(); ++k)
        if (all[k].rel == w.list.files[i].path) first[i] = k;
      const uint64_t want = listed ? w.list.files[i].size : all.empty() ? 0 : all[first[i]].size;
      for (const found_file& f : all)
        if (f.size == want) total += want;
    }
    std::unique_ptr<uint8_t[]> buffer;
    if (hash) buffer.reset(new uint8_t[HASH_CHUNK]);
    for (size_t i = 0; i < w.found.size(); ++i) {
      const std::vector<found_file>& all = w.found[i];
      if (all.empty()) {
        ++check->bad;
        tell(GAME_FILE_MISSING, listed ? w.list.files[i].path : "default.xbe");
        continue;
      }
      const found_file& checked = all[first[i]];
      const uint64_t want = listed ? w.list.files[i].size : checked.size;
      const char* expected = listed ? w.list.files[i].sha256 : SUPPORTED_XBE_SHA256;
      // A problem of the file's, or 0; an unreadable file is as good as damaged to the game.
      auto problem_of = [&](const found_file& f) -> int {
        if (f.size != want) return f.size < want ? GAME_FILE_SHORT : GAME_FILE_LONG;
        char hex[65] = "";
        if (hash && (!hash_file(f, want, buffer.get(), &done, total, progress, user, hex) ||
                     std::strcmp(hex, expected) != 0))
          return GAME_FILE_DAMAGED;
        return 0;
      };
      bool bad = false;
      if (const int problem = problem_of(checked)) {
        bad = true;
        const bool sized = problem != GAME_FILE_DAMAGED;
        tell(problem, checked.rel, nullptr, sized ? checked.size : 0, sized ? want : 0);
      }
      for (size_t k = 0; k < all.size(); ++k) {
        if (k == first[i] || !problem_of(all[k])) continue;
        bad = true;
        tell(GAME_FILE_TWIN, all[k].rel, checked.rel.c_str());
      }
      if (bad) ++check->bad;
    }
    std::sort(w.leftovers.begin(), w.leftovers.end());
    for (const std::string& path : w.leftovers) {
      ++check->leftovers;
      tell(GAME_FILE_LEFTOVER, path);
    }
    return IMPORT_OK;
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}
