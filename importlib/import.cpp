// The import driver: checks, listing, the verified copy of default.xbe, everything else,
// and the final verification on disk.
#include "import.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "copier.h"
#include "entries.h"
#include "finisher.h"
#include "folder_source.h"
#include "format_hint.h"
#include "fs.h"
#include "image_reader.h"
#include "manifest.h"
#include "paths.h"
#include "plan.h"
#include "read_ahead.h"
#include "sha256.h"
#include "split_names.h"
#include "xbe_file.h"
#include "xdvdfs.h"

namespace {

// Formats the failure explanation into result->message (cut at 767 bytes).
#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 2, 3)))
#endif
void set_import_error(import_result* result, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(result->message, sizeof result->message, format, args);
  va_end(args);
}

// The folder whose volume the output lands on: the output (`full`, its absolute path) or its
// nearest existing ancestor; empty when there is none.
std::string nearest_existing_folder(const std::string& full) {
  std::string p = full;
  while (!p.empty() && path_kind(p.c_str(), nullptr) != PATH_FOLDER) {
    const size_t cut = p.find_last_of("/\\");
    if (cut == std::string::npos) return {};
    // A root keeps its separator: C:\ and /.
    std::string up = p.substr(0, cut == 0 || (cut == 2 && p[1] == ':') ? cut + 1 : cut);
    if (up == p) return {};
    p = std::move(up);
  }
  return p;
}

// Refuses an import the output's volume cannot hold, before anything is written (a full disk
// found half-way leaves the player a half-written folder and a long wait). What the import
// adds at its fullest: every file's size less what the file it replaces frees, and the largest
// file once more, whose ".part" stands beside the old file until the rename. An old file frees
// the blocks allocated to it, not its size: a sparse one only the blocks it holds, one with
// another name nothing (counted by their size, such files let an import past this check that
// then filled the disk half-way). The old default.xbe is replaced only at the very end, so it
// frees nothing meanwhile. Where the free space cannot be learnt, the write errors still tell.
// `full` is the output's absolute path, `volume` its nearest existing folder.
int check_free_space(const std::vector<import_entry>& entries, size_t xbe_index, const char* out,
                     const std::string& full, const std::string& volume, std::string* message) {
  uint64_t free_bytes = 0;
  if (volume.empty() || free_space(volume.c_str(), &free_bytes) != 0) return IMPORT_OK;
  // An output folder still to be made holds no old file: no need to look for each.
  const bool fresh = volume != full;
  uint64_t needed = 0, largest = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const import_entry& e = entries[i];
    if (e.is_dir) continue;
    file_space old;
    if (fresh || i == xbe_index ||
        file_space_of(join_out_path(out, e.rel_path.c_str()).c_str(), &old) != 0 || old.links != 1)
      old.allocated = 0;
    needed += e.size > old.allocated ? e.size - old.allocated : 0;
    largest = std::max(largest, e.size);
  }
  needed += largest;
  if (needed <= free_bytes) return IMPORT_OK;
  set_error(message, "not enough free space in %s: the import needs %.1f MB more, %.1f MB are free",
            out, static_cast<double>(needed) / 1048576.0,
            static_cast<double>(free_bytes) / 1048576.0);
  return IMPORT_ERR_OUTPUT_IO;
}

