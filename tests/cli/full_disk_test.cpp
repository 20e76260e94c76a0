// Every mode on a file system that fills up, as a user meets it: a small
// tmpfs mounted by the test (which needs root; elsewhere the tests skip). A
// full disk must end the run with the fatal report naming the file and the
// reason, leave no partial file under a final name and no temporary file,
// and keep a complete earlier file as it was.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "../detection/synthetic_model.h"
#include "../support/run_command.h"
#include "../training/training_fixtures.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::ReadWholeFile;
using testutil::RunPedscanIn;
using testutil::ShellQuote;
using testutil::TempDir;
namespace fs = std::filesystem;

constexpr int kFatalStatus = 255;
constexpr char kNoSpace[] = "(No space left on device)";

std::set<std::string> Names(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root; skipped";
    disk_ = dir_.MakeDir("disk");
    if (mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=64k") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs (" << std::strerror(errno) << "); skipped";
    }
    mounted_ = true;
    dir_.WriteFile("model.txt", testutil::kObjectConfig);
    testutil::WriteImages(dir_.MakeDir("pos"), "a", 12, 32, 64, true, cv::Rect(4, 8, 24, 48), 1,
                          1);
    testutil::WriteImages(dir_.MakeDir("neg"), "n", 4, 160, 120, false, {}, 0, 2);
  }
  void TearDown() override {
    if (mounted_) umount2(disk_.c_str(), MNT_DETACH);
  }

  // Fills the file system to the last byte with one file that stays there.
  void Fill() {
    FILE* filler = std::fopen((disk_ + "/filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    std::vector<char> block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
    }
    std::fclose(filler);
    for (size_t size = 1024; size > 0; size /= 2) {
      while ((filler = std::fopen((disk_ + "/filler").c_str(), "ab")) != nullptr) {
        const bool whole = std::fwrite(block.data(), 1, size, filler) == size;
        const bool closed = std::fclose(filler) == 0;
        if (!whole || !closed) break;
      }
    }
  }

  CommandResult Pedscan(const std::string& arguments) {
    return RunPedscanIn(dir_.path(), arguments);
  }

  static void ExpectFatalEnding(const CommandResult& result, const std::string& message) {
    EXPECT_EQ(result.status, kFatalStatus) << result.out << result.err;
    const std::string ending = message + "\n";
    ASSERT_GE(result.out.size(), ending.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - ending.size()), ending) << result.out;
  }

  TempDir dir_;
  std::string disk_;
  bool mounted_ = false;
};

TEST_F(FullDisk, DetectionKeepsEarlierResultsAndLeavesNoPartialImageOrText) {
  const std::string source = PEDSCAN_SOURCE_DIR;
  const std::string detect = "-d -c " + ShellQuote(source + "/data/detect.txt") + " -i " +
                             ShellQuote(source + "/data/example/vtest-0440.png") + " -s";
  // The model paths of the configuration are relative to the source tree.
  auto run = [&](const std::string& options) {
    return testutil::RunCommand("cd " + ShellQuote(source) + " && " +
                                ShellQuote(PEDSCAN_BINARY) + " " + detect + " -o " +
                                ShellQuote(disk_) + " " + options);
  };

  // The text file fits; the drawn frame (hundreds of kilobytes) does not.
  CommandResult drawn = run("-b");
  ExpectFatalEnding(drawn, "cannot write result image '" + disk_ + "/vtest-0440.png' " + kNoSpace);
  EXPECT_EQ(Names(disk_), std::set<std::string>{});

  CommandResult text = run("");
  ASSERT_EQ(text.status, 0) << text.out;
  const std::string earlier = ReadWholeFile(disk_ + "/vtest-0440.txt");
  ASSERT_FALSE(earlier.empty());

  Fill();
  CommandResult full = run("");
  ExpectFatalEnding(full, "cannot write result file '" + disk_ + "/vtest-0440.txt' " + kNoSpace);
  EXPECT_EQ(ReadWholeFile(disk_ + "/vtest-0440.txt"), earlier);
  EXPECT_EQ(Names(disk_), (std::set<std::string>{"filler", "vtest-0440.txt"}));
}

TEST_F(FullDisk, TrainingFailsWithoutAModelFileUnderItsFinalName) {
  Fill();
  CommandResult result = Pedscan("-t -c model.txt -p pos -n neg -m " + ShellQuote(disk_ + "/m") +
                                 " -I 1 -M 3");
  ExpectFatalEnding(result, "cannot write model file '" + disk_ + "/m.ret00.yml' " + kNoSpace);
  EXPECT_EQ(result.out.find("PLS models built successfully"), std::string::npos) << result.out;
  EXPECT_EQ(Names(disk_), std::set<std::string>{"filler"});
}

TEST_F(FullDisk, FeatureExtractionLeavesNoTruncatedMatrixFile) {
  Fill();
  CommandResult result = Pedscan("-u -c model.txt -i pos -o " + ShellQuote(disk_));
  ExpectFatalEnding(result, "cannot write matrix file " + disk_ + "/a00.features.matrix " +
                                kNoSpace);
  EXPECT_EQ(Names(disk_), std::set<std::string>{"filler"});
}

}  // namespace
}  // namespace pedscan
