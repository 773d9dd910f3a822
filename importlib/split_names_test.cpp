#include "split_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import.h"
#include "testutil.h"

namespace {

// Which names make a split image, and which parts beside them join it.
TEST(SplitNames, PartsAreFoundByName) {
  struct {
    std::vector<std::string> files;  // written beside each other ("x/": a folder); the first
                                     // is chosen
    std::vector<std::string> parts;  // what is read, in order; empty: refused
    std::string why = "";            // when given, the refusal after "part <dir>/d.2.iso"
  } cases[] = {
      {{"d.1.iso", "d.2.iso", "d.3.iso"}, {"d.1.iso", "d.2.iso", "d.3.iso"}},
      {{"d.1.cci", "d.2.cci", "d.2.iso"}, {"d.1.cci", "d.2.cci"}},  // one extension throughout
      {{"a.b.1.xiso", "a.b.2.xiso"}, {"a.b.1.xiso", "a.b.2.xiso"}},
      {{"d.1.iso"}, {"d.1.iso"}},
      {{"d.11.iso", "d.12.iso"}, {"d.11.iso"}},  // one digit, and it is 1
      {{"d1.iso", "d2.iso"}, {"d1.iso"}},
      {{"d.2.iso", "d.3.iso"}, {"d.2.iso"}},
      {{"d.1.", "d.2."}, {"d.1."}},  // no extension
      {{"d.1.iso", "d.3.iso"}, {}},  // part 2 lost
      {{"d.1.iso", "d.2.iso/", "d.3.iso"}, {}, " of the split image is a folder"},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    for (const std::string& f : c.files) write_file(dir / (f.back() == '/' ? f + "x" : f), "x");
    std::vector<std::string> found, want;
    for (const std::string& p : c.parts) want.push_back(dir / p);
    std::string message;
    const int status = find_image_parts((dir / c.files[0]).c_str(), &found, &message);
    EXPECT_EQ(status, want.empty() ? IMPORT_ERR_SOURCE_IO : IMPORT_OK) << c.files[0];
    if (status == IMPORT_OK) {
      EXPECT_EQ(found, want) << c.files[0];
    } else if (!c.why.empty()) {
      EXPECT_EQ(message, "part " + (dir / "d.2.iso") + c.why);
    }
  }
}

// Which file names may be a disc image, and which name a later part's first part, by the name
// alone.
TEST(SplitNames, DiscImageNamesAndTheirFirstPart) {
  struct {
    const char* name;
    int image;
    const char* first_part;
  } cases[] = {
      {"Quillmoor.iso", 1, ""}, {"q.XISO", 1, ""},         {"q.Cci", 1, ""},
      {"q.cso", 1, ""},         {"q.zip", 1, ""},          {".iso", 0, ""},
      {"q.iso.txt", 0, ""},     {"q.isox", 0, ""},         {"qiso", 0, ""},
      {"q.1.iso", 1, ""},       {"q.2.iso", 1, "q.1.iso"}, {"q.10.cci", 1, "q.1.cci"},
      {"q v1.01.iso", 1, ""},   {"q.0.iso", 1, ""},        {"q.x2.iso", 1, ""},
      {".2.iso", 1, ""},        {"q..iso", 1, ""},         {"readme.2.txt", 0, ""},
  };
  for (const auto& c : cases) {
    std::string first = "left over";
    EXPECT_EQ(disc_image_name(c.name, &first), c.image) << c.name;
    EXPECT_EQ(first, c.first_part) << c.name;
  }
  EXPECT_EQ(disc_image_name("q.2.iso", nullptr), 1);
}

}  // namespace
