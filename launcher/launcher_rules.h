// The launcher's decisions that need no window or process: reading the kit and stamp files,
// turning the chosen file into an import source, the skip switch, the progress text and the
// command lines, what a broken game folder's box names and which files beside the launcher may be
// the player's disc. Portable, so they are tested on their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Paths relative to the launcher's folder (its current directory).
inline constexpr char KIT_JSON_PATH[] = "kit\\kit.json";
inline constexpr char BUILD_STAMP_PATH[] = "build\\stamp";
inline constexpr char GAME_XBE_PATH[] = "game\\default.xbe";
// The game program the build kit makes.
inline constexpr char GAME_PROGRAM[] = "quillmoor_recomp.exe";

// Values longer than this count as no version at all.
inline constexpr size_t MAX_VERSION_CHARS = 127;

// The "version" string of kit.json: the text between the first two double quotes after the
// first "\"version\"" within the file's first 4,095 bytes. Empty when the file, the key or
// either quote is missing, or the value has 128 characters or more. No other JSON syntax is
// interpreted: the kit writes this key itself.
std::string kit_version_from_text(std::string_view text);
std::string read_kit_version(const char* kit_json_path);

// The first line of the stamp the build wrote (at most 127 characters, cut at '\r' or '\n').
// Empty when the file is missing.
std::string build_stamp_from_text(std::string_view text);
std::string read_build_stamp(const char* stamp_path);

// 1 when the build must run for a present game program: the kit names a version and the
// stamp is not exactly that version.
int kit_differs_from_stamp(const std::string& kit_version, const std::string& stamp);

// The import source for a file chosen in the open-file dialog: a chosen default.xbe stands
// for the extracted copy around it, so its folder is returned; anything else (an image, or
// a file merely ending in "default.xbe" such as xdefault.xbe) is returned unchanged. A drive
// root keeps its separator: "E:" alone would mean the current folder of drive E.
std::wstring import_source_for_choice(std::wstring chosen);

// 1 when RECOMP_SKIP_XBE_CHECK (null when unset) switches the digest check off: set,
// non-empty, and not starting with '0'.
int xbe_check_skipped(const char* value);

// The progress label's text for `done` of `total` bytes while `path` is copied, while the
// import waits for the disk (path IMPORT_FINISHING), or with a null `path` while a ZIP
// archive is first read through ("Reading the disc...").
std::string progress_label_text(uint64_t done, uint64_t total, const char* path);

// The copy speed over the last few seconds, from (millisecond tick, bytes done) samples:
// the speed of the whole run would lag behind a disc that slows down or speeds up.
class moving_rate {
 public:
  // Samples older than this (measured from the newest) leave the average.
  static constexpr uint32_t WINDOW_MS = 5000;

  // Adds a sample; ticks may wrap (differences are unsigned), and come in the order taken.
  void add(uint32_t tick, uint64_t done);
  // Bytes per second across the window; 0 until two samples lie apart in time.
  double bytes_per_second() const;
  // Milliseconds from the first sample to the newest.
  uint32_t elapsed_ms() const { return count_ ? newest().tick - first_tick_ : 0; }

 private:
  struct sample {
    uint32_t tick;
    uint64_t done;
  };
  // Updates come at most every 100 ms: 64 slots hold more than a window's worth.
  static constexpr size_t SLOTS = 64;
  const sample& at(size_t i) const { return samples_[(head_ + i) % SLOTS]; }
  const sample& newest() const { return at(count_ - 1); }

  std::array<sample, SLOTS> samples_{};
  size_t head_ = 0, count_ = 0;
  uint32_t first_tick_ = 0;
};

// "less than a minute", "1 minute" or "%d minutes" (rounded) for a time left in seconds.
std::string time_left_text(double seconds);

// What the progress label adds after its text once the copy has run for two seconds:
// " - %.0f MB/s, about %s left" with the moving speed and the time the rest takes at that
// speed. Empty before, and while nothing moves (no speed, no estimate).
std::string speed_and_time_left(uint64_t done, uint64_t total, const moving_rate& rate);

// 1 when a progress update is to be shown: 100 ms or more since the last one (tick counts
// wrap, so the difference is unsigned), or the import has reached its total.
int progress_update_due(uint32_t now, uint32_t last_tick, uint64_t done, uint64_t total);

// The retry question's text after an import ended with `status` and `message`.
std::string import_failure_text(int status, const char* message);