// `text` into `out` (`size` bytes), cut between UTF-8 sequences when it does not fit.
void copy_whole_characters(char* out, size_t size, const std::string& text) {
  size_t n = text.size() < size ? text.size() : size - 1;
  if (n < text.size())
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// Opens the disc image at `source` into ctx->image, records its form in the result and lists
// its volume. A ZIP archive's first reading reports to the job's progress (with a null path)
// and stops at its cancel flag. *has_default_xex tells whether its top level holds an Xbox
// 360 executable.
int list_image(import_context* ctx, copy_job* job, const char* source, import_result* result,
               bool* has_default_xex) {
  image_open_options options;
  options.cancel = job->cancel;
  if (job->progress) {
    options.user = job;
    options.progress = [](uint64_t done, uint64_t total, void* user) {
      const copy_job* j = static_cast<const copy_job*>(user);
      j->progress(done, total, nullptr, j->user);
    };
  }
  std::string message;
  const int status = open_image_reader(source, &ctx->image, &message, options);
  if (status != IMPORT_OK) {
    if (!message.empty()) ctx->notes.message = message;
    return status;
  }
  result->image_parts = static_cast<uint32_t>(ctx->image->part_count());
  std::snprintf(result->image_format, sizeof result->image_format, "%s", ctx->image->format());
  copy_whole_characters(result->image_entry, sizeof result->image_entry, ctx->image->entry_name());
  // Players pick the wrong part of a split image: no volume starts there.
  std::string hint = first_part_of(source);
  if (!hint.empty()) hint = "This is a later part of a split image: choose " + hint + " instead.";
  return xdvdfs_list(ctx, *ctx->image, source, hint, has_default_xex);
}

// Lines naming files in a failure message: at most 10, fewer where long paths would not leave
// room for the message's last line (`reserve` bytes), and then "  ... and N more".
std::string file_lines(const std::vector<std::string>& lines, size_t head, size_t reserve) {
  constexpr size_t MAX_LINES = 10;
  const size_t room = sizeof(import_result::message) - 1;
  std::string out;
  size_t shown = 0;
  for (; shown < lines.size() && shown < MAX_LINES; ++shown) {
    const size_t rest = lines.size() - shown - 1;
    const size_t tail = rest ? 32 : 0;  // "  ... and 4294967295 more\n"
    if (head + out.size() + lines[shown].size() + 1 + tail + reserve > room) break;
    out += lines[shown];
    out += '\n';
  }
  if (shown < lines.size()) out += "  ... and " + std::to_string(lines.size() - shown) + " more\n";
  return out;
}

// One import's writing, shared by its steps. Declared in the order of release: the finisher's
// threads end before the executable's ".part" is deleted, and the lock goes last.
struct writer {
  import_context* ctx;
  import_result* result;
  copy_job* job;
  const char* out;
  import_plan plan;
  file_lock lock;
  std::string xbe_target;
  part_file_guard xbe_part;
  // The folders whose entries the import creates: the output's, those of the folders it makes
  // up to the nearest one that exists, and every folder of the listing.
  std::vector<std::string> touched_folders;
  finisher finish;
};

// Lists the source into ctx->entries. *has_default_xex tells whether an image's top level
// holds an Xbox 360 executable.
int list_source(import_context* ctx, copy_job* job, const char* source, import_result* result,
                bool* has_default_xex) {
  const int status = path_kind(source, nullptr) == PATH_FOLDER
                         ? folder_list(ctx, source)
                         : list_image(ctx, job, source, result, has_default_xex);
  return status == IMPORT_OK ? refuse_case_twins(ctx) : status;
}

// Checks the output's room, makes the output folder and takes its lock, before any file.
int prepare_output(writer& w) {
  std::string* why = &w.ctx->notes.message;
  const std::string full = full_path_utf8(w.out);
  const std::string existing = nearest_existing_folder(full);
  int status = check_free_space(w.plan.entries, w.plan.xbe, w.out, full, existing, why);
  if (status != IMPORT_OK) return status;
  for (std::string p = full; !p.empty() && p != existing;) {
    w.touched_folders.push_back(p);
    const size_t cut = p.find_last_of("/\\");
    if (cut == std::string::npos || cut == 0) break;
    p = p.substr(0, cut);
  }
  if (!existing.empty()) w.touched_folders.push_back(existing);
  if (make_dirs(w.out) != 0) {
    set_error(why, "cannot create output folder %s", w.out);
    return IMPORT_ERR_OUTPUT_IO;
  }
  // Held until every file is in place: two imports into one folder would share the ".part"
  // names, and with bad timing one would report success with a file the other truncated.
  const std::string lock_path = join_out_path(w.out, IMPORT_LOCK_NAME);
  const int locked = w.lock.lock(lock_path.c_str());
  if (locked == 1) {
    set_error(why, "another import is writing into %s", w.out);
    return IMPORT_ERR_OUTPUT_IO;
  }
  if (locked != 0) {
    set_error(why, "cannot create %s", lock_path.c_str());
    return IMPORT_ERR_OUTPUT_IO;
  }
  w.job->buffer.reset(new (std::nothrow) uint8_t[COPY_CHUNK]);
  if (!w.job->buffer) return IMPORT_ERR_NO_MEMORY;
  w.xbe_target = join_out_path(w.out, "default.xbe");
  return IMPORT_OK;
}

// default.xbe first, hashed on the way; it stays a ".part" file until every other file is
// written, so an import that fails part-way never leaves a game folder that looks complete.
// Only once it has shown that this is the supported build at all are the source's missing and
// short files said.
int write_executable(writer& w) {
  import_result* result = w.result;
  std::string* why = &w.ctx->notes.message;
  const import_entry& xbe = w.plan.entries[w.plan.xbe];
  sha256_ctx hash;
  sha256_init(&hash);
  std::string part_path;
  int status = copy_entry(xbe, w.ctx->image.get(), w.xbe_target.c_str(), w.job, why, &hash,
                          PART_KEEP, &part_path);
  if (status != IMPORT_OK) return status;
  w.xbe_part = std::move(part_path);
  uint8_t digest[32];
  sha256_final(&hash, digest);
  digest_to_hex(digest, result->xbe_sha_hex);
  if (std::strcmp(result->xbe_sha_hex, SUPPORTED_XBE_SHA256) != 0) {
    // A genuine disc that went through the common XISO tool carries its media patch: read
    // the ".part" again, and if undoing the patch gives the supported digest, write the
    // retail bytes back and go on. The read-back after the last rename proves the result.
    uint32_t places = 0;
    if (xbe_undo_media_patch(w.xbe_part.path().c_str(), &places) == 1) {
      result->xbe_media_patch_undone = places;
      std::memcpy(result->xbe_sha_hex, SUPPORTED_XBE_SHA256, sizeof result->xbe_sha_hex);
    } else {
      const std::string what = xbe_describe_file(w.xbe_part.path().c_str());
      w.xbe_part.discard();
      set_error(why,
                "default.xbe is not the supported Quillmoor build.\n"
                "  got      %s\n"
                "  expected %s\n"
                "No game files were written and nothing in the output folder was "
                "removed.\n"
                "Use an unmodified dump of the retail Quillmoor disc.%s%s",
                result->xbe_sha_hex, SUPPORTED_XBE_SHA256, what.empty() ? "" : "\n", what.c_str());
      return IMPORT_ERR_WRONG_BUILD;
    }
  }
  const import_plan& plan = w.plan;
  if (!plan.problems.empty()) {
    w.xbe_part.discard();
    const std::string head =
        "the source is not a complete copy of the Quillmoor disc: " + std::to_string(plan.missing) +
        " file(s) missing, " + std::to_string(plan.wrong_size) + " of the wrong size\n";
    const char last[] =
        "Copy the disc again (an FTP copy can cut files short or skip them), or import its disc "
        "image instead.";
    set_error(why, "%s%s%s", head.c_str(),
              file_lines(plan.problems, head.size(), sizeof last).c_str(), last);
    return IMPORT_ERR_DAMAGED;
  }
  result->files_copied = 1;
  result->bytes_copied = xbe.size;
  // default.xbe matched the digest, which is its line's.
  result->files_verified = w.job->checked_by_list ? 1 : 0;
  w.finish.start(w.job->cancel, w.out);
  w.finish.add(w.xbe_part.path(), xbe.rel_path, xbe.size, nullptr);
  return IMPORT_OK;
}

// Every other entry in the plan's order, each file handed to the finisher once written.
int write_files(writer& w) {
  import_result* result = w.result;
  std::string* why = &w.ctx->notes.message;
  const import_plan& plan = w.plan;
  // A folder's files are opened, and its small ones read into memory, a little ahead of the
  // copy.
  read_ahead ahead;
  {
    std::vector<const char*> paths(plan.order.size());
    std::vector<uint64_t> sizes(plan.order.size());
    for (size_t k = 0; k < plan.order.size(); ++k) {
      const import_entry& e = plan.entries[plan.order[k]];
      paths[k] = e.source_path.empty() ? nullptr : e.source_path.c_str();
      sizes[k] = e.size;
    }
    ahead.start(std::move(paths), sizes);
  }
  int status;
  for (size_t k = 0; k < plan.order.size(); ++k) {
    unique_file opened(ahead.at(k));
    if ((status = check_cancel(w.job, why)) != IMPORT_OK) return status;
    const import_entry& e = plan.entries[plan.order[k]];
    const std::string target = join_out_path(w.out, e.rel_path.c_str());
    if (e.is_dir) {
      if (make_dir(target.c_str()) != 0) {
        set_error(why, "cannot create folder %s", target.c_str());
        return IMPORT_ERR_OUTPUT_IO;
      }
      w.touched_folders.push_back(target);
      ++result->folders_created;
      continue;
    }
    status = copy_entry(e, w.ctx->image.get(), target.c_str(), w.job, why, nullptr, PART_RENAME,
                        nullptr, opened.release());
    if (status != IMPORT_OK) return status;
    w.finish.add(target, e.rel_path, e.size, plan.expected[plan.order[k]]);
    ++result->files_copied;
    result->bytes_copied += e.size;
  }
  return IMPORT_OK;
}

// default.xbe under its name tells the launcher the folder is complete: after a power cut
// that must still be true, so every file written is on the disk, on whatever file system
// holds it, before it takes its name, and every name the import made is too before it
// reports success. The finishing thread has been at it since the first file; on a slow
// stick this wait is where the time goes, so it is shown, and a cancel still counts.
int finish_import(writer& w) {
  import_result* result = w.result;
  std::string* why = &w.ctx->notes.message;
  copy_job* job = w.job;
  if (job->progress) job->progress(job->done, job->total, IMPORT_FINISHING, job->user);
  // While the finishing thread still hashes the last files, what is written so far goes to
  // the output's disk: the flush at the end then finds little left.
  w.finish.add_folders(w.touched_folders);
  std::vector<std::string> damaged;
  uint32_t verified = 0;
  int status = w.finish.complete(&damaged, &verified, why);
  if (status == IMPORT_ERR_CANCELLED) status = check_cancel(job, why);
  if (status != IMPORT_OK) return status;
  result->files_verified += verified;
  if (!damaged.empty()) {
    std::sort(damaged.begin(), damaged.end());
    for (std::string& d : damaged) d = "  damaged   " + d;
    const std::string head =
        std::to_string(damaged.size()) +
        " file(s) differ from the retail disc (unreadable sectors copied as zeros, or a "
        "modified copy):\n";
    const char last[] = "Copy the disc again or use another dump.";
    set_error(why, "%s%s%s", head.c_str(), file_lines(damaged, head.size(), sizeof last).c_str(),
              last);
    return IMPORT_ERR_DAMAGED;
  }
  // A cancel that came with the last chunk still keeps the executable from its name.
  if ((status = check_cancel(job, why)) != IMPORT_OK) return status;
  // A part of the image that grew or shrank meanwhile (still being copied from the console,
  // say) may have given some files bytes of another version of it.
  std::string changed;
  if (w.ctx->image && w.ctx->image->check_unchanged(&changed) != IMPORT_OK) {
    set_error(why, "%s", changed.c_str());
    return IMPORT_ERR_SOURCE_IO;
  }
  if ((status = check_cancel(job, why)) != IMPORT_OK) return status;
  const char* part = w.xbe_part.path().c_str();
  if (rename_replace_durable(part, w.xbe_target.c_str()) != 0) {
    set_error(why, "cannot rename %s to %s", part, w.xbe_target.c_str());
    return IMPORT_ERR_OUTPUT_IO;  // the guard deletes the ".part"
  }
  w.xbe_part.release();
  uint8_t digest[32];
  char hex[65] = "";
  if (sha256_file(w.xbe_target.c_str(), digest) == 0) digest_to_hex(digest, hex);
  if (std::strcmp(hex, SUPPORTED_XBE_SHA256) != 0) {
    result->xbe_sha_ok = 0;
    set_error(why, "default.xbe on disk does not verify after copying (disk error?)");
    return IMPORT_ERR_WRONG_BUILD;
  }
  result->xbe_sha_ok = 1;
  return IMPORT_OK;
}

// Steps after the first checks: list, plan, then write the executable, the other files and the
// finish. `ctx`, `job` and every file they hold are released by their owners in import_game
// whatever happens here.
int import_into(import_context* ctx, copy_job* job, const char* source, const char* out,
                import_result* result) {
  bool has_default_xex = false;
  int status = list_source(ctx, job, source, result, &has_default_xex);
  if (status != IMPORT_OK) return status;
  // With the disc's list, every file is checked against it: what is missing or cut short is
  // known now, and said once default.xbe has shown that this is the supported build at all.
  const manifest_list list = disc_manifest();
  writer w{ctx, result, job, out, plan_import(std::move(ctx->entries), list), {}, {}, {}, {}, {}};
  job->checked_by_list = list.count > 0;
  job->total = w.plan.total;
  result->extra_files_skipped = w.plan.extras;
  std::snprintf(result->extra_files_named, sizeof result->extra_files_named, "%s",
                w.plan.extras_named.c_str());
  if (!w.plan.have_xbe) {
    set_error(&ctx->notes.message,
              "no default.xbe found in %s - is this a Quillmoor disc or game folder?%s%s", source,
              has_default_xex ? "\n" : "", has_default_xex ? XBOX_360_DISC_LINE : "");
    return IMPORT_ERR_NO_XBE;
  }
  if ((status = prepare_output(w)) != IMPORT_OK) return status;
  if ((status = write_executable(w)) != IMPORT_OK) return status;
  if ((status = write_files(w)) != IMPORT_OK) return status;
  return finish_import(w);
}

}  // namespace

