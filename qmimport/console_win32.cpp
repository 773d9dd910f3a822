#include <io.h>
#include <windows.h>

#include "console.h"
#include "windows_support.h"

namespace {

std::atomic<int>* interrupt_flag = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // FALSE hands a second press on to the default handler, which ends the process.
  return interrupt_flag->exchange(1) == 0 ? TRUE : FALSE;
}

}  // namespace

void write_text(FILE* stream, const std::string& text) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    // Redirected: the bytes as they are (in the C runtime's text mode, as printf wrote them).
    std::fwrite(text.data(), 1, text.size(), stream);
    return;
  }
  // The C runtime would hand the bytes to the console's code page, which turns UTF-8 into
  // mojibake; WriteConsoleW takes the characters themselves.
  std::fflush(stream);
  std::wstring wide = utf8_to_wide(text.c_str());
  DWORD written = 0;
  WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

void cancel_on_interrupt(std::atomic<int>* flag) {
  interrupt_flag = flag;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
