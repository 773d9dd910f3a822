#include "arguments.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "windows_support.h"

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int wargc = 0;
  scoped_handle<local_memory_traits<LPWSTR>> wargv(CommandLineToArgvW(GetCommandLineW(), &wargc));
  if (!wargv) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(wargc));
  for (int i = 0; i < wargc; ++i) args.push_back(wide_to_utf8(wargv.get()[i]));
  return args;
}
