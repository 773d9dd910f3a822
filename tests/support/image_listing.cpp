#include "image_listing.h"

#include <utility>

#include "image_reader.h"
#include "xdvdfs.h"

listing list_path(const std::string& path) {
  listing out;
  import_context ctx;
  std::string message;
  out.status = open_image_reader(path.c_str(), &ctx.image, &message);
  if (out.status == IMPORT_OK)
    out.status = xdvdfs_list(&ctx, *ctx.image, path.c_str(), "", nullptr);
  else
    ctx.notes.message = message;
  out.result = std::move(ctx.notes);
  out.entries = std::move(ctx.entries);
  return out;
}
