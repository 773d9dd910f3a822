// Text, path and file-system helpers. All text is UTF-8; on Windows every path is converted
// to UTF-16 at the system call, so names with any characters survive an import.
//
// Strings are returned as std::string: an empty string means failure (a failed conversion,
// or nothing to return), never a valid result. Acting helpers return 0 or -1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

// The separator of output paths: '\\' on Windows, '/' elsewhere.
extern const char OUTPUT_SEPARATOR;

struct file_closer {
  void operator()(FILE* f) const { std::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

// Opens `path` (UTF-8) with the C runtime `mode` ("rb", "wb"). Null on failure.
FILE* open_utf8(const char* path, const char* mode);

// The largest write the copier makes of bytes that passed through its buffer (decoded
// sectors, a ZIP's inflated image). Linux gives a write page-cache memory in blocks as large as
// the write allows, and on a virtual machine large free blocks are what the guest hands back to
// its host: writing into them again then waits on the host for every page. Written 4 MiB at a
// time, a CCI import took 1.4 to 3.8 s on the build machine; 64 KiB at a time, 1.2 s each time
// (the same disc as an XISO: 1.0 s). Unlimited elsewhere.
extern const size_t WRITE_PIECE;

// Opens the regular file at `path` (UTF-8) for unbuffered binary reading, its size in *size
// (may be null). Null when it is anything else (opening a pipe could wait for ever) or
// cannot be opened.
FILE* open_regular_file(const char* path, uint64_t* size);

// Whether files can be opened and read ahead of their copy on another thread: on Linux. On
// Windows the system has no request to start reading a file by name.
extern const bool CAN_READ_AHEAD;

// Opens the regular file at `path` as open_regular_file does, for a copy that comes soon.
// With `read_now`, also asks the system to start reading it into memory without waiting for
// it (posix_fadvise WILLNEED): *in_memory is then true when its start was in memory already,
// so nothing was asked. Null where CAN_READ_AHEAD is false.
FILE* open_to_read_soon(const char* path, bool read_now, bool* in_memory);

// The current size of the open file `f`. 0 or -1.
int open_file_size(FILE* f, uint64_t* size);

// Creates `path` as a new file open for binary writing ("wb"), after removing whatever file or
// link held the name: never follows a link planted there, and fails rather than open a file
// that appeared under the name meanwhile. Null on failure.
FILE* create_new_utf8(const char* path);

// Called once all of a file's bytes, `size` in all, are written to `f`. On Linux it starts their
// writeback without waiting for it (sync_file_range), so that the flush later finds the work done;
// on Windows it makes them durable (FlushFileBuffers); other POSIX systems leave all of it to
// sync_path. 0 or -1.
int flush_written_file(FILE* f, uint64_t size);

// Waits until the file or folder at `path` (written and closed; for a folder, the entries
// made in it) is on stable storage: an fdatasync of the file, an fsync of the folder, on
// POSIX. These reach every file system, FUSE ones too, where a syncfs or a sync reaches nothing
// (the daemon only hears of a flush through a file or folder), but each one waits for the
// disk on its own: where sync_volume reaches, one flush of the whole volume is cheaper. Nothing
// on Windows, where flush_written_file flushed each file and renames are written through.
// 0 or -1.
int sync_path(const char* path);

// For `path` on a file system that one sync_volume makes durable as a whole (not FUSE: its
// statfs type 0x65735546), 1 and the volume's identity in *volume; else 0, and each file
// wants sync_path. Always 0 on systems without syncfs.
int volume_sync_reaches(const char* path, uint64_t* volume);

// Makes everything written to the file system holding `path` durable: syncfs on Linux. 0 or
// -1.
int sync_volume(const char* path);

// Positions `f` at the absolute byte `offset` (64-bit). 0 or -1.
int seek_to(FILE* f, uint64_t offset);

// Copies up to `length` bytes from `in` at byte `in_offset` to `out` (an unbuffered stream
// with nothing pending, positioned at byte `out_offset`: the caller knows where, which spares
// asking), inside the kernel where the system can (copy_file_range on Linux): no trip through
// user memory, as `cp` does. Returns the bytes copied, which may be short; 0 when nothing
// could be copied this way, for any reason (unsupported, end of the source, an error): the
// caller then falls back to reading and writing, which also finds out what went wrong.
uint64_t copy_in_kernel(FILE* in, uint64_t in_offset, FILE* out, uint64_t out_offset,
                        uint64_t length);

// Tells the system that `f` will be read once from start to end, so that it reads further
// ahead (twice as far on Linux, as `cp` asks for). Only a hint: nothing fails without it.
void expect_sequential_read(FILE* f);

enum path_type : int {
  PATH_NONE = 0,    // does not exist or cannot be queried
  PATH_FILE = 1,    // a regular file
  PATH_FOLDER = 2,  // a folder
  PATH_OTHER = 3,   // exists but is neither: a pipe, a socket, a device (POSIX only)
};

// What `path` names. When not PATH_NONE and `size_out` is non-null, stores the 64-bit size
// (0 for anything but a file). Links are followed: the kind and size are the target's.
path_type path_kind(const char* path, uint64_t* size_out);

// What a regular file takes on its volume: the bytes allocated to it (a sparse file's holes
// take none) and how many names link to it.
struct file_space {
  uint64_t allocated = 0;
  uint64_t links = 0;
};

// The space of the regular file named `path`, a link there not followed: replacing the name
// replaces the link, not its target. 0, or -1 when `path` is not a regular file or cannot be
// queried.
int file_space_of(const char* path, file_space* out);

// Creates one folder; 0 if created or already a folder, else -1.
int make_dir(const char* path);

// Deletes a file. 0 or -1.
int unlink_utf8(const char* path);

// Moves `from` over `to`, replacing an existing `to` (same volume only). 0 or -1.
int rename_replace(const char* from, const char* to);

// rename_replace, durable when it returns 0: MOVEFILE_WRITE_THROUGH on Windows, an fsync of
// the folder of `to` on POSIX. A move that cannot be made durable is undone by removing `to`,
// so a half-flushed name is never left behind. 0 or -1.
int rename_replace_durable(const char* from, const char* to);

// 1 if `path` is a link (symbolic link, junction) whose target cannot be reached, else 0.
int is_broken_link(const char* path);

// What a file or folder is, whatever the path that reaches it: device and inode on POSIX,
// volume serial number and file index on Windows.
struct file_identity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const file_identity&) const = default;
  bool operator<(const file_identity& o) const {
    return volume != o.volume ? volume < o.volume : index < o.index;
  }
};

