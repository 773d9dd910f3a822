// Stand-in for the release's python\python.exe running the build script. What it does is
// chosen by the first word of "standin_build_mode.txt" in the current folder:
//   (missing) or "ok"   build\stamp from kit\kit.json's version, build\build.log, and the game
//                       stand-in (game_standin.exe beside this program) as quillmoor_recomp.exe
//   "fail"              build\build.log only, exit code 3
//   "no-program"        stamp and log, exit code 0, but no game program
// Every run appends its command line and current folder to "python_log.txt".
#include <windows.h>

#include <string>

#include "fs.h"
#include "standin.h"
#include "testutil.h"

namespace {

// The kit's version by a plain reading of {"version": "..."}, independent of the launcher's.
std::string kit_version() {
  std::string kit = read_text("kit\\kit.json");
  size_t key = kit.find("\"version\"");
  if (key == std::string::npos) return "";
  size_t colon = kit.find(':', key);
  size_t open = kit.find('"', colon);
  size_t close = kit.find('"', open + 1);
  if (colon == std::string::npos || open == std::string::npos || close == std::string::npos)
    return "";
  return kit.substr(open + 1, close - open - 1);
}

}  // namespace

int main() {
  append_log("python_log.txt", "command " + wide_to_utf8(GetCommandLineW()));
  append_log("python_log.txt", "folder " + current_folder());
  std::string mode = read_text("standin_build_mode.txt");
  mode = mode.substr(0, mode.find_first_of(" \r\n"));
  if (mode == "fail") {
    write_file("build\\build.log", "error: the build failed on purpose\n");
    return 3;
  }
  write_file("build\\stamp", kit_version() + "\r\nbuilt by the stand-in\r\n");
  write_file("build\\build.log", "build finished\n");
  if (mode == "no-program") return 0;
  bool ok = false;
  std::vector<uint8_t> game = read_file(exe_dir() + "\\game_standin.exe", &ok);
  if (!ok) return 4;
  write_file("quillmoor_recomp.exe", game);
  return 0;
}
