// The folder source: an already extracted copy of the disc, listed into the entry list with
// the same allow-list and name rules as an image, so the driver treats both alike.
#pragma once

struct import_context;

// Lists the folder `dir` (UTF-8), whose relative path in the source is `rel_parent` (null for
// the source root) at nesting `depth` (0 for the root), and everything wanted below it.
// An import status; the first failure stops the whole walk.
int folder_walk(import_context* ctx, const char* dir, const char* rel_parent, int depth);

// Handles one name found in `dir`: refuses unsafe names, skips unwanted top-level entries,
// adds folders (and walks them) and plain files. An import status.
int folder_take_entry(import_context* ctx, const char* dir, const char* rel_parent, int depth,
                      const char* name, int is_dir);
