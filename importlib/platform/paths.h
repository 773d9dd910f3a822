// Path rules that follow Windows conventions but are plain byte logic, so they are built and
// tested on every platform. Paths are UTF-8; '/' and '\\' both separate components.
#pragma once

#include <string>

// `folder` + separator + `relative`, with every separator turned into the platform's own
// ('\\' on Windows, '/' elsewhere) and trailing separators of `folder` dropped first.
std::string join_out_path(const char* folder, const char* relative);

// 1 if both strings have the same length and equal bytes after ASCII lower-casing, else 0.
int equals_nocase(const char* a, const char* b);

// 1 if an import may write into `path`; 0 for empty paths, drive and file-system roots,
// "." and "..", bare UNC servers and shares, and device paths.
int is_safe_output_path(const char* path);

// Creates `path` and every missing parent (never a drive, server or share). 0 or -1.
int make_dirs(const char* path);
