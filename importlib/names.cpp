#include "names.h"

#include <cctype>
#include <cstring>

#include "paths.h"

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

int is_wanted_top_level(const char* name, int is_dir) {
  if (is_dir) {
    static constexpr const char* FOLDERS[] = {"maps", "media", "bink", "TDATA", "UDATA"};
    for (const char* folder : FOLDERS)
      if (equals_nocase(name, folder)) return 1;
    return 0;
  }
  return equals_nocase(name, "default.xbe");
}
