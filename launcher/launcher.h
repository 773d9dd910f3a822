// The launcher's entry: game files first, then the build, then the game.
#pragma once

// The whole launcher; `arguments` is its command line without the program name, handed on
// to the game. Returns the exit code: 0 when the game was started, 1 otherwise.
int launcher_main(const wchar_t* arguments);
