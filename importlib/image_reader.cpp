#include "image_reader.h"

#include <new>

#include "compressed_reader.h"
#include "import.h"
#include "split_names.h"
#include "stored_image.h"
#include "zip_reader.h"

namespace {

// Wraps the stored bytes in the reader their first bytes call for.
int choose_reader(std::unique_ptr<stored_image> stored, std::unique_ptr<image_reader>* image,
                  std::string* message, const image_open_options& options) {
  uint8_t head[4];
  const bool have_head =
      stored->size() >= sizeof head && stored->read(0, head, sizeof head, message) == IMPORT_OK;
  message->clear();
  if (have_head && is_zip_archive(head, sizeof head)) {
    zip_open_options zip_options;
    zip_options.progress = options.progress;
    zip_options.user = options.user;
    zip_options.cancel = options.cancel;
    auto zip = std::make_unique<zip_reader>();
    const int status = zip->open(std::move(stored), zip_options, message);
    if (status == IMPORT_OK) *image = std::move(zip);
    return status;
  }
  const int kind = have_head ? compressed_kind_of(head, sizeof head) : COMPRESSED_NONE;
  if (kind == COMPRESSED_NONE) {
    const int cut = stored->check_cut_evenly(message);
    if (cut == IMPORT_OK) *image = std::move(stored);
    return cut;
  }
  auto compressed = std::make_unique<compressed_reader>();
  const int status = compressed->open(std::move(stored), kind, message);
  if (status == IMPORT_OK) *image = std::move(compressed);
  return status;
}

}  // namespace

int open_image_reader(const char* path, std::unique_ptr<image_reader>* image, std::string* message,
                      const image_open_options& options) {
  image->reset();
  message->clear();
  try {
    std::vector<std::string> names;
    int status = find_image_parts(path, &names, message);
    if (status != IMPORT_OK) return status;
    auto stored = std::make_unique<stored_image>();
    if ((status = stored->open(names, message)) != IMPORT_OK) return status;
    return choose_reader(std::move(stored), image, message, options);
  } catch (const std::bad_alloc&) {
    message->clear();
    return IMPORT_ERR_NO_MEMORY;
  }
}

int open_image_streams(std::vector<unique_file> files, const std::vector<uint64_t>& sizes,
                       const char* name, std::unique_ptr<image_reader>* image, std::string* message,
                       const image_open_options& options) {
  image->reset();
  message->clear();
  try {
    auto stored = std::make_unique<stored_image>();
    stored->adopt(std::move(files), sizes, name);
    return choose_reader(std::move(stored), image, message, options);
  } catch (const std::bad_alloc&) {
    message->clear();
    return IMPORT_ERR_NO_MEMORY;
  }
}
