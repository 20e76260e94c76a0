// The bundled cascade on the bundled example gives exactly the stored result
// files: boxes and responses to the last printed digit. Any change that moves
// a box or a response, however it came about, fails here.
#include <gtest/gtest.h>

#include <string>

#include "../support/run_command.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::ReadWholeFile;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

const std::string kSource = PEDSCAN_SOURCE_DIR;

// Runs detection from the source tree (the configurations name the models
// relative to it) and returns the result text of the example frame.
std::string Detect(const std::string& configuration, const std::string& options) {
  TempDir out;
  CommandResult result = RunCommand(
      "cd " + ShellQuote(kSource) + " && " + ShellQuote(PEDSCAN_BINARY) + " -d -c " +
      configuration + " -i data/example/vtest-0440.png -o " + ShellQuote(out.path()) + " " +
      options);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  return ReadWholeFile(out.File("vtest-0440.txt"));
}

TEST(StoredAnswer, BundledCascadeOnTheExampleFrame) {
  // The demo: both stages with their thresholds, overlaps suppressed.
  EXPECT_EQ(Detect("data/detect.txt", "-s"),
            ReadWholeFile(kSource + "/tests/data/vtest-0440.suppressed.txt"));
  // As the model is meant to be run, with the options it is shipped with:
  // suppression after each stage, the frame padded for the scan, the boxes
  // placed.
  std::string shipped = ReadWholeFile(kSource + "/data/detect-options.txt");
  shipped.erase(shipped.find_last_not_of(" \n") + 1);
  EXPECT_EQ(Detect("data/detect.txt", shipped),
            ReadWholeFile(kSource + "/tests/data/vtest-0440.shipped.txt"));
  // Every window stage 0 keeps, rescored by stage 1 without its cut and not
  // suppressed: about 400 responses, each printed to 13 digits.
  EXPECT_EQ(Detect("data/detect-eval.txt", ""),
            ReadWholeFile(kSource + "/tests/data/vtest-0440.eval.txt"));
}

}  // namespace
}  // namespace pedscan
