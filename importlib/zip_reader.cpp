#include "zip_reader.h"

#include "import.h"

int zip_reader::open(std::unique_ptr<stored_image> stored, const zip_open_options& options,
                     std::string* message) {
  stored_ = std::move(stored);
  const char* name = stored_->first_path().c_str();
  int status = zip_find_image(*stored_, name, &entry_, message);
  if (status == IMPORT_OK) status = image_.open(*stored_, entry_, name, options, message);
  return status;
}

bool zip_reader::stored_span(uint64_t pos, FILE** file, uint64_t* at, uint64_t* avail) const {
  if (entry_.method != ZIP_STORED || pos >= image_.size() ||
      !stored_->stored_span(entry_.data_offset + pos, file, at, avail))
    return false;
  // The archive's directory follows the entry's data: never copy it as the image's.
  const uint64_t left = image_.size() - pos;
  if (*avail > left) *avail = left;
  return true;
}
