// Stand-in for the built game program: a window-less GUI program (no console, like the
// real one) that records how it was started in "game_log.txt" beside itself.
#include <windows.h>

#include "fs.h"
#include "standin.h"
#include "testutil.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  write_file(exe_dir() + "\\game_log.txt",
             "command " + wide_to_utf8(GetCommandLineW()) + "\nfolder " + current_folder() + "\n");
  return 0;
}
