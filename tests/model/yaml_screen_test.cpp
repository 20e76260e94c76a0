#include "model/yaml_screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "../support/run_command.h"

namespace pedscan {
namespace {

using testutil::ReadWholeFile;

struct Case {
  std::string text;
  int line;
  std::string problem;
};

void ExpectRefused(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<YamlProblem> problem = ScreenYaml(c.text);
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(problem->line, c.line);
    EXPECT_EQ(problem->problem, c.problem);
  }
}

// What the file storage makes of text the screen lets through: "map", "seq"
// or its own parse error.
std::string ReaderVerdict(const std::string& text) {
  try {
    cv::FileStorage fs(text, cv::FileStorage::READ | cv::FileStorage::MEMORY |
                                 cv::FileStorage::FORMAT_YAML);
    return fs.root().isMap() ? "map" : fs.root().isSeq() ? "seq" : "other";
  } catch (const cv::Exception& e) {
    return "error";
  }
}

TEST(YamlScreen, ModelFilesTheWriterProducesPass) {
  for (const char* name : {"person-hog.yml", "person-full.yml"}) {
    const std::string text = ReadWholeFile(std::string(PEDSCAN_SOURCE_DIR "/data/models/") + name);
    ASSERT_FALSE(text.empty()) << name;
    EXPECT_FALSE(ScreenYaml(text).has_value()) << name;
    // Line ends written on another system read the same.
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_FALSE(ScreenYaml(crlf).has_value()) << name;
  }
}

TEST(YamlScreen, DocumentsEndingBeforeTheTextAreRefusedWhereTheReaderWouldLoop) {
  ExpectRefused({
      // An indented top-level sequence cut short by a shorter line.
      {"%YAML:1.0\n          - \"BpgP+\"\n   -\ntw/pzwOfNU9\"\n", 3,
       "text after the end of the document"},
      // An explicit end of document followed by a sequence entry.
      {"%YAML:1.0\na: 1\n...\n- x\n", 4, "a '-' after the end of a document"},
      // A flow mapping at the top followed by more text with a '-'.
      {"%YAML:1.0\n---\n{a: 1}\nabc-\nz\n", 4, "a '-' after the end of a document"},
  });
  // A document end at the end of the text, or the last line closing an
  // indented document, leaves nothing to loop on.
  for (const char* text : {"%YAML:1.0\na: 1\n...\n", "%YAML:1.0\n  - a\n -\n"}) {
    EXPECT_FALSE(ScreenYaml(text).has_value()) << text;
    EXPECT_NE(ReaderVerdict(text), "error") << text;
  }
}

TEST(YamlScreen, EmptyKeysDeepNestingTagsAndControlCharactersAreRefused) {
  ExpectRefused({
      {"%YAML:1.\n  a:5\n  :", 3, "an empty mapping key"},
      {"%YAML:1.0\na: 1\n:\n", 3, "an empty mapping key"},
      {"%YAML:1.0\na: {b: 1, : 2}\n", 2, "an empty mapping key"},
      {"%YAML:1.0\na: {\n   : 2}\n", 3, "an empty mapping key"},
      {"%YAML:1.0\na: " + std::string(40, '[') + std::string(40, ']') + "\n", 2,
       "collections nested too deeply"},
      {"%YAML:1.0\na:\n" + [] {
         std::string lines;
         for (int i = 1; i <= 40; ++i) lines += std::string(static_cast<size_t>(i), ' ') + "-\n";
         return lines;
       }(), 34, "collections nested too deeply"},
      {"%YAML:1.0\na: !!binary |\n  AAAA\n", 2, "a type tag"},
      {"%YAML:1.0\na: \"x\\101\"\n", 2, "an unsupported escape in a quoted string"},
      {"%YAML:1.0\na: \"" + std::string(5000, 'x') + "\"\n", 2, "a quoted string too long"},
      {std::string("%YAML:1.0\na: 1\nb: 2\0\n", 21), 3, "a control character (code 0)"},
      {"%YAML:1.0\na: 1\rb: 2\n", 2, "a control character (code 13)"},
  });
}

TEST(YamlScreen, TextTheReaderRejectsItselfOrReadsSafelyIsLeftToIt) {
  // Each passes the screen; the reader reports or reads it as it always did.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"%YAML:1.0\n---\nmodelID: \"abc", "error"},
      {"%YAML:1.0\n---\n- 1\n", "seq"},
      {"%YAML:1.0\n---\na: 1\n b: 2\n", "error"},
      {"%YAML:1.0\n---\na:\tb\n", "error"},
      {"%YAML:2.0\na: 1\n", "error"},
      {"%YAML:1.0\na: [1, 2.5e3, -.Inf, .Nan, 'it''s', \"q\\\"\"]\nb: {c: d, e: [f]}\n", "map"},
      {"%YAML:1.0\n# comment\na: 1 # trailing\nb:\n  - x\n  - y: z\n    w: 0x1F\n", "map"},
      {"%YAML:1.0\na: 5e\n", "error"},  // refused or rejected: either way not read
  };
  for (const auto& [text, verdict] : cases) {
    SCOPED_TRACE(text);
    if (verdict == "error" && ScreenYaml(text).has_value()) continue;
    EXPECT_FALSE(ScreenYaml(text).has_value());
    EXPECT_EQ(ReaderVerdict(text), verdict);
  }
}

}  // namespace
}  // namespace pedscan
