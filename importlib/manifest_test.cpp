#include "manifest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image_writer.h"
#include "testutil.h"
#include "wanted_tree.h"

namespace {

// The list in the repository describes what the sample writer makes: the demo and the tests
// verify every file of the sample disc against it.
TEST(Manifest, SampleListIsTheSampleDisc) {
  const wanted_tree want(sample_tree());
  const manifest_list list = disc_manifest();
  ASSERT_EQ(list.count, want.files.size());
  for (const auto& [path, bytes] : want.files) {
    const manifest_file* f = manifest_find(path.data(), path.size());
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(f->size, bytes.size()) << path;
    EXPECT_EQ(f->sha256, sha256_hex(bytes)) << path;
  }
  for (size_t i = 1; i < list.count; ++i)
    EXPECT_TRUE(manifest_path_less(list.files[i - 1].path, std::strlen(list.files[i - 1].path),
                                   list.files[i].path, std::strlen(list.files[i].path)))
        << "sorted for the lookup: " << list.files[i].path;
}

TEST(Manifest, LookupIgnoresLetterCaseOnly) {
  struct {
    const char* path;
    const char* found;  // null: not on the list
  } cases[] = {
      {"MAPS/Shared.MAP", "maps/shared.map"},
      {"default.xbe", "default.xbe"},
      {"maps/shared.ma", nullptr},
      {"maps/shared.map ", nullptr},
      {"maps", nullptr},
      {"zzz", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const manifest_file* f = manifest_find(c.path, std::strlen(c.path));
    EXPECT_STREQ(f ? f->path : nullptr, c.found) << c.path;
  }
}

}  // namespace
