#include "copier.h"

#include <new>

#include "entries.h"
#include "image_reader.h"
#include "read_ahead.h"
#include "sha256.h"
#include "stored_image.h"

namespace {

// Writes `length` bytes in pieces of at most WRITE_PIECE (see fs.h).
bool write_pieces(FILE* out, const uint8_t* data, size_t length) {
  for (size_t done = 0; done < length;) {
    const size_t n = length - done < WRITE_PIECE ? length - done : WRITE_PIECE;
    if (std::fwrite(data + done, 1, n, out) != n) return false;
    done += n;
  }
  return true;
}

}  // namespace

int check_cancel(const copy_job* job, std::string* message) {
  if (!job->cancel || job->cancel->load() == 0) return IMPORT_OK;
  set_error(message, "import cancelled");
  return IMPORT_ERR_CANCELLED;
}

namespace {

// The `size` bytes at `base` of `from` into `out` (the ".part" file `part`), feeding `hash`
// (may be null), with progress. An import status, explained in *message.
int copy_bytes(const import_entry& entry, image_reader& from, uint64_t base, FILE* out,
               copy_job* job, std::string* message, sha256_ctx* hash, const std::string& part) {
  int status = IMPORT_OK;
  uint8_t* buffer = job->buffer.get();
  // Unhashed files are copied inside the kernel where it can: with the data never passing
  // through the buffer, the import keeps up with a plain `cp` (see docs/performance.md).
  // Anything that stops it, the end of the source or a full disk included, hands over to
  // reading and writing, which finds and reports the cause. Compressed images are decoded
  // into the buffer, never copied this way.
  bool in_kernel = hash == nullptr;
  uint64_t copied = 0;
  for (uint64_t left = entry.size; left > 0;) {
    if ((status = check_cancel(job, message)) != IMPORT_OK) break;
    size_t chunk = left < COPY_CHUNK ? static_cast<size_t>(left) : COPY_CHUNK;
    if (in_kernel) {
      FILE* in = nullptr;
      uint64_t at = 0, avail = 0;
      const uint64_t n = from.stored_span(base + copied, &in, &at, &avail)
                             ? copy_in_kernel(in, at, out, copied, avail < chunk ? avail : chunk)
                             : 0;
      if (n == 0) {
        in_kernel = false;
        if (copied != 0 && seek_to(out, copied) != 0) {
          set_error(message, "read error in %s (truncated source?)", entry.rel_path.c_str());
          status = IMPORT_ERR_SOURCE_IO;
          break;
        }
        continue;
      }
      chunk = static_cast<size_t>(n);
    } else {
      std::string why;
      if ((status = from.read(base + copied, buffer, chunk, &why)) != IMPORT_OK) {
        // A block that does not decode is damage, worded by the image, as is a part that
        // cannot be read; a file that ends early is the source's.
        if (status != IMPORT_ERR_DAMAGED) status = IMPORT_ERR_SOURCE_IO;
        if (!why.empty())
          set_error(message, "%s", why.c_str());
        else
          set_error(message, "read error in %s (truncated source?)", entry.rel_path.c_str());
        break;
      }
      if (hash) sha256_update(hash, buffer, chunk);
      if (!write_pieces(out, buffer, chunk)) {
        set_error(message, "write error on %s (disk full?)", part.c_str());
        status = IMPORT_ERR_OUTPUT_IO;
        break;
      }
    }
    left -= chunk;
    copied += chunk;
    job->done += chunk;
    if (job->progress) job->progress(job->done, job->total, entry.rel_path.c_str(), job->user);
  }
  return status;
}

}  // namespace

int copy_entry(const import_entry& entry, image_reader* image, const char* target, copy_job* job,
               std::string* message, sha256_ctx* hash, part_fate fate, std::string* part_out,
               FILE* opened) {
  unique_file own_opened(opened);
  try {
    std::string part = target;
    part += ".part";

    // A folder source's file is read as a one-part image of its own: one way to read a source.
    std::unique_ptr<stored_image> folder_file;
    const bool from_folder = !entry.source_path.empty();
    if (from_folder) {
      unique_file source(std::move(own_opened));
      if (!source) {
        source.reset(open_utf8(entry.source_path.c_str(), "rb"));
        if (!source) {
          set_error(message, "cannot open %s", entry.source_path.c_str());
          return IMPORT_ERR_SOURCE_IO;
        }
        // 4 MiB requests go straight to read(); a stdio buffer would only add a memcpy.
        std::setvbuf(source.get(), nullptr, _IONBF, 0);
      }
      // Read ahead further, as cp asks: a cold file of many MiB then comes in fewer, larger
      // reads. Smaller ones are read ahead of the copy on a thread of its own.
      if (entry.size >= READ_AHEAD_BELOW) expect_sequential_read(source.get());
      // A file that grows after it is listed would be copied short and pass for complete,
      // unless its digest is checked: then its first bytes are the disc's file or it fails.
      folder_file.reset(new stored_image);
      if (folder_file->adopt_file(std::move(source), entry.size, entry.source_path,
                                  !job->checked_by_list) != 0) {
        set_error(message, "cannot open %s", entry.source_path.c_str());
        return IMPORT_ERR_SOURCE_IO;
      }
    } else if (!image || entry.image_offset > image->size()) {
      set_error(message, "seek failed in image");
      return IMPORT_ERR_SOURCE_IO;
    }
    image_reader& from = folder_file ? *folder_file : *image;
    const uint64_t base = folder_file ? 0 : entry.image_offset;

    // Declared before the stream, so that on every way out the file is closed before it is
    // deleted (Windows cannot delete an open file).
    part_file_guard guard;
    unique_file out(create_new_utf8(part.c_str()));
    if (!out) {
      set_error(message, "cannot create %s", part.c_str());
      return IMPORT_ERR_OUTPUT_IO;
    }
    guard = part;
    std::setvbuf(out.get(), nullptr, _IONBF, 0);

    if (job->progress) job->progress(job->done, job->total, entry.rel_path.c_str(), job->user);

    int status = copy_bytes(entry, from, base, out.get(), job, message, hash, part);
    std::string changed;
    if (status == IMPORT_OK && folder_file && folder_file->check_unchanged(&changed) != IMPORT_OK) {
      *message = changed;
      status = IMPORT_ERR_SOURCE_IO;
    }
    folder_file.reset();
    if (status == IMPORT_OK && flush_written_file(out.get(), entry.size) != 0) {
      set_error(message, "write error on %s", part.c_str());
      status = IMPORT_ERR_OUTPUT_IO;
    }
    if (std::fclose(out.release()) != 0 && status == IMPORT_OK) {
      set_error(message, "write error on %s", part.c_str());
      status = IMPORT_ERR_OUTPUT_IO;
    }
    if (status != IMPORT_OK) return status;  // the guard deletes the ".part"

    if (fate == PART_KEEP) {
      *part_out = guard.release();
      return IMPORT_OK;
    }
    if (rename_replace(part.c_str(), target) != 0) {
      set_error(message, "cannot rename %s to %s", part.c_str(), target);
      return IMPORT_ERR_OUTPUT_IO;
    }
    guard.release();
    return IMPORT_OK;
  } catch (const std::bad_alloc&) {
    return IMPORT_ERR_NO_MEMORY;
  }
}
