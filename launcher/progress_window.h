// The progress window over an import of the player's disc.
#pragma once

#include <string>

#include "import.h"

// Imports `source` (UTF-8) into "game" on a worker thread while a window shows the progress and
// offers Cancel; returns once the import has ended and the window is gone. The import's status,
// with `*result` filled; IMPORT_ERR_NO_MEMORY without a message when the window or the worker
// could not be made.
int import_with_progress(const std::string& source, import_result* result);
