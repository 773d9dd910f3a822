// The XDVDFS volume of a disc image: found at one of the known partition offsets of an open
// image, whatever form the image is read from, and the wanted part of its tree listed into
// the entry list, trusting nothing in the image.
#pragma once

#include <cstdint>
#include <string>

class byte_reader;
struct import_context;

// Finds the volume in `image`, records it in ctx->notes (is_disc_image, partition_offset)
// and lists the wanted part of its tree into ctx->entries. `name` names the image in
// messages. Where no volume is found, the message ends with `not_found_hint` when one is
// given, else with what the image's first bytes look like. *has_default_xex (may be null)
// tells whether the top level holds a default.xex: an Xbox 360 disc picked by mistake.
// An import status.
int xdvdfs_list(import_context* ctx, byte_reader& image, const char* name,
                const std::string& not_found_hint, bool* has_default_xex);

// Finds the volume in `image` and, in its root folder only, the top-level default.xbe (in any
// letter case): IMPORT_OK with where its bytes lie, IMPORT_ERR_NO_XBE without one, or the
// status of what stopped the search. Nothing else of the tree is read.
int xdvdfs_find_executable(byte_reader& image, uint64_t* offset, uint64_t* size);
