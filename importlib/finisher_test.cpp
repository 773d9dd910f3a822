#include "finisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "import.h"
#include "manifest.h"
#include "testutil.h"

namespace {

// Every file handed over is checked against its line, in the order added, and the damaged
// ones named; a file that cannot be read back fails the finish; a cancel ends it as cancelled.
// Sizes past the flush step make the flushing thread flush while files come.
TEST(Finisher, ChecksEveryFileThenFlushes) {
  struct {
    const char* what;
    std::vector<int> damaged;  // indexes of files written with other bytes
    int missing;               // index of a file never written, or -1
    bool cancel;
    int status;
    std::vector<std::string> named;
  } cases[] = {
      {"all good", {}, -1, false, IMPORT_OK, {}},
      {"two damaged", {7, 2}, -1, false, IMPORT_OK, {"f2", "f7"}},
      {"one gone", {3}, 5, false, IMPORT_ERR_OUTPUT_IO, {}},
      {"cancelled", {3}, -1, true, IMPORT_ERR_CANCELLED, {}},
  };
  for (const auto& c : cases) {
    temp_dir dir;
    std::vector<std::string> digests, names;
    std::vector<manifest_file> lines;
    for (int i = 0; i < 10; ++i) {
      const std::vector<uint8_t> bytes = pattern_bytes(1000 + 100 * i, static_cast<uint32_t>(i));
      names.emplace_back("f");
      names.back() += std::to_string(i);
      digests.push_back(sha256_hex(bytes));
      std::vector<uint8_t> written = bytes;
      for (int d : c.damaged)
        if (d == i) written[0] ^= 1;
      if (i != c.missing) write_file(dir / names.back(), written);
    }
    for (int i = 0; i < 10; ++i) lines.push_back({names[i].c_str(), 0, digests[i].c_str()});
    std::atomic<int> cancel{0};
    finisher f;
    f.start(&cancel, dir.path().c_str());
    for (int i = 0; i < 10; ++i) f.add(dir / names[i], names[i], 10u << 20, &lines[i]);
    f.add_folders({dir.path()});
    if (c.cancel) cancel = 1;
    std::vector<std::string> damaged;
    uint32_t verified = 0;
    std::string message;
    EXPECT_EQ(f.complete(&damaged, &verified, &message), c.status) << c.what;
    if (c.status == IMPORT_ERR_OUTPUT_IO) {
      std::string want = "cannot read back ";
      want += dir / names[5];
      want += " (disk error?)";
      EXPECT_EQ(message, want);
    }
    if (c.status != IMPORT_OK) continue;
    EXPECT_EQ(damaged, c.named) << c.what;
    EXPECT_EQ(verified, 10u) << c.what;
  }
}

}  // namespace
