// OpenQuillmoor: works from its own folder, makes sure the game files are there, has the
// release's build kit build the game program when it is missing or stale, starts it, exits.
#include "launcher.h"

#include <windows.h>

#include <new>
#include <string>

#include "gate.h"
#include "launcher_rules.h"
#include "launcher_texts.h"
#include "win32_util.h"

namespace {

// Makes the launcher's own folder the current one, so "game", "kit" and "build" are found
// beside it whatever folder it was started from. The wide path: the ANSI one turns
// characters outside the code page into '?', and the folder could not be entered.
void enter_own_folder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    if (path.size() >= 32768) return;  // longer than any Windows path: stay where we are
    path.resize(path.size() * 2);
  }
  std::wstring folder = folder_of_program(path);
  if (!folder.empty()) SetCurrentDirectoryW(folder.c_str());
}

// Runs the build in a console of its own and waits for it. Its exit code, or 1 when the
// command cannot be started or its code cannot be read. The command processor is the
// system's, by its full path: named alone, CreateProcess would look in the launcher's folder
// first, and a cmd.exe that landed there (a Downloads folder, where releases are unzipped)
// would run in its place. The command line stays as it always was.
DWORD run_build() {
  wchar_t system[MAX_PATH];
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  const std::wstring cmd = path_in_folder(system, L"cmd.exe");
  std::wstring command = utf8_to_wide(BUILD_COMMAND_LINE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(cmd.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                      nullptr, nullptr, &startup, &process))
    return 1;
  kernel_handle process_handle(process.hProcess), thread_handle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  if (!GetExitCodeProcess(process.hProcess, &code)) code = 1;
  return code;
}

// Starts the game with the launcher's own arguments and does not wait for it: by its full
// path in the launcher's folder, for the same reason as the command processor, with the
// command line it always had. The wide command line: arguments the ANSI code page cannot hold
// would arrive as '?'.
int start_game(const wchar_t* arguments) {
  const std::wstring program = path_in_folder(current_folder(), utf8_to_wide(GAME_PROGRAM));
  std::wstring line = game_command_line(arguments ? arguments : L"");
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    const std::string not_started = filled(NOT_STARTED, GAME_PROGRAM);
    message_box(not_started, LAUNCHER_TITLE, MB_ICONERROR | MB_OK);
    return 1;
  }
  kernel_handle process_handle(process.hProcess), thread_handle(process.hThread);
  return 0;
}

}  // namespace

int launcher_main(const wchar_t* arguments) {
  enter_own_folder();
  if (!ensure_game_files()) return 1;
  bool build =
      !is_plain_file(GAME_PROGRAM) ||
      kit_differs_from_stamp(read_kit_version(KIT_JSON_PATH), read_build_stamp(BUILD_STAMP_PATH));
  if (build) {
    // The build writes the game program and build\ here: a folder we cannot write is said
    // before the player is asked to wait for it.
    if (!ensure_folder_writable()) return 1;
    if (message_box(BUILD_QUESTION, LAUNCHER_TITLE, MB_ICONINFORMATION | MB_OKCANCEL) != IDOK)
      return 1;
    if (!is_plain_file("python\\python.exe") || !is_plain_file("tools\\rara\\build.py")) {
      message_box(INCOMPLETE, LAUNCHER_TITLE, MB_ICONERROR | MB_OK);
      return 1;
    }
    if (run_build() != 0 || !is_plain_file(GAME_PROGRAM)) {
      message_box(NOT_BUILT, LAUNCHER_TITLE, MB_ICONWARNING | MB_OK);
      return 1;
    }
  }
  return start_game(arguments);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The wide command line: the ANSI one has already lost what the code page cannot hold.
  try {
    return launcher_main(arguments_after_program_name(GetCommandLineW()).c_str());
  } catch (const std::bad_alloc&) {
    return 1;
  }
}
