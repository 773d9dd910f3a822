#include "import.h"

#include <cstring>
#include <new>
#include <string>

#include "entries.h"
#include "fs.h"

int import_game(const char* source, const char* out, progress_fn progress, void* user,
                import_result* result) {
  (void)progress;
  (void)user;
  import_result private_result;
  if (!result) result = &private_result;
  std::memset(result, 0, sizeof *result);
  try {
    if (!source || !*source) {
      set_import_error(result, "no source given");
      return IMPORT_ERR_NO_SOURCE;
    }
    if (!is_safe_output_path(out)) {
      set_import_error(result,
                       "refusing output path \"%s\": it is empty, a drive/filesystem root or "
                       "\".\"/\"..\"",
                       out ? out : "");
      return IMPORT_ERR_BAD_OUTPUT;
    }
    if (path_kind(source, nullptr) == 0) {
      set_import_error(result, "source not found: %s", source);
      return IMPORT_ERR_SOURCE_IO;
    }
    set_import_error(result, "importing is not available in this build yet");
    return IMPORT_ERR_SOURCE_IO;
  } catch (const std::bad_alloc&) {
    result->message[0] = '\0';
    return IMPORT_ERR_NO_MEMORY;
  }
}
