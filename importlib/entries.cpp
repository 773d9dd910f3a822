#include "entries.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "paths.h"

void set_import_error(import_result* result, const char* format, ...) {
  if (!result) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(result->message, sizeof result->message, format, args);
  va_end(args);
}

int entry_list_add(import_context* ctx, const char* parent_rel, const char* name, size_t name_len,
                   const char* source_path, uint64_t image_offset, uint64_t size, int is_dir) {
  const uint64_t path_bytes = (parent_rel ? std::strlen(parent_rel) + 1 : 0) + name_len +
                              (source_path ? std::strlen(source_path) : 0);
  if (ctx->entries.size() >= MAX_LIST_ENTRIES ||
      path_bytes > MAX_LIST_PATH_BYTES - ctx->path_bytes) {
    set_import_error(ctx->result,
                     "the source lists more entries or longer names than any game disc (damaged "
                     "image?)");
    return IMPORT_ERR_DAMAGED;
  }
  try {
    std::vector<import_entry>& list = ctx->entries;
    if (list.size() == list.capacity()) list.reserve(list.empty() ? 256 : 2 * list.capacity());
    import_entry entry{};
    if (parent_rel) {
      entry.rel_path.reserve(std::strlen(parent_rel) + 1 + name_len);
      entry.rel_path = parent_rel;
      entry.rel_path += '/';
    }
    entry.rel_path.append(name, name_len);
    if (source_path) entry.source_path = source_path;
    entry.image_offset = image_offset;
    entry.size = size;
    entry.is_dir = is_dir;
    list.push_back(std::move(entry));  // capacity reserved above: cannot throw
    ctx->path_bytes += path_bytes;
    return IMPORT_OK;
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}

namespace {

// Names Windows maps to devices whatever the folder: "nul.txt" still opens NUL.
bool is_device_name(const char* name, size_t len) {
  static constexpr const char* DEVICES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  size_t stem = 0;
  while (stem < len && name[stem] != '.') ++stem;
  // Windows also ignores trailing spaces before the extension ("nul .txt").
  while (stem > 0 && name[stem - 1] == ' ') --stem;
  auto stem_is = [&](const char* dev) {
    size_t n = std::strlen(dev);
    if (n != stem) return false;
    for (size_t i = 0; i < n; ++i)
      if (std::toupper(static_cast<unsigned char>(name[i])) != dev[i]) return false;
    return true;
  };
  for (const char* dev : DEVICES)
    if (stem_is(dev)) return true;
  if (stem == 4 || stem == 5) {
    char up[3];
    for (int i = 0; i < 3; ++i)
      up[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    bool com_lpt = (up[0] == 'C' && up[1] == 'O' && up[2] == 'M') ||
                   (up[0] == 'L' && up[1] == 'P' && up[2] == 'T');
    if (com_lpt && stem == 4 && name[3] >= '1' && name[3] <= '9') return true;
    // Windows also maps the superscript digits: COM¹, LPT², ... (UTF-8 C2 B9/B2/B3).
    unsigned char lead = static_cast<unsigned char>(name[3]);
    unsigned char digit = static_cast<unsigned char>(name[stem - 1]);
    if (com_lpt && stem == 5 && lead == 0xC2 && (digit == 0xB9 || digit == 0xB2 || digit == 0xB3))
      return true;
  }
  return false;
}

}  // namespace

name_verdict judge_name(const char* name, size_t name_len) {
  if (name_len == 0) return NAME_ESCAPES;
  for (size_t i = 0; i < name_len; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == '/' || c == ':' || c == '\\') return NAME_ESCAPES;
    if (c == '.' && i + 1 < name_len && name[i + 1] == '.') return NAME_ESCAPES;
  }
  if (name_len == 1 && name[0] == '.') return NAME_ESCAPES;
  // Windows cannot create a file with these in its name: refused at listing, not after
  // half the game has been written.
  for (size_t i = 0; i < name_len; ++i)
    if (std::strchr("<>\"|?*", name[i])) return NAME_NOT_ON_WINDOWS;
  // Windows silently drops a trailing dot or space, so "a." would land on "a".
  if (name[name_len - 1] == '.' || name[name_len - 1] == ' ') return NAME_NOT_ON_WINDOWS;
  if (is_device_name(name, name_len)) return NAME_NOT_ON_WINDOWS;
  return NAME_SAFE;
}

int is_safe_name(const char* name, size_t name_len) {
  return judge_name(name, name_len) == NAME_SAFE;
}

std::string printable_name(const char* name, size_t name_len) {
  std::string out(name, name_len);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  return out;
}

int refuse_case_twins(import_context* ctx) {
  try {
    // Sorted by their ASCII-lowered paths, twins stand side by side; a folder sorts before
    // what is below it, so a pair of folders is named rather than their contents. Compared
    // in place: a lowered copy of every path took a listing at the list's limits from 123 MB
    // to 205 MB.
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    auto less = [&](size_t x, size_t y) {
      const std::string& a = ctx->entries[x].rel_path;
      const std::string& b = ctx->entries[y].rel_path;
      return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                          [&](char p, char q) { return lower(p) < lower(q); });
    };
    std::vector<size_t> keys(ctx->entries.size());
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = i;
    std::stable_sort(keys.begin(), keys.end(), less);
    for (size_t i = 1; i < keys.size(); ++i) {
      if (less(keys[i - 1], keys[i])) continue;
      const std::string& a = ctx->entries[keys[i - 1]].rel_path;
      const std::string& b = ctx->entries[keys[i]].rel_path;
      set_import_error(ctx->result,
                       "two names in the source differ only in letter case: \"%s\" and \"%s\" "
                       "- refusing the whole source",
                       printable_name(a.data(), a.size()).c_str(),
                       printable_name(b.data(), b.size()).c_str());
      return IMPORT_ERR_UNSAFE_NAME;
    }
    return IMPORT_OK;
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}

int is_wanted_top_level(const char* name, int is_dir) {
  if (is_dir) {
    static constexpr const char* FOLDERS[] = {"maps", "media", "bink", "TDATA", "UDATA"};
    for (const char* folder : FOLDERS)
      if (equals_nocase(name, folder)) return 1;
    return 0;
  }
  return equals_nocase(name, "default.xbe");
}
