// Stand-in for cmd.exe, put where the system's command processor lives for the flows.
// Wine 8's own cmd.exe runs the right side of "a || b" whatever a returned, so it cannot
// tell a failed build from a good one. This one records which file ran and the exact command
// line it got in "cmd_log.txt", runs the left side of "||" and, when that fails, reports the
// right side (the keep-the-console-open tail, which would wait for a key) instead of running
// it.
#include <windows.h>

#include <string>

#include "fs.h"
#include "standin.h"

int main() {
  wchar_t program[32768];
  DWORD n = GetModuleFileNameW(nullptr, program, 32768);
  append_log("cmd_log.txt", "program " + (n && n < 32768 ? wide_to_utf8(program) : std::string()));
  std::wstring line = GetCommandLineW();
  append_log("cmd_log.txt", "command " + wide_to_utf8(line.c_str()));
  const std::wstring marker = L" /c \"";
  size_t at = line.find(marker);
  if (at == std::wstring::npos || line.back() != L'"') return 90;
  std::wstring inner = line.substr(at + marker.size(), line.size() - at - marker.size() - 1);
  size_t bar = inner.find(L" || ");
  std::wstring left = bar == std::wstring::npos ? inner : inner.substr(0, bar);
  DWORD code = run_and_wait(left);
  append_log("cmd_log.txt", "left exit " + std::to_string(code));
  if (code != 0 && bar != std::wstring::npos) {
    append_log("cmd_log.txt", "right side " + wide_to_utf8(inner.substr(bar + 4).c_str()));
    return 1;
  }
  return static_cast<int>(code);
}
