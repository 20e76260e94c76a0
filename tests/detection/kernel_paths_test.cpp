// Every kernel path this machine runs trains the same model file and makes
// pedscan write the same detections, byte for byte: the path changes the
// speed, never a result.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "../support/run_command.h"
#include "support/cpu.h"
#include "synthetic_model.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::ReadWholeFile;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

// The paths this machine runs, baseline first; the others are named on the
// output as skipped.
std::vector<cpu::Path> RunnablePaths() {
  std::vector<cpu::Path> paths;
  for (cpu::Path path : cpu::kAllPaths) {
    if (cpu::Available(path)) {
      paths.push_back(path);
    } else {
      std::cout << "kernels: " << cpu::PathName(path) << " skipped, not available here\n";
    }
  }
  return paths;
}

// Restores the path the process had when a test ends.
class KernelPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_ = RunnablePaths();
    if (paths_.size() < 2) GTEST_SKIP() << "fewer than two kernel paths available";
  }
  void TearDown() override { cpu::PinPathForTesting(before_); }

  const cpu::Path before_ = cpu::ActivePath();
  std::vector<cpu::Path> paths_;
};

TEST_F(KernelPaths, TrainingWritesTheSameModelFile) {
  TempDir dir;
  const std::string config = dir.WriteFile("model.txt", testutil::kObjectConfig);
  const testutil::Crops crops = testutil::MakeCrops(32, 64, cv::Rect(4, 8, 24, 48), 60, 120, 5);
  std::string reference;
  for (cpu::Path path : paths_) {
    ASSERT_TRUE(cpu::PinPathForTesting(path));
    const std::string file = dir.File(std::string("person-") + cpu::PathName(path) + ".yml");
    testutil::TrainModel(config, crops, 3)->Save(file);
    const std::string bytes = ReadWholeFile(file);
    ASSERT_FALSE(bytes.empty());
    if (reference.empty()) {
      reference = bytes;
    } else {
      EXPECT_TRUE(bytes == reference) << cpu::PathName(path) << " trained another model";
    }
  }
}

TEST_F(KernelPaths, DetectionWritesTheSameBoxesAndResponses) {
  TempDir dir;
  const std::string config = dir.WriteFile("model.txt", testutil::kObjectConfig);
  const testutil::Crops crops = testutil::MakeCrops(32, 64, cv::Rect(4, 8, 24, 48), 100, 200, 9);
  testutil::TrainModel(config, crops, 3)->Save(dir.File("person.yml"));
  // A threshold below every response: every window scanned is written,
  // with its response, so that any difference in any bit shows.
  dir.WriteFile("detect.txt",
                "model <person, 0, -1000, person.yml>\n"
                "scale <person, 48, 100, 0.1, 0.1, 1.5>\n");
  cv::RNG rng(17);
  cv::Mat scene = testutil::NoiseImage(200, 160, rng);
  testutil::DrawObject(scene, cv::Rect(40, 30, 24, 48), rng);
  testutil::DrawObject(scene, cv::Rect(120, 60, 36, 72), rng);
  cv::imwrite(dir.File("scene.png"), scene);

  std::string reference;
  for (cpu::Path path : paths_) {
    const std::string name = cpu::PathName(path);
    const std::string out = dir.MakeDir("out_" + name);
    const CommandResult result =
        RunCommand("cd " + ShellQuote(dir.path()) + " && " +
                   ShellQuote(std::string(PEDSCAN_PINNED_DIR "/pedscan_") + name) +
                   " -d -c detect.txt -i scene.png -o " + ShellQuote(out) + " -e");
    ASSERT_EQ(result.status, 0) << name << ": " << result.out << result.err;
    const std::string boxes = ReadWholeFile(out + "/scene.txt");
    ASSERT_FALSE(boxes.empty()) << name;
    if (reference.empty()) {
      reference = boxes;
    } else {
      EXPECT_TRUE(boxes == reference) << name << " wrote other boxes or responses";
    }
  }
}

}  // namespace
}  // namespace pedscan
