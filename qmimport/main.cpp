// qmimport: imports the game files from the player's own disc image or extracted folder,
// or checks whether a default.xbe is the supported build.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "arguments.h"
#include "import.h"

namespace {

const char USAGE[] =
    "usage: qmimport <quillmoor.iso | extracted-folder> <out-game-dir>\n"
    "       qmimport --check <default.xbe>\n"
    "Copies default.xbe, maps/, media/, bink/, TDATA/, UDATA/ from your own Quillmoor disc\n"
    "(Redump ISO, XISO or extracted folder) and verifies default.xbe (SHA-256).\n";

// Last percentage shown on the progress line; -1 while none has been printed.
int last_percent = -1;

void print_progress(uint64_t done, uint64_t total, const char* path, void*) {
  int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  if (percent == last_percent) return;
  last_percent = percent;
  std::fprintf(stderr, "\r  %3d%%  %-48.48s", percent, path ? path : "");
  std::fflush(stderr);
}

int run_check(const char* path) {
  if (is_supported_xbe(path)) {
    std::printf("%s: sha ok (supported Quillmoor default.xbe)\n", path);
    return 0;
  }
  // As it stands it is not the supported file, but the import of the disc restores it.
  if (is_media_patched_xbe(path))
    std::printf(
        "%s: media-patched copy of the supported default.xbe (importing the disc restores it)\n",
        path);
  else
    std::printf("%s: MISMATCH or unreadable\n", path);
  return 3;
}

int run_import(const char* source, const char* out) {
  time_t start = std::time(nullptr);
  import_result result;
  int status = import_game(source, out, print_progress, nullptr, &result);
  double elapsed = std::difftime(std::time(nullptr), start);
  if (last_percent >= 0) std::fputs("\n", stderr);
  if (status != IMPORT_OK) {
    std::fprintf(stderr, "qmimport: error %d: %s\n", status, result.message);
    return 1;
  }
  std::printf("source    %s (%s", source, result.is_disc_image ? "disc image" : "folder");
  if (result.is_disc_image)
    std::printf(", game partition at 0x%llX",
                static_cast<unsigned long long>(result.partition_offset));
  std::printf(")\n");
  std::printf("output    %s\n", out);
  std::printf("copied    %u files, %u folders, %llu bytes (%.1f MB) in %.1f s\n",
              static_cast<unsigned>(result.files_copied),
              static_cast<unsigned>(result.folders_created),
              static_cast<unsigned long long>(result.bytes_copied),
              static_cast<double>(result.bytes_copied) / 1048576.0, elapsed);
  std::printf("skipped   %u top-level entries not needed by the game\n",
              static_cast<unsigned>(result.skipped_top_level));
  std::printf("xbe sha   %s %s\n", result.xbe_sha_hex, result.xbe_sha_ok ? "OK" : "MISMATCH");
  if (result.xbe_media_patch_undone != 0)
    std::printf(
        "restored  default.xbe carried an XISO tool's media patch at %u place(s); the retail bytes "
        "were written\n",
        static_cast<unsigned>(result.xbe_media_patch_undone));
  return result.xbe_sha_ok == 1 ? 0 : 1;
}

int tool_main(int argc, char** argv) {
  std::vector<std::string> args;
  try {
    args = utf8_arguments(argc, argv);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  if (args.size() != 3) {
    std::fputs(USAGE, stderr);
    return 2;
  }
  if (args[1] == "--check") return run_check(args[2].c_str());
  return run_import(args[1].c_str(), args[2].c_str());
}

}  // namespace

int main(int argc, char** argv) { return tool_main(argc, argv); }
