#include "launcher_rules.h"

#include <algorithm>
#include <cstdio>

#include "fs.h"
#include "import.h"
#include "launcher_texts.h"
#include "paths.h"

namespace {

// Up to `limit` bytes from the start of the file; empty when it cannot be opened.
std::string read_head(const char* path, size_t limit) {
  unique_file f(open_utf8(path, "rb"));
  if (!f) return {};
  std::string data(limit, '\0');
  data.resize(std::fread(data.data(), 1, limit, f.get()));
  return data;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Case folded for comparing file names. ASCII and Latin-1 cover the drive letters and the
// accented user names ("André") that differ in case between an environment variable typed by
// hand and the path the system reports; NTFS's own table folds more.
wchar_t fold(wchar_t c) {
  if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
    return static_cast<wchar_t>(c - 0x20);
  return c;
}

// The path's components as folded text joined by single '\\', without a \\?\ prefix (its
// UNC form \\?\UNC\server becomes \\server) or separators at the end.
std::wstring comparable_path(std::wstring_view path) {
  const std::wstring_view verbatim = L"\\\\?\\", verbatim_unc = L"\\\\?\\UNC\\";
  std::wstring out;
  if (path.substr(0, verbatim_unc.size()) == verbatim_unc) {
    path.remove_prefix(verbatim_unc.size());
    out = L"\\\\";
  } else if (path.substr(0, verbatim.size()) == verbatim) {
    path.remove_prefix(verbatim.size());
  } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    path.remove_prefix(2);
    out = L"\\\\";  // a UNC path keeps its two leading separators
  }
  for (wchar_t c : path) {
    if (!is_separator(c))
      out += fold(c);
    else if (!out.empty() && out.back() != L'\\')
      out += L'\\';
  }
  if (out.size() > 2 && out.back() == L'\\') out.pop_back();
  return out;
}

// The folder's entries, files and folders apart, each in byte order; empty when it cannot be
// listed.
void sorted_entries(const std::string& folder, std::vector<std::string>& files,
                    std::vector<std::string>& folders) {
  list_dir(folder.c_str(), [&](const char* name, int is_dir) {
    (is_dir ? folders : files).emplace_back(name);
    return 0;
  });
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
}

}  // namespace

std::string kit_version_from_text(std::string_view text) {
  // The file is read as a C string would be: nothing after a NUL byte counts.
  text = text.substr(0, text.find('\0'));
  const std::string_view key = "\"version\"";
  size_t at = text.find(key);
  if (at == std::string_view::npos) return {};
  size_t open = text.find('"', at + key.size());
  if (open == std::string_view::npos) return {};
  size_t close = text.find('"', open + 1);
  if (close == std::string_view::npos) return {};
  if (close - open - 1 > MAX_VERSION_CHARS) return {};
  return std::string(text.substr(open + 1, close - open - 1));
}

std::string read_kit_version(const char* kit_json_path) {
  return kit_version_from_text(read_head(kit_json_path, 4095));
}

std::string build_stamp_from_text(std::string_view text) {
  text = text.substr(0, MAX_VERSION_CHARS);
  return std::string(text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3))));
}

std::string read_build_stamp(const char* stamp_path) {
  return build_stamp_from_text(read_head(stamp_path, MAX_VERSION_CHARS));
}

int kit_differs_from_stamp(const std::string& kit_version, const std::string& stamp) {
  return !kit_version.empty() && kit_version != stamp;
}

std::wstring import_source_for_choice(std::wstring chosen) {
  const std::wstring_view name = L"default.xbe";
  if (chosen.size() <= name.size()) return chosen;
  size_t cut = chosen.size() - name.size();
  if (!is_separator(chosen[cut - 1])) return chosen;  // xdefault.xbe is a file of its own
  for (size_t i = 0; i < name.size(); ++i) {
    wchar_t c = chosen[cut + i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != name[i]) return chosen;
  }
  chosen.resize(cut);
  // Keep the separator of a root: "\" or "E:\".
  bool drive_root = chosen.size() == 3 && chosen[1] == L':';
  if (chosen.size() > 1 && !drive_root) chosen.pop_back();
  return chosen;
}

