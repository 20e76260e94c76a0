// Runs the pedscan binary on configurations and inputs that are broken,
// damaged or absurd, as a user might hand them over, and checks that each
// run ends with its report and status and leaves no result behind, and that
// a video announcing a wrong frame count is read to its last frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "../support/run_command.h"

namespace pedscan {
namespace {

namespace fs = std::filesystem;

using testutil::CommandResult;
using testutil::ReadWholeFile;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

constexpr int kFatalStatus = 255;  // exit(-1) as the shell sees it
constexpr int kPlainStatus = 2;

// The model shipped with the program: a 32 x 64 window around a 20 x 48
// object. Frames smaller than the window are read and written, not scanned.
constexpr char kModel[] = PEDSCAN_SOURCE_DIR "/data/models/person-hog.yml";

// Six 32 x 24 MJPG frames, frame i a flat grey of 40 i.
std::string SixFrameVideo() {
  TempDir dir;
  const std::string path = dir.File("six.avi");
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10, cv::Size(32, 24));
  for (int i = 0; i < 6; ++i) writer.write(cv::Mat(24, 32, CV_8UC3, cv::Scalar::all(40 * i)));
  writer.release();
  return ReadWholeFile(path);
}

// The AVI with another frame count in its main and stream headers.
std::string AnnounceFrames(std::string avi, uint32_t frames) {
  for (size_t at : {avi.find("avih") + 8 + 16, avi.find("strh") + 8 + 32}) {
    for (int i = 0; i < 4; ++i) avi[at + i] = static_cast<char>((frames >> (8 * i)) & 0xFF);
  }
  return avi;
}

// The AVI cut just before its frame `n` (0-based), losing the index too.
std::string CutBeforeFrame(const std::string& avi, int n) {
  size_t at = avi.find("movi");
  for (int i = 0; i <= n; ++i) at = avi.find("00dc", at + 4);
  return avi.substr(0, at);
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(kModel, dir_.File("model.yml"));
    dir_.WriteFile("detect.txt", "model <blob, 0, 0.4, model.yml>\nscale <blob, 48, 48, 0.1, 0.1, 1.5>\n");
    std::vector<uchar> png;
    cv::imencode(".png", cv::Mat(48, 64, CV_8UC3, cv::Scalar(20, 120, 220)), png);
    dir_.WriteFile("image.png", std::string(png.begin(), png.end()));
  }

  // Runs pedscan inside the test's directory with a fresh, empty output
  // directory "out". The binary is stopped if it is still running after a
  // minute, so that a hang fails the test instead of holding up the suite.
  CommandResult Pedscan(const std::string& arguments) {
    std::error_code ignored;
    fs::remove_all(dir_.File("out"), ignored);
    dir_.MakeDir("out");
    return RunCommand("cd " + ShellQuote(dir_.path()) + " && timeout -k 5 60 " +
                      ShellQuote(PEDSCAN_BINARY) + " " + arguments);
  }

  bool NoResults() const { return fs::is_empty(dir_.File("out")); }

  std::vector<std::string> Results() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.File("out"))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
};

TEST_F(HostileInput, ScaleLinesThatCannotBeScannedAreFatalAndNameTheLine) {
  struct Case {
    std::string scale;
    std::string report;
  };
  const Case cases[] = {
      {"scale <blob, 48, 100, 1e10, nan, 1.5>",
       ".\\parameters.cpp(ParametersExecution::ProcessCommand.106): \n"
       "  line 3: scale step 'nan' is not a finite number\n"},
      {"scale <blob, 48, 100, 1e10, 0.1, 1.5>",
       ".\\obj_manager.cpp(ObjManager::AddParameters.64): \n"
       "  line 3: scale step 1e+10 of object type 'blob' moves 2e+11 pixels, more than the "
       "32-pixel width of its model window\n"},
      {"scale <blob, inf, 100, 0.1, 0.1, 1.5>",
       ".\\parameters.cpp(ParametersExecution::ProcessCommand.104): \n"
       "  line 3: scale size 'inf' is not a finite number\n"},
      {"scale <blob, 100000, 2000000000, 0.1, 0.1, 1.00001>",
       ".\\parameters.cpp(ParametersExecution::ProcessCommand.110): \n"
       "  line 3: scale line reaches object size 100000, beyond the largest object size 65535\n"},
  };
  for (const Case& c : cases) {
    dir_.WriteFile("bad.txt", "# hostile\nmodel <blob, 0, 0.4, model.yml>\n" + c.scale + "\n");
    CommandResult result = Pedscan("-d -c bad.txt -i image.png -o out -b");
    EXPECT_EQ(result.status, kFatalStatus) << c.scale;
    EXPECT_EQ(result.out, c.report);
    EXPECT_TRUE(NoResults()) << c.scale;
  }
}

