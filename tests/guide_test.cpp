// The player's guide and the programs say the same thing: every message the guide's tables
// quote is a text the code holds, and every box the launcher can show is in the guide. A
// message reworded in the code fails here until the guide follows.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The string literal that starts at `at` (its opening quote) and the ones that follow it with
// only blanks or comments between, as one text with the escapes decoded; `at` ends past them.
std::string literal_group(const std::string& src, size_t& at) {
  std::string text;
  while (at < src.size() && src[at] == '"') {
    for (++at; at < src.size() && src[at] != '"'; ++at) {
      if (src[at] != '\\') {
        text += src[at];
        continue;
      }
      char c = src[++at];
      if (c == 'n') {
        text += '\n';
      } else if (c == 't') {
        text += '\t';
      } else if (c == 'x') {
        size_t used = 0;
        text += static_cast<char>(std::stoi(src.substr(at + 1, 2), &used, 16));
        at += used;
      } else {
        text += c;  // \\ \" \'
      }
    }
    ++at;
    for (;;) {
      while (at < src.size() && std::isspace(static_cast<unsigned char>(src[at]))) ++at;
      if (src.compare(at, 2, "//") == 0) {
        at = src.find('\n', at);
      } else if (src.compare(at, 2, "/*") == 0) {
        at = src.find("*/", at) + 2;
      } else {
        break;
      }
      if (at == std::string::npos) at = src.size();
    }
  }
  return text;
}

// Every literal text of a source file (comments and character literals skipped).
std::vector<std::string> literal_texts(const std::string& src) {
  std::vector<std::string> texts;
  for (size_t at = 0; at < src.size();) {
    if (src.compare(at, 2, "//") == 0) {
      at = src.find('\n', at);
    } else if (src.compare(at, 2, "/*") == 0) {
      at = src.find("*/", at);
      if (at != std::string::npos) at += 2;
    } else if (src[at] == '\'') {
      at = src.find('\'', at + (src[at + 1] == '\\' ? 3 : 2)) + 1;
    } else if (src[at] == '"') {
      texts.push_back(literal_group(src, at));
      continue;
    } else {
      ++at;
    }
    if (at == std::string::npos) break;
  }
  return texts;
}

// The sources whose texts reach the player: the library, the tool and the launcher.
std::vector<fs::path> message_sources() {
  const fs::path root = QM_SOURCE_DIR;
  std::vector<fs::path> files = {
      root / "qmimport/main.cpp",          root / "qmimport/tool_texts.h",
      root / "launcher/launcher_texts.h",  root / "launcher/gate.cpp",
      root / "launcher/launcher.cpp",      root / "launcher/progress_window.cpp",
      root / "launcher/launcher_rules.cpp"};
  for (const auto& entry : fs::directory_iterator(root / "importlib")) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.ends_with(".cpp") && !name.ends_with("_test.cpp"))
      files.push_back(entry.path());
  }
  return files;
}

// The code spans in the first column of the guide's tables: the messages it explains.
std::vector<std::string> quoted_messages() {
  std::istringstream guide(read_all(fs::path(QM_SOURCE_DIR) / "docs/players.md"));
  std::vector<std::string> quoted;
  for (std::string line; std::getline(guide, line);) {
    if (line.rfind("| ", 0) != 0) continue;
    const std::string first = line.substr(2, line.find(" |", 1) - 2);
    for (size_t open = first.find('`'); open != std::string::npos;) {
      size_t close = first.find('`', open + 1);
      if (close == std::string::npos) break;
      quoted.push_back(first.substr(open + 1, close - open - 1));
      open = first.find('`', close + 1);
    }
  }
  return quoted;
}

TEST(Guide, QuotesOnlyTextsTheProgramsHold) {
  std::vector<std::string> code;
  for (const fs::path& file : message_sources()) {
    std::vector<std::string> texts = literal_texts(read_all(file));
    ASSERT_FALSE(texts.empty()) << file;
    code.insert(code.end(), texts.begin(), texts.end());
  }
  const std::vector<std::string> quoted = quoted_messages();
  ASSERT_GT(quoted.size(), 30u);
  for (const std::string& q : quoted) {
    bool found = false;
    for (const std::string& text : code) found = found || text.find(q) != std::string::npos;
    EXPECT_TRUE(found) << "the guide quotes a text no program holds: " << q;
  }
}

// Each box the launcher shows, by the constant it is given, is quoted in the guide.
TEST(Guide, ExplainsEveryLauncherBox) {
  const std::vector<std::string> quoted = quoted_messages();
  const std::regex shown(R"(message_box\((?:filled\()?([A-Z_]+))");
  const std::string texts = read_all(fs::path(QM_SOURCE_DIR) / "launcher/launcher_texts.h");
  int boxes = 0;
  for (const char* file : {"launcher/gate.cpp", "launcher/launcher.cpp"}) {
    const std::string src = read_all(fs::path(QM_SOURCE_DIR) / file);
    for (std::sregex_iterator m(src.begin(), src.end(), shown), end; m != end; ++m) {
      const std::string name = (*m)[1];
      size_t at = texts.find("\ninline constexpr char " + name + "[] =");
      ASSERT_NE(at, std::string::npos) << name;
      at = texts.find('"', at);
      const std::string text = literal_group(texts, at);
      bool found = false;
      for (const std::string& q : quoted)
        found = found || (q.size() >= 20 && text.find(q) != std::string::npos);
      EXPECT_TRUE(found) << file << ": the guide does not explain " << name << ": " << text;
      ++boxes;
    }
  }
  EXPECT_GE(boxes, 7);
}

}  // namespace
