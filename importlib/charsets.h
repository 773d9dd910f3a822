// Character-set conversions for text read from discs: names in XDVDFS tables are
// Windows-1252 bytes, and everything inside the library is UTF-8.
#pragma once

#include <cstddef>
#include <string>

// Appends the UTF-8 form of `code_point` (at most U+10FFFF; surrogates are the caller's to
// replace) to `out`.
void append_utf8(std::string& out, char32_t code_point);

// The `len` bytes at `raw` read as Windows-1252, in UTF-8. ASCII stays as it is; the five
// bytes the code page leaves undefined (81, 8D, 8F, 90, 9D) become U+0081, U+008D, U+008F,
// U+0090 and U+009D, as Windows' own conversion maps them, so every byte string converts
// and distinct names stay distinct. Bytes 00 and 01..1F pass through unchanged: judging
// them is the name rules' business, on the raw bytes.
std::string cp1252_to_utf8(const char* raw, size_t len);