int xbe_check_skipped(const char* value) { return value && value[0] && value[0] != '0'; }

std::string progress_label_text(uint64_t done, uint64_t total, const char* path) {
  // Every file written; the import waits until they are on the disk.
  if (path == IMPORT_FINISHING || (path && !*path)) return WRITING;
  int percent = total == 0 ? 0 : static_cast<int>(done * 100 / total);
  char text[512];
  std::snprintf(text, sizeof text, "%s\n\n%s\n\n%.0f of %.0f MB (%d%%)", path ? COPYING : READING,
                path ? path : "", static_cast<double>(done) / 1048576.0,
                static_cast<double>(total) / 1048576.0, percent);
  return text;
}

void moving_rate::add(uint32_t tick, uint64_t done) {
  if (count_ == 0) first_tick_ = tick;
  if (count_ == SLOTS) {
    head_ = (head_ + 1) % SLOTS;
    --count_;
  }
  samples_[(head_ + count_) % SLOTS] = {tick, done};
  ++count_;
  // Keep one sample at or beyond the window's edge, so the average spans the whole window.
  while (count_ > 2 && static_cast<uint32_t>(tick - at(1).tick) >= WINDOW_MS) {
    head_ = (head_ + 1) % SLOTS;
    --count_;
  }
}

double moving_rate::bytes_per_second() const {
  if (count_ < 2) return 0;
  const sample &from = at(0), &to = newest();
  uint32_t ms = to.tick - from.tick;
  if (ms == 0 || to.done <= from.done) return 0;
  return static_cast<double>(to.done - from.done) * 1000.0 / ms;
}

std::string time_left_text(double seconds) {
  if (seconds < 60) return "less than a minute";
  // Capped so that a crawling copy cannot overflow the count; nobody waits that long.
  double minutes = seconds / 60 + 0.5;
  int whole = minutes < 1e6 ? static_cast<int>(minutes) : 1000000;
  if (whole == 1) return "1 minute";
  char text[32];
  std::snprintf(text, sizeof text, "%d minutes", whole);
  return text;
}

std::string speed_and_time_left(uint64_t done, uint64_t total, const moving_rate& rate) {
  const double speed = rate.bytes_per_second();
  if (rate.elapsed_ms() < 2000 || speed <= 0) return {};
  const double left = done < total ? static_cast<double>(total - done) / speed : 0;
  char text[96];
  std::snprintf(text, sizeof text, " - %.0f MB/s, about %s left", speed / 1048576.0,
                time_left_text(left).c_str());
  return text;
}

int progress_update_due(uint32_t now, uint32_t last_tick, uint64_t done, uint64_t total) {
  return static_cast<uint32_t>(now - last_tick) >= 100 || done >= total;
}

std::string import_failure_text(int status, const char* message) {
  // -9 carries no message: the library had no memory to write one.
  if (status == IMPORT_ERR_NO_MEMORY && (!message || !*message)) message = "out of memory";
  char text[1200];
  std::snprintf(text, sizeof text, IMPORT_FAILED, message ? message : "",
                status == IMPORT_ERR_WRONG_BUILD ? ONE_VERSION_ONLY : NOTHING_CHANGED);
  return text;
}

std::string filled(const char* text, const std::string& value) {
  std::string out = text;
  return out.replace(out.find("%s"), 2, value);
}

std::wstring arguments_after_program_name(const wchar_t* command_line) {
  if (!command_line) return {};
  // The C runtime's rule for the graphical entry's argument: quotes toggle, and the name
  // ends at the first control character or space outside them.
  const wchar_t* p = command_line;
  bool quoted = false;
  for (; *p && (quoted || *p > L' '); ++p)
    if (*p == L'"') quoted = !quoted;
  while (*p && *p <= L' ') ++p;
  return p;
}

