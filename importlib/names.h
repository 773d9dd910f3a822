// The name rules every source is listed by: which names may become output path components on
// every platform, how a refused one is shown, and which top-level entries the game needs.
#pragma once

#include <cstddef>
#include <string>

// What the name rules make of one path component.
enum name_verdict : int {
  NAME_SAFE = 0,
  NAME_ESCAPES = 1,         // empty, ".", "..", separators, ':' or control characters
  NAME_NOT_ON_WINDOWS = 2,  // a device name, a trailing dot or space, or one of <>"|?*
};
name_verdict judge_name(const char* name, size_t name_len);

// 1 if `name` may be used as one output path component on every platform, else 0.
int is_safe_name(const char* name, size_t name_len);

// A copy of the name fit for a message: bytes outside 0x20..0x7E become '?', so a refused
// name cannot rewrite the terminal line it is printed on.
std::string printable_name(const char* name, size_t name_len);

// 1 if a top-level entry of that name and kind belongs to the game.
int is_wanted_top_level(const char* name, int is_dir);
