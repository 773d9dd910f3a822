// What a file without an Xbox volume is instead: players pick archives, compressed images,
// ordinary ISOs and loose executables by mistake, and a message naming the format tells
// them what to do next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes of the file's start that format_hint_line() looks at: the ISO 9660 mark sits at
// 0x8001..0x8005, past every other signature. Fewer is fine (a short file, a failed read):
// only the marks wholly inside them count.
constexpr size_t FORMAT_HINT_BYTES = 0x8006;

// The sentence that names the format of the file whose first `len` bytes are `head`
// ("This file is a 7-Zip archive: extract the disc image from it first."), or empty when
// it is none the program knows. Meant for a file already found to hold no Xbox volume: a
// full (Redump) image of an original Xbox disc starts with a DVD-Video partition, which
// carries the ISO 9660 mark as well.
std::string format_hint_line(const uint8_t* head, size_t len);

// For a disc whose volume is at one of the Xbox 360 partition offsets.
constexpr char XBOX_360_DISC_LINE[] =
    "This is an Xbox 360 disc (it holds default.xex), not an original Xbox disc.";
