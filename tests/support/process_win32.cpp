// Temporary folders, tree removal and child processes on Windows (and under wine).
#include <windows.h>

#include <cstdlib>

#include "fs.h"
#include "paths.h"
#include "testutil.h"
#include "windows_support.h"

namespace {

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring quote_arg(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      out.append(backslashes * 2 + 1, L'\\');
    else
      out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

HANDLE inheritable_file(const std::wstring& path, bool write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, write ? CREATE_ALWAYS : OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

temp_dir::temp_dir() {
  wchar_t base[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0) std::abort();
  static unsigned counter = 0;
  for (;;) {
    std::string name = "qmtest-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount()) + "-" + std::to_string(++counter);
    std::string p = join_out_path(wide_to_utf8(base).c_str(), name.c_str());
    std::wstring w = utf8_to_wide(p.c_str());
    if (CreateDirectoryW(w.c_str(), nullptr)) {
      path_ = p;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) std::abort();
  }
}

temp_dir::~temp_dir() { remove_tree(path_); }

void remove_tree(const std::string& path) {
  if (path_kind(path.c_str(), nullptr) == PATH_FOLDER) {
    std::vector<std::string> children;
    std::vector<std::string> links;
    list_dir(path.c_str(), [&](const char* name, int is_dir) {
      (is_dir == LIST_FOLDER_LINK ? links : children).push_back(join_out_path(path.c_str(), name));
      return 0;
    });
    for (const std::string& c : children) remove_tree(c);
    // A link goes, never what it leads to (a link to its own folder would never end).
    for (const std::string& l : links) {
      const std::wstring w = utf8_to_wide(l.c_str());
      if (!RemoveDirectoryW(w.c_str())) DeleteFileW(w.c_str());
    }
    RemoveDirectoryW(utf8_to_wide(path.c_str()).c_str());
  } else {
    std::wstring w = utf8_to_wide(path.c_str());
    SetFileAttributesW(w.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(w.c_str());
  }
}

std::string exe_dir() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0) std::abort();
  buf.resize(n);
  return wide_to_utf8(buf.substr(0, buf.find_last_of(L"\\/")).c_str());
}

bool make_link(const std::string& folder, const std::string& name, const std::string& target) {
  const std::string link = join_out_path(folder.c_str(), name.c_str());
  std::wstring w_target = utf8_to_wide(target.c_str());
  for (wchar_t& c : w_target)
    if (c == L'/') c = L'\\';
  if (CreateSymbolicLinkW(utf8_to_wide(link.c_str()).c_str(), w_target.c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY) &&
      path_kind(link.c_str(), nullptr) != PATH_NONE)
    return true;
  std::wstring cmd = L"ln -s " + quote_arg(utf8_to_wide(target.c_str())) + L" " +
                     quote_arg(utf8_to_wide(name.c_str()));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(L"Z:\\bin\\ln", cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      utf8_to_wide(folder.c_str()).c_str(), &si, &pi))
    return false;
  kernel_handle process(pi.hProcess), thread(pi.hThread);
  // Wine hands back a Unix program's handle before the program has run: look for the link.
  for (int i = 0; i < 200; ++i) {
    bool made = false;
    list_dir(folder.c_str(), [&](const char* n, int) {
      made = made || name == n;
      return 0;
    });
    if (made) return true;
    Sleep(25);
  }
  return false;
}

process_output run_process(const std::string& exe, const std::vector<std::string>& args) {
  process_output result;
  temp_dir capture;
  std::wstring out_path = utf8_to_wide((capture / "out").c_str());
  std::wstring err_path = utf8_to_wide((capture / "err").c_str());
  std::wstring cmd = quote_arg(utf8_to_wide(exe.c_str()));
  for (const std::string& a : args)
    cmd += L" " + quote_arg(a.empty() ? L"" : utf8_to_wide(a.c_str()));
  {
    kernel_handle out(inheritable_file(out_path, true)), err(inheritable_file(err_path, true));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
      return result;
    kernel_handle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    result.exit_code = static_cast<int>(code);
  }
  // Console programs write text mode: fold "\r\n" back to "\n" so expectations are shared.
  result.out = fold_crlf(read_text(capture / "out"));
  result.err = fold_crlf(read_text(capture / "err"));
  return result;
}

without_disc_list::without_disc_list() { _putenv_s("QM_TEST_WITHOUT_LIST", "1"); }
without_disc_list::~without_disc_list() { _putenv_s("QM_TEST_WITHOUT_LIST", ""); }
