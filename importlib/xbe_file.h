// The executable as a file: whether it is the supported build, whether it is that build with
// an XISO tool's media patch, undoing that patch in place, and what it says it is.
#pragma once

#include <cstdint>
#include <string>

class byte_reader;

// 1 when the file at the UTF-8 `path`, with every media-patched run set back to its retail
// byte, has the supported digest (the file holds at least one such run), and then those
// bytes are written into the file; 0 when not; -1 when it cannot be read or written.
// *places (when given) receives the number of runs. (judge_xbe only tells.)
int xbe_undo_media_patch(const char* path, uint32_t* places);

// The sentence that tells the player which executable the file at `path` is (title, ID,
// version, region), or that it is no Xbox executable; empty when its header does not hold
// together or it cannot be read.
std::string xbe_describe_file(const char* path);

// judge_xbe for the `size` bytes at `offset` of `bytes`: an executable inside a disc image.
int judge_xbe_range(byte_reader& bytes, uint64_t offset, uint64_t size);
