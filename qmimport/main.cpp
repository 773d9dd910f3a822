// qmimport: imports the game files from the player's own disc image or extracted folder,
// or checks whether a default.xbe is the supported build.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "arguments.h"
#include "console.h"
#include "import.h"
#include "qm_version.h"
#include "tool_texts.h"

namespace {

// Characters of the path on the progress line.
constexpr size_t PROGRESS_PATH_CHARS = 48;

// Last percentage shown on the progress line; -1 while none has been printed.
int last_percent = -1;

// printf into a string, for write_text.
std::string format(const char* pattern, ...) {
  va_list args, again;
  va_start(args, pattern);
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, pattern, again);
  va_end(again);
  return text;
}

// `text` cut or padded with spaces to `width` characters. Cut between UTF-8 sequences only:
// one cut in the middle shows as a broken character.
std::string fixed_width(const char* text, size_t width) {
  std::string out;
  size_t chars = 0;
  for (const char* p = text; *p && chars < width; ++chars) {
    const char* next = p + 1;
    while ((static_cast<unsigned char>(*next) & 0xC0) == 0x80) ++next;  // continuation bytes
    out.append(p, next);
    p = next;
  }
  out.append(width - chars, ' ');
  return out;
}

void print_progress(uint64_t done, uint64_t total, const char* path, void*) {
  int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  // Once every file is written, the wait for the disk gets a line of its own.
  const bool finishing = path && !*path;
  if (finishing) path = "finishing: writing to disk...";
  if (percent == last_percent && !finishing) return;
  // Called inside the import, which no exception may cross: without memory the line simply
  // stays as it was.
  try {
    // No path: a ZIP archive's first reading, before any file is copied.
    write_text(stderr, format("\r  %3d%%  ", percent) +
                           fixed_width(path ? path : "reading the disc...", PROGRESS_PATH_CHARS));
  } catch (const std::bad_alloc&) {
    return;
  }
  last_percent = percent;
  std::fflush(stderr);
}

int run_check(const char* path) {
  const int verdict = judge_xbe(path);
  if (verdict == XBE_SUPPORTED) {
    write_text(stdout, format("%s: sha ok (supported Quillmoor default.xbe)\n", path));
    return 0;
  }
  // As it stands it is not the supported file, but the import of the disc restores it.
  if (verdict == XBE_MEDIA_PATCHED)
    write_text(stdout, format("%s: media-patched copy of the supported default.xbe (importing "
                              "the disc restores it)\n",
                              path));
  else
    write_text(stdout, format("%s: MISMATCH or unreadable\n", path));
  return 3;
}

void print_problem(const game_problem* p, void*) {
  const char* path = p->path;
  switch (p->problem) {
    case GAME_FILE_MISSING:
      write_text(stdout, format("missing   %s\n", path));
      break;
    case GAME_FILE_SHORT:
    case GAME_FILE_LONG:
      write_text(stdout, format("%s     %s: %llu bytes, want %llu\n",
                                p->problem == GAME_FILE_SHORT ? "short" : "long ", path,
                                static_cast<unsigned long long>(p->size),
                                static_cast<unsigned long long>(p->want)));
      break;
    case GAME_FILE_DAMAGED:
      write_text(stdout, format("damaged   %s\n", path));
      break;
    case GAME_FILE_TWIN:
      write_text(stdout, format("damaged   %s (a second spelling of %s)\n", path, p->spelling_of));
      break;
    case GAME_FOLDER_LINK:
      write_text(stdout, format("link      %s (a folder link; not followed)\n", path));
      break;
    case GAME_FOLDER_UNREADABLE:
      write_text(stdout, format("unreadable %s (a folder that cannot be listed)\n", path));
      break;
    default:
      write_text(stdout, format("leftover  %s (from an interrupted import)\n", path));
  }
}

int run_verify(const char* folder) {
  game_folder_check check;
  const int status =
      check_game_folder(folder, 1, print_progress, nullptr, print_problem, nullptr, &check);
  if (last_percent >= 0) write_text(stderr, "\n");
  if (status != IMPORT_OK) {
    write_text(stderr, status == IMPORT_ERR_NO_MEMORY
                           ? format("qmimport: error %d: out of memory\n", status)
                           : format("qmimport: error %d: cannot list the game folder %s\n", status,
                                    folder));
    return 1;
  }
  const char* scope =
      check.has_list ? "" : " (this build has no list of the disc's files: default.xbe only)";
  if (check.bad == 0) {
    write_text(stdout, format("%s: all %u files verified%s\n", folder,
                              static_cast<unsigned>(check.files), scope));
  } else {
    write_text(stdout,
               format("%s: %u of %u files missing or damaged - import your disc again%s\n", folder,
                      static_cast<unsigned>(check.bad), static_cast<unsigned>(check.files), scope));
  }
  // What an interrupted import left behind, and a folder that could not be looked into, also
  // want a new import.
  return check.bad == 0 && check.leftovers == 0 && check.unreadable == 0 ? 0 : 3;
}

