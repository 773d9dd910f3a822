// The shipped OpenQuillmoor.exe as a file: a GUI program that needs no DLL beyond the
// system's, with its manifest and version resource; and the tool's manifest.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testutil.h"
#include "windows_support.h"

namespace {

// The shipped programs: from the unpacked release zip when QM_PACKAGE_DIR names it
// (scripts/check), else the release build, two folders up from this test program.
std::string shipped(const char* name, const char* build_folder) {
  const char* package = std::getenv("QM_PACKAGE_DIR");
  if (package) return std::string(package) + "\\" + name;
  return exe_dir() + "\\..\\..\\" + build_folder + "\\" + name;
}
std::string shipped_launcher() { return shipped("OpenQuillmoor.exe", "launcher"); }
std::string shipped_tool() { return shipped("qmimport.exe", "qmimport"); }

class mapped_image {
 public:
  explicit mapped_image(const std::string& path)
      : module_(LoadLibraryExW(utf8_to_wide(path.c_str()).c_str(), nullptr,
                               LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE)) {}
  HMODULE module() const { return module_.get(); }
  // Mapped as an image: relative addresses are offsets from the base (flag bits masked off).
  const uint8_t* base() const {
    return reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(module_.get()) &
                                            ~uintptr_t{3});
  }
  const IMAGE_NT_HEADERS64* nt() const {
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base());
    return reinterpret_cast<const IMAGE_NT_HEADERS64*>(base() + dos->e_lfanew);
  }

 private:
  module_handle module_;
};

std::string resource_text(HMODULE module, LPCWSTR name, LPCWSTR type) {
  HRSRC info = FindResourceW(module, name, type);
  if (!info) return {};
  HGLOBAL data = LoadResource(module, info);
  return data ? std::string(static_cast<const char*>(LockResource(data)),
                            SizeofResource(module, info))
              : std::string();
}

// The project's version, in the version resource's numbers and in the manifest.
void expect_project_version(const mapped_image& image, const std::string& manifest,
                            const char* name) {
  std::string version = resource_text(image.module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
  const DWORD signature = 0xFEEF04BD;
  size_t at = version.find(std::string(reinterpret_cast<const char*>(&signature), 4));
  ASSERT_NE(at, std::string::npos) << name;
  ASSERT_LE(at + sizeof(VS_FIXEDFILEINFO), version.size());
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, version.data() + at, sizeof fixed);
  std::string numbers = std::to_string(HIWORD(fixed.dwFileVersionMS)) + "." +
                        std::to_string(LOWORD(fixed.dwFileVersionMS)) + "." +
                        std::to_string(HIWORD(fixed.dwFileVersionLS));
  EXPECT_EQ(numbers, QM_PROJECT_VERSION) << name;
  EXPECT_EQ(LOWORD(fixed.dwFileVersionLS), 0) << name;
  const std::string identity =
      std::string("name=\"") + name + "\" version=\"" + QM_PROJECT_VERSION + ".0\"";
  EXPECT_NE(manifest.find(identity), std::string::npos) << identity;
}

TEST(LauncherPackage, GuiProgramWithSystemDllsOnly) {
  mapped_image image(shipped_launcher());
  ASSERT_TRUE(image.module()) << shipped_launcher();
  const IMAGE_NT_HEADERS64* nt = image.nt();
  ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);  // no console window

  const std::vector<std::string> system = {"kernel32.dll", "user32.dll",   "comdlg32.dll",
                                           "comctl32.dll", "shell32.dll",  "gdi32.dll",
                                           "ole32.dll",    "advapi32.dll", "msvcrt.dll"};
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  std::vector<std::string> imported;
  for (auto d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.base() + dir.VirtualAddress);
       d->Name; ++d) {
    std::string name = reinterpret_cast<const char*>(image.base() + d->Name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    imported.push_back(name);
    bool ucrt = name.rfind("api-ms-win-crt-", 0) == 0;
    EXPECT_TRUE(ucrt || std::find(system.begin(), system.end(), name) != system.end()) << name;
  }
  EXPECT_NE(std::find(imported.begin(), imported.end(), "comdlg32.dll"), imported.end());
}

TEST(LauncherPackage, ManifestAndVersion) {
  mapped_image image(shipped_launcher());
  ASSERT_TRUE(image.module()) << shipped_launcher();
  std::string manifest = resource_text(image.module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  for (const char* part :
       {"<longPathAware "
        "xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>",
        "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // Windows 10 and 11
        "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",  // Windows 7
        // Per-monitor DPI: PerMonitorV2, and the older entry where that one is not known.
        "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
        "PerMonitorV2",
        "<dpiAware "
        "xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>",
        // Version 6 of the common controls: the themed progress bar.
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "level=\"asInvoker\""})
    EXPECT_NE(manifest.find(part), std::string::npos) << part;

  std::string version = resource_text(image.module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
  ASSERT_GT(version.size(), sizeof(VS_FIXEDFILEINFO));
  std::wstring text(reinterpret_cast<const wchar_t*>(version.data()),
                    version.size() / sizeof(wchar_t));
  EXPECT_NE(text.find(L"OriginalFilename"), std::wstring::npos);
  EXPECT_NE(text.find(L"OpenQuillmoor.exe"), std::wstring::npos);
  EXPECT_NE(text.find(L"FileVersion"), std::wstring::npos);
  expect_project_version(image, manifest, "OpenQuillmoor");
}

// The shipped tool asks for long paths too (game folders nest deep), and carries the version.
TEST(ToolPackage, LongPathAwareManifest) {
  const std::string tool = shipped_tool();
  mapped_image image(tool);
  ASSERT_TRUE(image.module()) << tool;
  std::string manifest = resource_text(image.module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  EXPECT_NE(manifest.find("<longPathAware "
                          "xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true"
                          "</longPathAware>"),
            std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  expect_project_version(image, manifest, "qmimport");
}

}  // namespace
