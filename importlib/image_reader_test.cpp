#include "image_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "compressed_writer.h"
#include "image_writer.h"
#include "import.h"
#include "testutil.h"

namespace {

// Which names make a split image, and which parts beside them join it.
TEST(ImageReader, PartsAreFoundByName) {
  struct {
    std::vector<std::string> files;  // written beside each other; the first is chosen
    std::vector<std::string> parts;  // what is read, in order; empty: refused
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
  };
  for (const auto& c : cases) {
    temp_dir dir;
    for (const std::string& f : c.files) write_file(dir / f, "x");
    std::vector<std::string> found, want;
    for (const std::string& p : c.parts) want.push_back(dir / p);
    std::string message;
    const int status = find_image_parts((dir / c.files[0]).c_str(), &found, &message);
    EXPECT_EQ(status, want.empty() ? IMPORT_ERR_SOURCE_IO : IMPORT_OK) << c.files[0];
    if (status == IMPORT_OK) {
      EXPECT_EQ(found, want) << c.files[0];
    }
  }
}

// Every form reads back the plain image's bytes, across parts, sectors and runs of records
// longer than one read of them (3 MiB stored as it is), and nothing past its end.
TEST(ImageReader, EveryFormReadsLikeThePlainImage) {
  const disc_image img = build_image(
      dir_node("", {file_node("default.xbe", pattern_bytes(3u << 20, 5)),
                    file_node("zeros", std::vector<uint8_t>(300000))}));  // records that compress
  constexpr uint64_t SPLIT = 1000000;
  for (const form_info& form : image_forms()) {
    temp_dir dir;
    image_reader reader;
    std::string message;
    ASSERT_EQ(reader.open(save_in_form(img, form.form, dir / "d", SPLIT).c_str(), &message),
              IMPORT_OK)
        << form.what << ": " << message;
    std::vector<uint8_t> plain = img.dense();
    ASSERT_GE(reader.size(), plain.size()) << form.what;
    plain.resize(static_cast<size_t>(reader.size()));  // compressed: whole sectors
    const uint64_t n = reader.size();
    std::vector<std::pair<uint64_t, uint64_t>> reads = {{0, n}, {2047, 2}, {n - 1, 1}, {n, 0}};
    for (uint64_t cut = SPLIT; cut < n; cut += SPLIT) reads.push_back({cut - 5, 10});
    for (const auto& [pos, len] : reads) {
      std::vector<uint8_t> got(static_cast<size_t>(len));
      ASSERT_EQ(reader.read(pos, got.data(), got.size(), &message), IMPORT_OK)
          << form.what << " at " << pos << ": " << message;
      EXPECT_TRUE(std::equal(got.begin(), got.end(), plain.begin() + static_cast<ptrdiff_t>(pos)))
          << form.what << " at " << pos;
    }
    uint8_t byte;
    EXPECT_EQ(reader.read(n, &byte, 1, &message), IMPORT_ERR_SOURCE_IO) << form.what;
    EXPECT_EQ(message, "") << "past the end is the caller's to word";
  }
}

}  // namespace