int run_import(const char* source, const char* out) {
  // Set by Ctrl+C; outlives the import because the handler stays installed.
  static std::atomic<int> cancel{0};
  cancel_on_interrupt(&cancel);
  time_t start = std::time(nullptr);
  import_result result;
  int status = import_game_cancellable(source, out, print_progress, nullptr, &result, &cancel);
  double elapsed = std::difftime(std::time(nullptr), start);
  if (last_percent >= 0) write_text(stderr, "\n");
  if (status != IMPORT_OK) {
    // -9 carries no message: the library had no memory to write one.
    const bool no_memory = status == IMPORT_ERR_NO_MEMORY && !result.message[0];
    write_text(stderr, format("qmimport: error %d: %s\n", status,
                              no_memory ? "out of memory" : result.message));
    return 1;
  }
  // "q.1.cci (CCI disc image in 2 parts, game partition at 0x0)": a plain whole image says
  // neither.
  std::string report = format("source    %s (", source);
  if (std::strcmp(result.image_format, "ZIP") == 0) {
    report =
        format("source    %s (disc image %s in a ZIP archive, game partition at 0x%llx", source,
               result.image_entry, static_cast<unsigned long long>(result.partition_offset));
  } else if (result.is_disc_image) {
    if (result.image_format[0]) report += format("%s ", result.image_format);
    report += "disc image";
    if (result.image_parts > 1)
      report += format(" in %u parts", static_cast<unsigned>(result.image_parts));
    report += format(", game partition at 0x%llX",
                     static_cast<unsigned long long>(result.partition_offset));
  } else {
    report += "folder";
  }
  report += ")\n";
  report += format("output    %s\n", out);
  report += format("copied    %u files, %u folders, %llu bytes (%.1f MB) in %.1f s\n",
                   static_cast<unsigned>(result.files_copied),
                   static_cast<unsigned>(result.folders_created),
                   static_cast<unsigned long long>(result.bytes_copied),
                   static_cast<double>(result.bytes_copied) / 1048576.0, elapsed);
  report += format("skipped   %u top-level entries not needed by the game\n",
                   static_cast<unsigned>(result.skipped_top_level));
  if (result.extra_files_skipped != 0)
    report += format("extras    %u file(s) the retail disc does not have were not copied: %s\n",
                     static_cast<unsigned>(result.extra_files_skipped), result.extra_files_named);
  report += format("xbe sha   %s %s\n", result.xbe_sha_hex, result.xbe_sha_ok ? "OK" : "MISMATCH");
  if (result.files_verified != 0)
    report += format("verified  %u files against the retail disc's list (SHA-256)\n",
                     static_cast<unsigned>(result.files_verified));
  if (result.xbe_media_patch_undone != 0)
    report += format(
        "restored  default.xbe carried an XISO tool's media patch at %u place(s); the retail bytes "
        "were written\n",
        static_cast<unsigned>(result.xbe_media_patch_undone));
  write_text(stdout, report);
  return result.xbe_sha_ok == 1 ? 0 : 1;
}

// The version, and the build this program accepts: enough of the digest to compare with a
// release's notes, and whether every file or default.xbe alone is checked.
int run_version() {
  std::string text = format("qmimport %s\n", QM_VERSION);
  text += format("accepts default.xbe %.16s..., ", SUPPORTED_XBE_SHA256);
  uint32_t files = disc_file_count();
  text += files ? format("%u files listed\n", static_cast<unsigned>(files)) : "no list\n";
  write_text(stdout, text);
  return 0;
}

int tool_main(int argc, char** argv) {
  std::vector<std::string> args = utf8_arguments(argc, argv);
  if (args.size() == 2 && args[1] == "--version") return run_version();
  if (args.size() != 3) {
    write_text(stderr, USAGE);
    return 2;
  }
  if (args[1] == "--check") return run_check(args[2].c_str());
  if (args[1] == "--verify") return run_verify(args[2].c_str());
  return run_import(args[1].c_str(), args[2].c_str());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return tool_main(argc, argv);
  } catch (const std::bad_alloc&) {
    return 1;  // also when the arguments cannot be converted
  }
}