// The identity of what `path` names, links followed. 0 or -1.
int identity_of(const char* path, file_identity* out);

// When the file at `path` was last written, in the system's own units (nanoseconds since
// 1970 on POSIX, 100-nanosecond ticks since 1601 on Windows): only ever compared with another
// reading of the same file. 0 or -1.
int last_write_of(const char* path, uint64_t* stamp);

// Bytes available to this user on the volume of `path` (a folder that exists). 0, or -1 when
// that cannot be learnt, which includes a file system that reports no blocks at all.
int free_space(const char* path, uint64_t* bytes_out);

// An exclusive lock on a file, for one writer at a time: held until unlock() or destruction,
// which also remove the file; released by the system if the process dies.
class file_lock {
 public:
  file_lock() = default;
  ~file_lock() { unlock(); }
  file_lock(const file_lock&) = delete;
  file_lock& operator=(const file_lock&) = delete;
  // Locks `path`, creating it if missing (a link there is not followed): 0 once locked,
  // 1 when another holder has the lock, -1 when the file cannot be opened.
  int lock(const char* path);
  void unlock();

 private:
  std::string path_;
  intptr_t handle_ = -1;  // a file descriptor on POSIX, a HANDLE on Windows
};

// Absolute form of `path` (need not exist), without trailing separators unless it is a root.
std::string full_path_utf8(const char* path);

// Calls `fn(name, is_dir)` for every entry of the folder `dir` except "." and ".." in the
// order the file system returns them, stopping at the first non-zero return, which is
// passed up. `is_dir` is 0 for anything but a folder, 1 for a folder and LIST_FOLDER_LINK for
// a link to one (a symbolic link, a junction): non-zero either way, for walks that follow
// links. Names that cannot be converted to UTF-8 are skipped. Returns LIST_DIR_FAILED
// (positive, so never mistaken for a status of `fn`) when the folder cannot be listed, also
// when the listing stops with an error part-way.
template <typename Fn>
int list_dir(const char* dir, Fn&& fn);

constexpr int LIST_DIR_FAILED = 1;
constexpr int LIST_FOLDER_LINK = 2;

// --- platform implementation detail of list_dir ------------------------------------------
using dir_callback = int (*)(void* state, const char* name, int is_dir);
int list_dir_raw(const char* dir, dir_callback cb, void* state);

template <typename Fn>
int list_dir(const char* dir, Fn&& fn) {
  return list_dir_raw(
      dir,
      [](void* state, const char* name, int is_dir) {
        return (*static_cast<std::remove_reference_t<Fn>*>(state))(name, is_dir);
      },
      &fn);
}
