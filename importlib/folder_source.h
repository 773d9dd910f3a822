// The folder source: an already extracted copy of the disc, listed into the entry list with
// the same allow-list and name rules as an image, so the driver treats both alike.
#pragma once

struct import_context;

// Lists the folder `root` (UTF-8) and everything wanted below it into ctx->entries. An
// import status; the first failure stops the whole walk.
int folder_list(import_context* ctx, const char* root);

// Adds the file at `path`, found by a listing as `name` in the folder whose relative path is
// `rel_parent`: left out when it is no longer a plain file (vanished, or replaced by a
// folder), refused when it is a broken link. An import status.
int folder_add_file(import_context* ctx, const char* path, const char* rel_parent,
                    const char* name);