TEST_F(HostileInput, DirectoryOrEmptyDetectionConfigurationIsRefused) {
  dir_.MakeDir("settings");
  CommandResult directory = Pedscan("-d -c settings -i image.png -o out");
  EXPECT_EQ(directory.status, kPlainStatus);
  EXPECT_EQ(directory.out, "cannot open 'settings'\n");
  EXPECT_TRUE(NoResults());

  for (const std::string text : {"", "# to be written\n", "scale <blob, 48, 96, 0.1, 0.1, 2>\n"}) {
    dir_.WriteFile("empty.txt", text);
    CommandResult result = Pedscan("-d -c empty.txt -i image.png -o out -b");
    EXPECT_EQ(result.status, kFatalStatus) << text;
    EXPECT_EQ(result.out,
              ".\\parameters.cpp(ParametersExecution::ParseFile.124): \n"
              "  detection configuration 'empty.txt' has no model line\n");
    EXPECT_TRUE(NoResults()) << text;
  }
}

TEST_F(HostileInput, InputThatReadsAsNothingIsReportedByName) {
  const std::string png = ReadWholeFile(dir_.File("image.png"));
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", cv::Mat(48, 64, CV_8UC3, cv::Scalar(20, 120, 220)), jpeg);
  const std::string video = SixFrameVideo();
  dir_.WriteFile("truncated.png", png.substr(0, png.size() / 2));
  dir_.WriteFile("corrupt.jpg", std::string(jpeg.begin(), jpeg.begin() + 20) +
                                    std::string(jpeg.size(), '\x07'));
  dir_.WriteFile("text.png", "this is not an image\n");
  dir_.WriteFile("zero.png", "");
  dir_.WriteFile("noframes.avi", CutBeforeFrame(video, 0));
  dir_.WriteFile("garbage.avi", std::string(5000, '\x13'));
  dir_.WriteFile("zero.avi", "");

  struct Case {
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      {"truncated.png", "can't load image 'truncated.png'\n"},
      {"corrupt.jpg", "can't load image 'corrupt.jpg'\n"},
      {"text.png", "can't load image 'text.png'\n"},
      {"zero.png", "can't load image 'zero.png'\n"},
      {"noframes.avi", "can't read input 'noframes.avi' as an image or a video\n"},
      {"garbage.avi", "can't read input 'garbage.avi' as an image or a video\n"},
      {"zero.avi", "can't read input 'zero.avi' as an image or a video\n"},
      {"missing.png", "input 'missing.png' does not exist\n"},
      {"missing", "input 'missing' does not exist\n"},
  };
  for (const Case& c : cases) {
    for (const char* mode : {"-d", "-u"}) {
      CommandResult result = Pedscan(std::string(mode) + " -c detect.txt -i " + c.input + " -o out");
      EXPECT_EQ(result.status, kPlainStatus) << mode << " " << c.input;
      EXPECT_EQ(result.out, c.message) << mode;
      EXPECT_TRUE(NoResults()) << mode << " " << c.input;
    }
  }
}

TEST_F(HostileInput, VideoIsReadToItsLastFrameWhateverCountItAnnounces) {
  const std::string video = SixFrameVideo();
  const std::vector<std::string> everyFrame = {
      "clip00000000.txt", "clip00000001.txt", "clip00000002.txt",
      "clip00000003.txt", "clip00000004.txt", "clip00000005.txt"};
  // No count a reader could use, and fewer frames than the file holds.
  for (uint32_t announced : {0xFFFFFFFFu, 2u}) {
    dir_.WriteFile("clip.avi", AnnounceFrames(video, announced));
    CommandResult result = Pedscan("-d -c detect.txt -i clip.avi -o out");
    EXPECT_EQ(result.status, 0) << announced << "\n" << result.out << result.err;
    EXPECT_NE(result.out.find("(6/6)\n"), std::string::npos) << announced << "\n" << result.out;
    EXPECT_EQ(Results(), everyFrame) << announced;

    CommandResult stepped = Pedscan("-d -c detect.txt -i clip.avi -o out -v 1,4,2");
    EXPECT_EQ(stepped.status, 0) << announced;
    EXPECT_EQ(Results(), (std::vector<std::string>{"clip00000001.txt", "clip00000003.txt"}));
  }

  // A file cut short delivers the frames it still holds.
  dir_.WriteFile("clip.avi", CutBeforeFrame(video, 4));
  CommandResult cut = Pedscan("-d -c detect.txt -i clip.avi -o out");
  EXPECT_EQ(cut.status, 0) << cut.out << cut.err;
  EXPECT_NE(cut.out.find("(4/4)\n"), std::string::npos) << cut.out;
  EXPECT_EQ(Results(), std::vector<std::string>(everyFrame.begin(), everyFrame.begin() + 4));
}

}  // namespace
}  // namespace pedscan
