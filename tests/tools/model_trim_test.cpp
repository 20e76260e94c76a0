#include "model_trim.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace pedscan {
namespace {

TEST(ModelTrim, TrainingScoresAndLabelsShrinkToOneZeroEntry) {
  const std::string model =
      "%YAML:1.0\n"
      "b:\n"
      "   rows: 1\n"
      "   cols: 2\n"
      "   data:\n"
      "      - \"AACAPwAAAEA=\"\n"
      "T:\n"
      "   rows: 3\n"
      "   cols: 2\n"
      "   data:\n"
      "      - \"AACAPwAAAEAAAEBAAACAQAAAoEAAAMBA\"\n"
      "      - \"AACAPw==\"\n"
      "Y:\n"
      "   rows: 1\n"
      "   cols: 3\n"
      "   data:\n"
      "      - \"AACAPwAAAEAAAEBA\"\n"
      "PLSReg:\n"
      "   T:\n"
      "      rows: 3\n"
      "      cols: 2\n"
      "      data:\n"
      "         - \"AACAPwAAAEAAAEBAAACAQAAAoEAAAMBA\"\n"
      "   YMean: 0.5\n";
  int trimmed = -1;
  const std::string result = TrimModelText(model, &trimmed);
  EXPECT_EQ(trimmed, 3);
  // Two zero floats are 8 bytes: 12 base64 characters, one of them padding.
  EXPECT_EQ(result,
            "%YAML:1.0\n"
            "b:\n"
            "   rows: 1\n"
            "   cols: 2\n"
            "   data:\n"
            "      - \"AACAPwAAAEA=\"\n"
            "T:\n"
            "   rows: 1\n"
            "   cols: 2\n"
            "   data:\n"
            "      - \"AAAAAAAAAAA=\"\n"
            "Y:\n"
            "   rows: 1\n"
            "   cols: 1\n"
            "   data:\n"
            "      - \"AAAAAA==\"\n"
            "PLSReg:\n"
            "   T:\n"
            "      rows: 1\n"
            "      cols: 2\n"
            "      data:\n"
            "         - \"AAAAAAAAAAA=\"\n"
            "   YMean: 0.5\n");
  // Trimming a trimmed model changes nothing.
  EXPECT_EQ(TrimModelText(result, &trimmed), result);
}

TEST(ModelTrim, KeysOfAnotherShapeAreCopied) {
  const std::string text = "T: 3\nY:\n   other: 1\nmodelID: \"T:\"\n";
  int trimmed = -1;
  EXPECT_EQ(TrimModelText(text, &trimmed), text);
  EXPECT_EQ(trimmed, 0);
}

TEST(ModelTrim, BundledModelsAreAlreadyTrimmed) {
  for (const char* name : {"person-hog.yml", "person-full.yml"}) {
    std::ifstream in(std::string(PEDSCAN_SOURCE_DIR) + "/data/models/" + name);
    ASSERT_TRUE(in) << name;
    std::stringstream text;
    text << in.rdbuf();
    int trimmed = 0;
    EXPECT_EQ(TrimModelText(text.str(), &trimmed), text.str()) << name;
    EXPECT_EQ(trimmed, 4) << name;  // T and Y of the window PLS and of the regression
  }
}

}  // namespace
}  // namespace pedscan