// `text` (one of launcher_texts.h) with its first "%s" replaced by `value`, taken as it is: a
// path may hold '%' or "%s" itself.
std::string filled(const char* text, const std::string& value);

// Everything after the program name in a Windows command line, as the program received it:
// the name ends at the closing quote when it starts with one, else at the first space or
// tab; the blanks after it are skipped. Nothing else is touched, so quoting survives.
std::wstring arguments_after_program_name(const wchar_t* command_line);

// The game program's command line: its quoted name, one space, then the arguments.
std::wstring game_command_line(const std::wstring& arguments);

// The command that runs the build in its own console. On failure it keeps the console open
// until a key is pressed, so the player can read what went wrong.
inline constexpr char BUILD_COMMAND_LINE[] =
    "cmd.exe /c \"python\\python.exe -I tools\\rara\\build.py || (echo. & echo Press a key "
    "to close this window. & pause >nul & exit /b 1)\"";

// `name` in `folder`, with one '\\' between them unless the folder ends in a separator (a drive
// root such as "C:\\"); `name` alone when there is no folder. For starting a program by its
// full path: without one, CreateProcess searches the launcher's own folder first.
std::wstring path_in_folder(const std::wstring& folder, const std::wstring& name);

// 1 when `path` is `root` or lies inside it, both full paths compared as Windows compares file
// names: case-insensitive, '/' as '\\', repeated and trailing separators and a \\?\ prefix
// ignored, whole components only ("C:\\OneDrive Backup" is not in "C:\\OneDrive"). An
// empty root holds nothing.
int path_within(std::wstring_view path, std::wstring_view root);

// Attributes a cloud-synced file or folder carries (winnt.h names them FILE_ATTRIBUTE_PINNED,
// FILE_ATTRIBUTE_UNPINNED and FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS; older SDKs lack them).
inline constexpr uint32_t ATTRIBUTE_PINNED = 0x00080000;
inline constexpr uint32_t ATTRIBUTE_UNPINNED = 0x00100000;
inline constexpr uint32_t ATTRIBUTE_RECALL_ON_DATA_ACCESS = 0x00400000;
// What GetFileAttributes returns when it fails: every bit set, so it marks nothing.
inline constexpr uint32_t NO_ATTRIBUTES = 0xFFFFFFFF;

// 1 when the launcher's `folder` (a full path, its `attributes` as the system gives them) is
// synced by OneDrive: it lies within one of `sync_roots` (the OneDrive, OneDriveConsumer and
// OneDriveCommercial variables, empty when unset), or it carries a cloud-file attribute.
int synced_by_onedrive(std::wstring_view folder, uint32_t attributes,
                       const std::vector<std::wstring>& sync_roots);

// The folder part of the program's own path including its last '\\' (so a drive root stays
// "E:\\", not "E:", which would name the drive's current folder); empty when there is none.
std::wstring folder_of_program(const std::wstring& program_path);

// Files a broken game folder's box names, at most; the others are counted.
inline constexpr size_t BROKEN_FILES_NAMED = 5;

// What the box about a broken game folder names.
struct broken_game_files {
  std::vector<std::string> named;  // "missing: media\\logo.bik", at most BROKEN_FILES_NAMED
  uint32_t more = 0;               // the rest
};

// Adds one problem check_game_folder reported (a game_file_problem; `path` with '/' between
// names, empty for the game folder itself): "missing: ", "unreadable: " for a folder that
// cannot be listed or, for a file of another size or digest in any spelling, "damaged: ", with
// the path as Windows writes it. A leftover of an interrupted import and a folder link not
// followed do the game no harm: not added.
void add_broken_file(broken_game_files& files, int problem, const char* path);

// The box's lines: the named files one to a line, then "... and %u more" when there are more.
std::string broken_files_lines(const broken_game_files& files);

// Candidates for the player's disc that the launcher looks at, at most: each is opened and its
// executable hashed, and the player waits meanwhile.
inline constexpr size_t MAX_DISC_CANDIDATES = 16;

// The paths in `folder` (UTF-8) that may hold the player's disc, at most `limit`: image files
// (disc_image_name in import.h; of a split image its first part only) and folders holding a
// top-level default.xbe, in `folder` or in a folder directly in it, nothing deeper; never in
// "game", the import's own output. Names are taken in byte order within each folder, so the same
// folder always gives the same candidates.
std::vector<std::string> disc_candidates(const char* folder, size_t limit);
