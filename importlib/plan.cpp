#include "plan.h"

#include <algorithm>

#include "paths.h"

namespace {

// How many times a file's name ends in ".part" (any letter case): "a.part.PART" gives 2.
// Folders give 0, so they keep their place before their contents.
size_t part_endings(const import_entry& e) {
  if (e.is_dir) return 0;
  size_t n = 0;
  for (size_t len = e.rel_path.size(); len >= 5; len -= 5, ++n)
    if (!equals_nocase(e.rel_path.substr(len - 5, 5).c_str(), ".part")) break;
  return n;
}

// The executable the game starts: a file at the top level named default.xbe in any case.
bool is_top_level_xbe(const import_entry& e) {
  return !e.is_dir && e.rel_path.find('/') == std::string::npos &&
         equals_nocase(e.rel_path.c_str(), "default.xbe");
}

// Keeps the entries the list has, with their lines, and notes what it lacks or has otherwise.
void check_against_list(import_plan& plan, std::vector<import_entry>& entries,
                        const manifest_list& list) {
  std::vector<bool> seen(list.count, false);
  for (import_entry& e : entries) {
    const manifest_file* line =
        e.is_dir ? nullptr : manifest_find_in(list, e.rel_path.data(), e.rel_path.size());
    if (!e.is_dir && !line) {
      if (plan.extras < 3)
        plan.extras_named += (plan.extras_named.empty() ? "" : ", ") + e.rel_path;
      else if (plan.extras == 3)
        plan.extras_named += ", ...";
      ++plan.extras;
      continue;
    }
    if (line) {
      seen[static_cast<size_t>(line - list.files)] = true;
      if (e.size != line->size) {
        ++plan.wrong_size;
        plan.problems.push_back(std::string(e.size < line->size ? "  short     " : "  long      ") +
                                e.rel_path + ": " + std::to_string(e.size) +
                                " bytes, the disc's has " + std::to_string(line->size));
      }
    }
    plan.expected.push_back(line);
    plan.entries.push_back(std::move(e));
  }
  for (size_t i = 0; i < list.count; ++i) {
    if (seen[i]) continue;
    ++plan.missing;
    plan.problems.push_back(std::string("  missing   ") + list.files[i].path);
  }
}

}  // namespace

import_plan plan_import(std::vector<import_entry> entries, const manifest_list& list) {
  import_plan plan;
  plan.entries.reserve(entries.size());
  plan.expected.reserve(entries.size());
  if (list.count > 0) {
    check_against_list(plan, entries, list);
  } else {
    plan.entries = std::move(entries);
    plan.expected.assign(plan.entries.size(), nullptr);
  }
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const import_entry& e = plan.entries[i];
    if (e.is_dir) continue;
    plan.total += e.size;
    if (is_top_level_xbe(e)) {
      plan.xbe = i;
      plan.have_xbe = true;
    }
  }
  plan.order.reserve(plan.entries.size());
  for (size_t i = 0; i < plan.entries.size(); ++i)
    if (!plan.have_xbe || i != plan.xbe) plan.order.push_back(i);
  std::stable_sort(plan.order.begin(), plan.order.end(), [&](size_t a, size_t b) {
    const import_entry& x = plan.entries[a];
    const import_entry& y = plan.entries[b];
    if (x.is_dir != y.is_dir) return x.is_dir > y.is_dir;
    if (x.is_dir) return false;
    const size_t px = part_endings(x), py = part_endings(y);
    if (px != py) return px < py;
    return x.image_offset < y.image_offset;
  });
  return plan;
}
