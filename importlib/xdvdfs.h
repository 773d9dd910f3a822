// The XDVDFS image source: finds the volume at one of the known partition offsets and lists
// the wanted part of its tree into the entry list, trusting nothing in the image.
#pragma once

#include <cstdint>

struct import_context;

// Opens the image at the UTF-8 `path` (whole, split or compressed) into ctx->image, finds
// the volume, records the image's form and partition in the result and lists the whole
// tree. Returns an import status.
int xdvdfs_open_image(import_context* ctx, const char* path);

// Finds the volume in the already open ctx->image (ctx->image.size() bytes) and lists it;
// `name` is the image's name for messages. What xdvdfs_open_image does after opening;
// the fuzzer calls it on an image held in memory.
int xdvdfs_list(import_context* ctx, const char* name);

// Reads exactly `length` bytes at the absolute `position` of the image. 0; -1 when they
// are not there to read; or, with its message set, IMPORT_ERR_DAMAGED for a compressed
// block that does not decode and IMPORT_ERR_SOURCE_IO for a part that cannot be read.
int image_read_at(import_context* ctx, uint64_t position, void* buffer, uint64_t length);
