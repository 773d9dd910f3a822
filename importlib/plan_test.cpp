#include "plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

import_entry file(const char* path, uint64_t size, uint64_t offset = 0) {
  return {path, "", offset, size, 0};
}
import_entry folder(const char* path) { return {path, "", 0, 0, 1}; }

std::vector<std::string> paths_in_order(const import_plan& plan) {
  std::vector<std::string> out;
  for (size_t i : plan.order) out.push_back(plan.entries[i].rel_path);
  return out;
}

// Without a list every entry is kept and nothing expected; the order puts folders first, then
// files by their ".part" endings, then by where their data lie.
TEST(Plan, OrderAndExecutableWithoutAList) {
  const manifest_list none{nullptr, 0};
  struct {
    std::vector<import_entry> listing;
    bool have_xbe;
    std::vector<std::string> order;
    uint64_t total;
  } cases[] = {
      {{file("maps/b.map", 5, 900), folder("maps"), file("DEFAULT.XBE", 7, 50),
        file("maps/a.map.part", 1, 10), file("maps/a.map", 2, 800), folder("maps/sub"),
        file("maps/c.PART.part", 3, 5)},
       true,
       {"maps", "maps/sub", "maps/a.map", "maps/b.map", "maps/a.map.part", "maps/c.PART.part"},
       18},
      {{folder("default.xbe"), file("maps/default.xbe", 4, 0)},
       false,
       {"default.xbe", "maps/default.xbe"},
       4},
  };
  for (const auto& c : cases) {
    const import_plan plan = plan_import(c.listing, none);
    EXPECT_EQ(plan.entries.size(), c.listing.size());
    EXPECT_EQ(plan.expected, std::vector<const manifest_file*>(c.listing.size(), nullptr));
    EXPECT_EQ(plan.have_xbe, c.have_xbe);
    if (c.have_xbe) {
      EXPECT_EQ(plan.entries[plan.xbe].rel_path, "DEFAULT.XBE");
    }
    EXPECT_EQ(paths_in_order(plan), c.order);
    EXPECT_EQ(plan.total, c.total);
    EXPECT_TRUE(plan.problems.empty());
  }
}

// Against the list: what it lacks leaves the plan, named; what it has in another letter case
// is its file; what is missing or of another size is a line each, in the list's order.
TEST(Plan, AgainstTheDiscsList) {
  const manifest_file files[] = {
      {"default.xbe", 7, "x"}, {"maps/a.map", 2, "a"},  {"maps/b.map", 5, "b"},
      {"maps/c.map", 1, "c"},  {"media/d.bik", 9, "d"},
  };
  const manifest_list list{files, 5};
  std::vector<import_entry> listing = {
      folder("maps"),        file("default.xbe", 7), file("MAPS/A.MAP", 2),
      file("maps/b.map", 4), file("Thumbs.db", 1),   file("maps/x1", 1),
      file("maps/x2", 1),    file("maps/x3", 1),     file("media/d.bik", 10),
  };
  const import_plan plan = plan_import(listing, list);
  std::vector<std::string> kept;
  for (const import_entry& e : plan.entries) kept.push_back(e.rel_path);
  EXPECT_EQ(kept, (std::vector<std::string>{"maps", "default.xbe", "MAPS/A.MAP", "maps/b.map",
                                            "media/d.bik"}));
  EXPECT_EQ(plan.expected, (std::vector<const manifest_file*>{nullptr, &files[0], &files[1],
                                                              &files[2], &files[4]}));
  EXPECT_EQ(plan.extras, 4u);
  EXPECT_EQ(plan.extras_named, "Thumbs.db, maps/x1, maps/x2, ...");
  EXPECT_EQ(plan.missing, 1u);
  EXPECT_EQ(plan.wrong_size, 2u);
  EXPECT_EQ(plan.problems, (std::vector<std::string>{
                               "  short     maps/b.map: 4 bytes, the disc's has 5",
                               "  long      media/d.bik: 10 bytes, the disc's has 9",
                               "  missing   maps/c.map",
                           }));
  EXPECT_EQ(plan.total, 23u);
  EXPECT_TRUE(plan.have_xbe);
  EXPECT_EQ(plan.xbe, 1u);
}

}  // namespace
