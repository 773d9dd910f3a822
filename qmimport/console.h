// The tool's console: text that shows whatever characters it holds, and Ctrl+C.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

// Writes the UTF-8 `text` to `stream` (stdout or stderr). A Windows console gets it as
// UTF-16, so a Japanese path shows as Japanese whatever the console's code page; a file or
// pipe, and every stream elsewhere, gets the bytes unchanged.
void write_text(FILE* stream, const std::string& text);

// From now on the first Ctrl+C or termination request (SIGINT, SIGTERM; on Windows Ctrl+C
// and Ctrl+Break) sets *flag to 1 instead of ending the program, so an import can stop
// cleanly; a second one ends the program as it would without this.
void cancel_on_interrupt(std::atomic<int>* flag);