std::wstring game_command_line(const std::wstring& arguments) {
  std::wstring line = L"\"";
  line.append(GAME_PROGRAM, GAME_PROGRAM + sizeof GAME_PROGRAM - 1);  // plain ASCII
  line += L"\" ";
  return line + arguments;
}

std::wstring folder_of_program(const std::wstring& program_path) {
  size_t last = program_path.find_last_of(L'\\');
  if (last == std::wstring::npos) return {};
  return program_path.substr(0, last + 1);
}

std::wstring path_in_folder(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || is_separator(folder.back())) return folder + name;
  return folder + L'\\' + name;
}

int path_within(std::wstring_view path, std::wstring_view root) {
  std::wstring p = comparable_path(path), r = comparable_path(root);
  if (r.empty() || p.compare(0, r.size(), r) != 0) return 0;
  return p.size() == r.size() || r.back() == L'\\' || p[r.size()] == L'\\';
}

int synced_by_onedrive(std::wstring_view folder, uint32_t attributes,
                       const std::vector<std::wstring>& sync_roots) {
  const uint32_t cloud = ATTRIBUTE_PINNED | ATTRIBUTE_UNPINNED | ATTRIBUTE_RECALL_ON_DATA_ACCESS;
  if (attributes != NO_ATTRIBUTES && (attributes & cloud)) return 1;
  for (const std::wstring& root : sync_roots)
    if (path_within(folder, root)) return 1;
  return 0;
}

void add_broken_file(broken_game_files& files, int problem, const char* path) {
  if (problem == GAME_FILE_LEFTOVER || problem == GAME_FOLDER_LINK) return;
  if (files.named.size() == BROKEN_FILES_NAMED) {
    ++files.more;
    return;
  }
  std::string line = problem == GAME_FILE_MISSING        ? "missing: "
                     : problem == GAME_FOLDER_UNREADABLE ? "unreadable: "
                                                         : "damaged: ";
  if (!*path) line += "game";
  for (const char* p = path; *p; ++p) line += *p == '/' ? '\\' : *p;
  files.named.push_back(std::move(line));
}

std::string broken_files_lines(const broken_game_files& files) {
  std::string lines;
  for (const std::string& line : files.named) {
    if (!lines.empty()) lines += '\n';
    lines += line;
  }
  if (files.more) lines += "\n... and " + std::to_string(files.more) + " more";
  return lines;
}

std::vector<std::string> disc_candidates(const char* folder, size_t limit) {
  std::vector<std::string> found;
  auto take = [&](const std::string& path) {
    if (found.size() < limit) found.push_back(path);
  };
  std::vector<std::string> files, folders;
  sorted_entries(folder, files, folders);
  // Image files in `in`; a later part of a split image only when no first part lies beside it:
  // then it is a whole image named like one ("Quillmoor v1.2.iso").
  auto take_images = [&](const std::string& in, const std::vector<std::string>& names) {
    std::string first;
    for (const std::string& name : names) {
      if (!disc_image_name(name.c_str(), &first)) continue;
      if (!first.empty() && std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return equals_nocase(n.c_str(), first.c_str());
          }))
        continue;
      take(join_out_path(in.c_str(), name.c_str()));
    }
  };
  take_images(folder, files);
  for (const std::string& name : folders) {
    if (found.size() >= limit) break;
    if (equals_nocase(name.c_str(), "game")) continue;
    const std::string sub = join_out_path(folder, name.c_str());
    std::vector<std::string> sub_files, sub_folders;
    sorted_entries(sub, sub_files, sub_folders);
    if (std::any_of(sub_files.begin(), sub_files.end(),
                    [](const std::string& f) { return equals_nocase(f.c_str(), "default.xbe"); }))
      take(sub);
    take_images(sub, sub_files);
  }
  return found;
}
