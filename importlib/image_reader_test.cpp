#include "image_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "compressed_writer.h"
#include "image_writer.h"
#include "import.h"
#include "testutil.h"

namespace {

// Every form reads back the plain image's bytes, across parts, sectors and runs of records
// longer than one read of them (3 MiB stored as it is), and nothing past its end.
TEST(ImageReader, EveryFormReadsLikeThePlainImage) {
  const disc_image img = build_image(
      dir_node("", {file_node("default.xbe", pattern_bytes(3u << 20, 5)),
                    file_node("zeros", std::vector<uint8_t>(300000))}));  // records that compress
  constexpr uint64_t SPLIT = 1000000;
  for (const form_info& form : image_forms()) {
    temp_dir dir;
    std::unique_ptr<image_reader> opened;
    std::string message;
    ASSERT_EQ(open_image_reader(save_in_form(img, form.form, dir / "d", SPLIT).c_str(), &opened,
                                &message),
              IMPORT_OK)
        << form.what << ": " << message;
    image_reader& reader = *opened;
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
    // The bytes stored as they are read go to the in-kernel copy, up to the image's end and
    // not into a ZIP archive's directory after it.
    FILE* file = nullptr;
    uint64_t at = 0, avail = 0;
    const bool as_stored = form.format[0] == '\0' || form.form == image_form::zip_stored;
    ASSERT_EQ(reader.stored_span(n - 10, &file, &at, &avail), as_stored) << form.what;
    if (!as_stored) continue;
    EXPECT_EQ(avail, 10u) << form.what;
    std::vector<uint8_t> tail(10);
    ASSERT_EQ(seek_to(file, at), 0);
    ASSERT_EQ(std::fread(tail.data(), 1, tail.size(), file), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), plain.end() - 10)) << form.what;
  }
}

// Reads stay inside the image whatever the range, and a file that shrank after it was opened
// fails its reads instead of giving what is no longer there.
TEST(ImageReader, ReadsStayInsideTheImage) {
  temp_dir dir;
  disc_image img = build_image(dir_node("", {file_node("default.xbe", pattern_bytes(70000, 1))}));
  ASSERT_TRUE(img.save(dir / "r.iso"));
  std::unique_ptr<image_reader> reader;
  std::string message;
  ASSERT_EQ(open_image_reader((dir / "r.iso").c_str(), &reader, &message), IMPORT_OK);
  const uint64_t n = img.size();
  uint8_t buf[16];
  struct {
    uint64_t pos, len;
    int status;
  } cases[] = {
      {XDVDFS_DESCRIPTOR, 16, IMPORT_OK},
      {n - 16, 16, IMPORT_OK},
      {n, 0, IMPORT_OK},
      {n - 15, 16, IMPORT_ERR_SOURCE_IO},
      {n + 1, 0, IMPORT_ERR_SOURCE_IO},
      {UINT64_MAX, 2, IMPORT_ERR_SOURCE_IO},
      {2, SIZE_MAX, IMPORT_ERR_SOURCE_IO},
  };
  for (const auto& c : cases)
    EXPECT_EQ(reader->read(c.pos, buf, static_cast<size_t>(c.len), &message), c.status)
        << c.pos << "+" << c.len;
  ASSERT_EQ(reader->read(XDVDFS_DESCRIPTOR, buf, 16, &message), IMPORT_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 16), std::string(XDVDFS_MAGIC, 16));
  img.resize(0x8000);  // the file is now shorter than when it was opened
  ASSERT_TRUE(img.save(dir / "r.iso"));
  EXPECT_EQ(reader->read(0x9000, buf, 8, &message), IMPORT_ERR_SOURCE_IO);
}

}  // namespace
