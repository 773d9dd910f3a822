#include "folder_source.h"

#include <cstring>
#include <new>
#include <string>

#include "entries.h"
#include "fs.h"
#include "paths.h"

namespace {

// A link whose target is gone: the folder as the player sees it lacks a file, which must not
// pass for a complete game.
int broken_link(import_context* ctx, const char* path) {
  set_import_error(ctx->result, "cannot read %s (a broken link?)", path);
  return IMPORT_ERR_SOURCE_IO;
}

}  // namespace

int folder_walk(import_context* ctx, const char* dir, const char* rel_parent, int depth) {
  if (depth > MAX_TREE_DEPTH) {
    set_import_error(ctx->result, "folder tree too deep");
    return IMPORT_ERR_DAMAGED;
  }
  file_identity id;
  if (identity_of(dir, &id) != 0) {
    if (is_broken_link(dir)) return broken_link(ctx, dir);
    set_import_error(ctx->result, "cannot list folder %s", dir);
    return IMPORT_ERR_SOURCE_IO;
  }
  try {
    if (!ctx->walked_folders.insert(id).second) {
      set_import_error(ctx->result, "folder reached twice in the source (a link loop?): %s", dir);
      return IMPORT_ERR_DAMAGED;
    }
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
  int status = list_dir(dir, [&](const char* name, int is_dir) {
    return folder_take_entry(ctx, dir, rel_parent, depth, name, is_dir);
  });
  if (status == LIST_DIR_FAILED) {
    set_import_error(ctx->result, "cannot list folder %s", dir);
    return IMPORT_ERR_SOURCE_IO;
  }
  return status;
}

int folder_take_entry(import_context* ctx, const char* dir, const char* rel_parent, int depth,
                      const char* name, int is_dir) {
  const size_t name_len = std::strlen(name);
  const name_verdict verdict = judge_name(name, name_len);
  if (verdict != NAME_SAFE) {
    set_import_error(ctx->result, "unsafe name in source folder: \"%s\"%s",
                     printable_name(name, name_len).c_str(),
                     verdict == NAME_ESCAPES ? "" : " (a name Windows cannot hold)");
    return IMPORT_ERR_UNSAFE_NAME;
  }
  if (!rel_parent && !is_wanted_top_level(name, is_dir)) {
    ++ctx->result->skipped_top_level;
    return IMPORT_OK;
  }
  try {
    const std::string full = join_out_path(dir, name);
    if (is_dir) {
      int status = entry_list_add(ctx, rel_parent, name, name_len, nullptr, 0, 0, 1);
      if (status != IMPORT_OK) return status;
      // The entry just added holds exactly the child's relative path.
      const std::string child_rel = ctx->entries.back().rel_path;
      return folder_walk(ctx, full.c_str(), child_rel.c_str(), depth + 1);
    }
    uint64_t size = 0;
    // Anything but a plain file now (vanished, or replaced by a folder) is left out.
    if (path_kind(full.c_str(), &size) != 1)
      return is_broken_link(full.c_str()) ? broken_link(ctx, full.c_str()) : IMPORT_OK;
    return entry_list_add(ctx, rel_parent, name, name_len, full.c_str(), 0, size, 0);
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}
