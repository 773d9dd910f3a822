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

}  // namespace
