#include "folder_source.h"

#include <cstring>
#include <new>
#include <set>
#include <string>

#include "entries.h"
#include "fs.h"
#include "names.h"
#include "paths.h"

namespace {

// A link whose target is gone: the folder as the player sees it lacks a file, which must not
// pass for a complete game.
int broken_link(import_context* ctx, const char* path) {
  set_error(&ctx->notes.message, "cannot read %s (a broken link?)", path);
  return IMPORT_ERR_SOURCE_IO;
}

// The state of one listing.
struct walk {
  import_context* ctx;
  // Every folder listed so far, known by identity, not by path. A link back to an ancestor
  // (maps/a -> .) would otherwise be walked 4^depth times with two of them.
  std::set<file_identity> walked_folders;
};

int folder_take_entry(walk& w, const char* dir, const char* rel_parent, int depth, const char* name,
                      int is_dir);

// Lists the folder `dir`, whose relative path in the source is `rel_parent` (null for the
// source root) at nesting `depth` (0 for the root), and everything wanted below it. An import
// status; the first failure stops the whole walk.
int folder_walk(walk& w, const char* dir, const char* rel_parent, int depth) {
  import_context* ctx = w.ctx;
  if (depth > MAX_TREE_DEPTH) {
    set_error(&ctx->notes.message, "folder tree too deep");
    return IMPORT_ERR_DAMAGED;
  }
  file_identity id;
  if (identity_of(dir, &id) != 0) {
    if (is_broken_link(dir)) return broken_link(ctx, dir);
    set_error(&ctx->notes.message, "cannot list folder %s", dir);
    return IMPORT_ERR_SOURCE_IO;
  }
  try {
    if (!w.walked_folders.insert(id).second) {
      set_error(&ctx->notes.message, "folder reached twice in the source (a link loop?): %s", dir);
      return IMPORT_ERR_DAMAGED;
    }
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
  int status = list_dir(dir, [&](const char* name, int is_dir) {
    return folder_take_entry(w, dir, rel_parent, depth, name, is_dir);
  });
  if (status == LIST_DIR_FAILED) {
    set_error(&ctx->notes.message, "cannot list folder %s", dir);
    return IMPORT_ERR_SOURCE_IO;
  }
  return status;
}

// Handles one name found in `dir`: refuses unsafe names, skips unwanted top-level entries,
// adds folders (and walks them) and plain files. An import status.
int folder_take_entry(walk& w, const char* dir, const char* rel_parent, int depth, const char* name,
                      int is_dir) {
  import_context* ctx = w.ctx;
  const size_t name_len = std::strlen(name);
  const name_verdict verdict = judge_name(name, name_len);
  if (verdict != NAME_SAFE) {
    set_error(&ctx->notes.message, "unsafe name in source folder: \"%s\"%s",
              printable_name(name, name_len).c_str(),
              verdict == NAME_ESCAPES ? "" : " (a name Windows cannot hold)");
    return IMPORT_ERR_UNSAFE_NAME;
  }
  if (!rel_parent && !is_wanted_top_level(name, is_dir)) {
    ++ctx->notes.skipped_top_level;
    return IMPORT_OK;
  }
  try {
    const std::string full = join_out_path(dir, name);
    if (is_dir) {
      int status = entry_list_add(ctx, rel_parent, name, name_len, entry_source::folder());
      if (status != IMPORT_OK) return status;
      // The entry just added holds exactly the child's relative path.
      const std::string child_rel = ctx->entries.back().rel_path;
      return folder_walk(w, full.c_str(), child_rel.c_str(), depth + 1);
    }
    return folder_add_file(ctx, full.c_str(), rel_parent, name);
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}

}  // namespace

int folder_list(import_context* ctx, const char* root) {
  try {
    walk w{ctx, {}};
    return folder_walk(w, root, nullptr, 0);
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}

int folder_add_file(import_context* ctx, const char* path, const char* rel_parent,
                    const char* name) {
  uint64_t size = 0;
  // Anything but a plain file now (vanished, or replaced by a folder) is left out.
  if (path_kind(path, &size) != PATH_FILE)
    return is_broken_link(path) ? broken_link(ctx, path) : IMPORT_OK;
  return entry_list_add(ctx, rel_parent, name, std::strlen(name),
                        entry_source::on_disk(path, size));
}
