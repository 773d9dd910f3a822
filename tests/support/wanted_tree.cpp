#include "wanted_tree.h"

#include "charsets.h"

#include <algorithm>

#include "fs.h"
#include "paths.h"
#include "testutil.h"

namespace {

bool wanted_top(const disc_node& n) {
  if (!n.is_dir) return equals_nocase(n.name.c_str(), "default.xbe");
  for (const char* f : {"maps", "media", "bink", "TDATA", "UDATA"})
    if (equals_nocase(n.name.c_str(), f)) return true;
  return false;
}

void add(wanted_tree& t, const disc_node& n, const std::string& parent) {
  const std::string name = cp1252_to_utf8(n.name.data(), n.name.size());
  const std::string rel = parent.empty() ? name : parent + "/" + name;
  if (n.is_dir) {
    ++t.folders;
    t.paths.push_back(rel + "/");
    for (const disc_node& c : n.children) add(t, c, rel);
  } else {
    t.files[rel] = n.data;
    t.bytes += n.data.size();
    t.chunks += (n.data.size() + 4194303) / 4194304;
    t.paths.push_back(rel);
  }
}

}  // namespace

wanted_tree::wanted_tree(const disc_node& root) {
  for (const disc_node& child : root.children) {
    if (wanted_top(child)) {
      add(*this, child, "");
    } else {
      ++skipped;
    }
  }
  std::sort(paths.begin(), paths.end());
}

std::string wanted_tree::differences(const std::string& out) const {
  std::vector<std::string> got = list_tree(out);
  if (got != paths) {
    std::string text = "tree differs; got:";
    for (const std::string& p : got) text += " " + p;
    return text;
  }
  for (const auto& [rel, data] : files) {
    bool ok = false;
    if (read_file(join_out_path(out.c_str(), rel.c_str()), &ok) != data || !ok)
      return rel + " differs";
  }
  return "";
}

bool no_part_files(const std::string& root) {
  for (const std::string& p : list_tree(root))
    if (p.size() >= 5 && p.compare(p.size() - 5, 5, ".part") == 0) return false;
  return true;
}
