// The data tools of the person model run as a user runs them: bad input
// ends with status 1 and a message naming the file (and line) or the bad
// value, never with an abort or with output that silently lacks a frame's
// people.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "../support/run_command.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

CommandResult Tool(const char* binary, const std::vector<std::string>& arguments) {
  std::string command = ShellQuote(binary);
  for (const std::string& a : arguments) command += " " + ShellQuote(a);
  return RunCommand(command);
}

// A few frames of a grey scene with a dark upright figure drifting right.
std::string WriteVideo(const TempDir& dir, int frames) {
  const std::string path = dir.File("scene.avi");
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 5, cv::Size(192, 160));
  EXPECT_TRUE(writer.isOpened());
  for (int i = 0; i < frames; ++i) {
    cv::Mat frame(160, 192, CV_8UC3, cv::Scalar(150, 160, 170));
    cv::rectangle(frame, cv::Rect(60 + 4 * i, 40, 20, 48), cv::Scalar(30, 40, 50), cv::FILLED);
    writer.write(frame);
  }
  return path;
}

size_t CountFiles(const std::string& dir) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
  return n;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ToolCommandLines, HelpExitsZeroWithTheUsage) {
  for (const char* binary :
       {LABEL_BINARY, CROPS_BINARY, PEERS_BINARY, EVALUATE_BINARY, TRIM_MODEL_BINARY}) {
    SCOPED_TRACE(binary);
    const CommandResult r = Tool(binary, {"--help"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string name = std::filesystem::path(binary).filename().string();
    EXPECT_NE(r.out.find("USAGE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(name), std::string::npos) << r.out;
  }
}

TEST(ToolCommandLines, WrongValuesEndWithStatusOneNamingThem) {
  TempDir dir;
  const std::string video = WriteVideo(dir, 3);
  const std::string out = dir.MakeDir("out");
  struct Case {
    const char* binary;
    std::vector<std::string> arguments;
    std::string named;  // in the report
  };
  const std::vector<Case> cases = {
      {LABEL_BINARY, {video, "first", "2", out}, "'first'"},
      {LABEL_BINARY, {video, "2", "1", out}, "not '1'"},
      {LABEL_BINARY, {video, "0", "2"}, "missing: outdir"},
      {CROPS_BINARY, {"--frames", video, "0", "2.5", out}, "'2.5'"},
      {CROPS_BINARY, {"--frames", video, "0", "2"}, "takes 4 values, not 3"},
      {CROPS_BINARY, {video, out, "0", "2", "0", out, out}, "<frameStep> must be at least 1"},
      {CROPS_BINARY, {"--frames", "--sheet", video, "0", "2", out}, "at most one"},
      {PEERS_BINARY, {"svn", out, out}, "svn"},
      {PEERS_BINARY, {"svm", out, out}, "takes 3 paths, not 2"},
      {EVALUATE_BINARY, {out, "-t", "high", out}, "'high'"},
      {EVALUATE_BINARY, {out}, "missing: resultDir"},
      {TRIM_MODEL_BINARY, {out}, "missing: out"},
  };
  for (const Case& c : cases) {
    std::string line = c.binary;
    for (const std::string& a : c.arguments) line += " " + a;
    SCOPED_TRACE(line);
    const CommandResult r = Tool(c.binary, c.arguments);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
  }
  EXPECT_EQ(CountFiles(out), 0u);
}

TEST(TrimModelTool, TrimsThroughStorageAndRefusesACorruptModel) {
  TempDir dir;
  const std::string bundled = std::string(PEDSCAN_SOURCE_DIR) + "/data/models/person-hog.yml";
  CommandResult r = Tool(TRIM_MODEL_BINARY, {bundled, dir.File("trimmed.yml")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir.File("trimmed.yml") + ": trimmed 4 training-only records\n");
  EXPECT_EQ(ReadText(dir.File("trimmed.yml")), ReadText(bundled));

  // Cut in the middle of the block records: a report naming the file, and
  // no output file.
  const std::string text = ReadText(bundled);
  const std::string truncated = dir.WriteFile("truncated.yml", text.substr(0, text.size() / 2));
  r = Tool(TRIM_MODEL_BINARY, {truncated, dir.File("out.yml")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot trim '" + truncated + "'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Storage"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.yml")));
}

TEST(CropsTool, CutsPersonWindowsWithMirrorsAndBackgroundImages) {
  TempDir dir;
  const std::string video = WriteVideo(dir, 15);
  const std::string gt = dir.MakeDir("gt");
  for (int i = 0; i < 15; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "gt/%04d.txt", i);
    dir.WriteFile(name, std::to_string(60 + 4 * i) + " 40 20 48\n");
  }
  const std::string pos = dir.MakeDir("pos");
  const std::string neg = dir.MakeDir("neg");
  CommandResult r = Tool(CROPS_BINARY, {video, gt, "0", "14", "7", pos, neg});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(CountFiles(pos), 6u);  // frames 0, 7 and 14, each person with its mirror image
  const cv::Mat crop = cv::imread(pos + "/f0007_0.png");
  EXPECT_EQ(crop.size(), cv::Size(32, 64));
  // The median of frames 0, 5 and 10, where the figure stands in three
  // different places, holds no figure.
  const cv::Mat median = cv::imread(neg + "/median_100.png");
  ASSERT_FALSE(median.empty());
  double low = 0, high = 0;
  cv::minMaxLoc(median.reshape(1), &low, &high);
  EXPECT_GT(low, 120.0);
}

TEST(CropsTool, RejectsMissingAndMalformedGroundTruthAndShortVideos) {
  TempDir dir;
  const std::string video = WriteVideo(dir, 3);
  const std::string gt = dir.MakeDir("gt");
  const std::string pos = dir.MakeDir("pos");
  const std::string neg = dir.MakeDir("neg");
  dir.WriteFile("gt/0000.txt", "60 40 20 48\n");
  // Frame 1 has no file: its people must not become background.
  CommandResult r = Tool(CROPS_BINARY, {video, gt, "0", "1", "1", pos, neg});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(gt + "/0001.txt"), std::string::npos) << r.err;

  dir.WriteFile("gt/0001.txt", "60 40 20 48\n64 40 twenty 48\n");
  r = Tool(CROPS_BINARY, {video, gt, "0", "1", "1", pos, neg});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(gt + "/0001.txt:2"), std::string::npos) << r.err;

  dir.WriteFile("gt/0001.txt", "64 40 20 48\n");
  dir.WriteFile("gt/0002.txt", "68 40 20 48\n");
  r = Tool(CROPS_BINARY, {video, gt, "0", "5", "1", pos, neg});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no frame 3 in '" + video + "'"), std::string::npos) << r.err;

  r = Tool(CROPS_BINARY, {dir.File("missing.avi"), gt, "0", "1", "1", pos, neg});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open video '" + dir.File("missing.avi") + "'"), std::string::npos);

  r = Tool(CROPS_BINARY, {"--frames", video, "0", "9", dir.MakeDir("frames")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no frame 3"), std::string::npos) << r.err;
}

TEST(LabelTool, RejectsMissingVideosAndFramesBeyondTheEnd) {
  TempDir dir;
  const std::string video = WriteVideo(dir, 3);
  const std::string out = dir.MakeDir("gt");
  CommandResult r = Tool(LABEL_BINARY, {dir.File("missing.avi"), "0", "2", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot open video '" + dir.File("missing.avi") + "'"), std::string::npos);

  r = Tool(LABEL_BINARY, {video, "0", "7", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no frame 3 in '" + video + "'"), std::string::npos) << r.err;
  EXPECT_EQ(CountFiles(out), 0u);

  // One ground-truth file per frame, in pedscan's own format.
  r = Tool(LABEL_BINARY, {video, "1", "2", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(out + "/0001.txt"));
  EXPECT_TRUE(std::filesystem::exists(out + "/0002.txt"));
  EXPECT_FALSE(std::filesystem::exists(out + "/0000.txt"));
}

TEST(PeersTool, RejectsUnreadableFramesModelsAndCrops) {
  TempDir dir;
  const std::string frames = dir.MakeDir("frames");
  dir.WriteFile("frames/0400.png", "not a picture");
  const std::string out = dir.MakeDir("out");
  CommandResult r = Tool(PEERS_BINARY, {"opencv", frames, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read '" + frames + "/0400.png'"), std::string::npos) << r.err;

  r = Tool(PEERS_BINARY, {"svm", dir.File("missing.yml"), frames, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read '" + dir.File("missing.yml") + "'"), std::string::npos) << r.err;

  // A corrupt model file is a message, not an abort.
  const std::string corrupt = dir.WriteFile("corrupt.yml", "%YAML:1.0\ndetector: [ 1, 2\n");
  r = Tool(PEERS_BINARY, {"svm", corrupt, frames, out});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("peers: "), std::string::npos);

  const std::string pos = dir.MakeDir("pos");
  const std::string neg = dir.MakeDir("neg");
  dir.WriteFile("pos/a.png", "truncated");
  r = Tool(PEERS_BINARY, {"svm-train", pos, neg, dir.File("svm.yml")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot read '" + pos + "/a.png'"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("svm.yml")));
}

}  // namespace
}  // namespace pedscan