int is_supported_disc(const char* path, const std::atomic<int>* cancel) {
  try {
    if (!path) return 0;
    if (path_kind(path, nullptr) == PATH_FOLDER) {
      std::string xbe;
      list_dir(path, [&](const char* name, int is_dir) {
        if (is_dir || !equals_nocase(name, "default.xbe")) return 0;
        xbe = join_out_path(path, name);
        return 1;
      });
      return !xbe.empty() && judge_xbe(xbe.c_str()) != XBE_OTHER;
    }
    std::unique_ptr<image_reader> image;
    std::string message;
    uint64_t at = 0, size = 0;
    image_open_options options;
    options.cancel = cancel;
    if (open_image_reader(path, &image, &message, options) != IMPORT_OK ||
        xdvdfs_find_executable(*image, &at, &size) != IMPORT_OK)
      return 0;
    return judge_xbe_range(*image, at, size) != XBE_OTHER;
  } catch (...) {
    return 0;  // out of memory: not known to be the game
  }
}

int import_game(const char* source, const char* out, progress_fn progress, void* user,
                import_result* result) {
  return import_game_cancellable(source, out, progress, user, result, nullptr);
}

int import_game_cancellable(const char* source, const char* out, progress_fn progress, void* user,
                            import_result* result, const std::atomic<int>* cancel) {
  import_result private_result;
  if (!result) result = &private_result;
  std::memset(result, 0, sizeof *result);
  try {
    if (!source || !*source) {
      set_import_error(result, "no source given");
      return IMPORT_ERR_NO_SOURCE;
    }
    // Judged on the spelling and on the full path too: /tmp/.., C:\windows\.. and C:. spell a
    // root without looking like one.
    const std::string full_out = out ? full_path_utf8(out) : std::string();
    if (!is_safe_output_path(out) ||
        (!full_out.empty() && !is_safe_output_path(full_out.c_str()))) {
      set_import_error(result,
                       "refusing output path \"%s\": it is empty, a drive/filesystem root or "
                       "\".\"/\"..\"",
                       out ? out : "");
      return IMPORT_ERR_BAD_OUTPUT;
    }
    const path_type source_kind = path_kind(source, nullptr);
    if (source_kind == PATH_NONE) {
      set_import_error(result, "source not found: %s", source);
      return IMPORT_ERR_SOURCE_IO;
    }
    if (source_kind == PATH_OTHER) {
      set_import_error(result, "%s is not a regular file (a pipe or a device?)", source);
      return IMPORT_ERR_SOURCE_IO;
    }
    // Where both exist, by identity: a link or another spelling of the source folder is the
    // source (its "x.part" files would be truncated by the copies of "x"), while "Game" and
    // "game" on Linux are two folders. Where the output does not exist yet, by spelling.
    file_identity source_id, out_id;
    bool same = false;
    if (identity_of(source, &source_id) == 0 && identity_of(out, &out_id) == 0) {
      same = source_id == out_id;
    } else {
      const std::string full_source = full_path_utf8(source);
      same = !full_source.empty() && !full_out.empty() &&
             equals_nocase(full_source.c_str(), full_out.c_str());
    }
    if (same) {
      set_import_error(result, "output folder is the source folder");
      return IMPORT_ERR_BAD_OUTPUT;
    }
    // Owned here, so the entry list, the image stream and the copy buffer are released on
    // every return, an exception included.
    import_context ctx;
    copy_job job;
    job.progress = progress;
    job.user = user;
    job.cancel = cancel;
    const int status = import_into(&ctx, &job, source, out, result);
    // What the steps told: the one place the caller's record gets it.
    set_import_error(result, "%s", ctx.notes.message.c_str());
    result->skipped_top_level = ctx.notes.skipped_top_level;
    result->is_disc_image = ctx.notes.is_disc_image;
    result->partition_offset = ctx.notes.partition_offset;
    return status;
  } catch (...) {
    // Only allocation can throw in here; whatever it was, the caller gets a status.
    result->message[0] = '\0';
    return IMPORT_ERR_NO_MEMORY;
  }
}
