// `export` run as a user runs it: on the result folder of a real detection
// run and on folders written in detection's file format; what it writes is
// read back by Python's json module and by OpenCV's VideoCapture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "../support/run_command.h"
#include "annotated_video.h"
#include "support/box_file.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

const std::string kChecks = std::string(PEDSCAN_SOURCE_DIR) + "/tests/tools/export_checks.py";

CommandResult Export(const std::vector<std::string>& arguments) {
  std::string command = ShellQuote(EXPORT_BINARY);
  for (const std::string& a : arguments) command += " " + ShellQuote(a);
  return RunCommand(command);
}

CommandResult PythonCheck(const std::vector<std::string>& arguments) {
  std::string command = "/usr/bin/python3 " + ShellQuote(kChecks);
  for (const std::string& a : arguments) command += " " + ShellQuote(a);
  return RunCommand(command);
}

// Writes `frames` as an MJPG AVI at 10 frames per second.
void WriteVideo(const std::string& path, const std::vector<cv::Mat>& frames) {
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                         frames.front().size());
  ASSERT_TRUE(writer.isOpened()) << path;
  for (const cv::Mat& frame : frames) writer.write(frame);
}

std::vector<cv::Mat> ReadVideo(const std::string& path, double* fps = nullptr) {
  cv::VideoCapture capture(path);
  EXPECT_TRUE(capture.isOpened()) << path;
  if (fps != nullptr) *fps = capture.get(cv::CAP_PROP_FPS);
  std::vector<cv::Mat> frames;
  cv::Mat frame;
  while (capture.read(frame)) frames.push_back(frame.clone());
  return frames;
}

// MJPG keeps colours only roughly, the more so on thin lines: a pixel counts
// as the colour when each channel is within the tolerance.
::testing::AssertionResult Near(const cv::Mat& frame, cv::Point at, cv::Scalar colour,
                                int tolerance) {
  const cv::Vec3b p = frame.at<cv::Vec3b>(at);
  for (int c = 0; c < 3; ++c) {
    if (std::abs(p[c] - static_cast<int>(colour[c])) > tolerance) {
      return ::testing::AssertionFailure()
             << "pixel " << at << " is (" << int(p[0]) << "," << int(p[1]) << "," << int(p[2])
             << "), not near " << colour;
    }
  }
  return ::testing::AssertionSuccess();
}

double MeanDifference(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat diff;
  cv::absdiff(a, b, diff);
  const cv::Scalar m = cv::mean(diff);
  return (m[0] + m[1] + m[2]) / 3;
}

// The middle of a box's left edge: on the drawn line, away from its label.
cv::Point LeftEdge(const FileBox& b) {
  return cv::Point(static_cast<int>(b.x), static_cast<int>(b.y + b.height / 2));
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// One real detection run, shared by the tests below: five copies of the
// example frame as a video, frames 1 to 3 scanned with boxes drawn (-b), and
// the result folder exported in all three forms.
class ExportOfADetectionRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const cv::Mat example =
        cv::imread(std::string(PEDSCAN_SOURCE_DIR) + "/data/example/vtest-0440.png");
    ASSERT_FALSE(example.empty());
    WriteVideo(dir_->File("walk.avi"), std::vector<cv::Mat>(5, example));
    const std::string results = dir_->MakeDir("results");
    dir_->MakeDir("out");
    const CommandResult detect = testutil::RunPedscanIn(
        PEDSCAN_SOURCE_DIR, "-d -c data/detect.txt -s -b -v 1,3,1 -i " +
                                ShellQuote(dir_->File("walk.avi")) + " -o " + ShellQuote(results));
    ASSERT_EQ(detect.status, 0) << detect.out << detect.err;
    exported_ = new CommandResult(
        Export({results, "-c", dir_->File("out/walk.json"), "-l", dir_->File("out/walk.jsonl"),
                "-a", dir_->File("out/walk.avi"), "-s", dir_->File("walk.avi")}));
  }
  static void TearDownTestSuite() {
    delete exported_;
    delete dir_;
  }
  void SetUp() override {
    ASSERT_NE(exported_, nullptr);
    ASSERT_EQ(exported_->status, 0) << exported_->out << exported_->err;
  }
  static std::string File(const std::string& name) { return dir_->File(name); }

  static TempDir* dir_;
  static CommandResult* exported_;
};

TempDir* ExportOfADetectionRun::dir_ = nullptr;
CommandResult* ExportOfADetectionRun::exported_ = nullptr;

TEST_F(ExportOfADetectionRun, JsonFilesLoadInPythonWithTheBoxesOfTheTextFiles) {
  // Detection names the frames of walk.avi walk00000001 ... walk00000003.
  for (int n = 1; n <= 3; ++n)
    EXPECT_TRUE(std::filesystem::exists(File("results/walk0000000" + std::to_string(n) + ".txt")));
  const CommandResult coco = PythonCheck(
      {"coco", File("results"), "object", File("out/walk.json"), File("out/walk.meta.json")});
  EXPECT_EQ(coco.status, 0) << coco.out << coco.err;
  EXPECT_NE(coco.out.find("OK "), std::string::npos) << coco.out;
  EXPECT_EQ(coco.out.find("OK 0\n"), std::string::npos) << "the example frame has people";
  const CommandResult lines =
      PythonCheck({"jsonl", File("results"), "object", File("out/walk.jsonl")});
  EXPECT_EQ(lines.status, 0) << lines.out << lines.err;
  EXPECT_EQ(lines.out, coco.out);  // the same boxes
}

TEST_F(ExportOfADetectionRun, AnnotatedVideoIsTheSourceWithTheBoxesInDetectionsColour) {
  double fps = 0;
  const std::vector<cv::Mat> source = ReadVideo(File("walk.avi"));
  const std::vector<cv::Mat> annotated = ReadVideo(File("out/walk.avi"), &fps);
  ASSERT_EQ(annotated.size(), 5u);
  EXPECT_EQ(annotated[0].size(), cv::Size(384, 256));
  EXPECT_DOUBLE_EQ(fps, 10);
  // Frames 0 and 4 were not scanned: copied, up to MJPG's loss.
  EXPECT_LT(MeanDifference(annotated[0], source[0]), 2.0);
  EXPECT_LT(MeanDifference(annotated[4], source[4]), 2.0);
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    const std::string name = "results/walk0000000" + std::to_string(n);
    const std::vector<FileBox> boxes = ReadBoxFile(File(name + ".txt"), true);
    ASSERT_FALSE(boxes.empty());
    EXPECT_GT(MeanDifference(annotated[n], source[n]), 2.0);
    // Detection's own drawing has the first type's colour on the same edge.
    const cv::Mat drawn = cv::imread(File(name + ".png"));
    for (const FileBox& b : boxes) {
      const cv::Vec3b d = drawn.at<cv::Vec3b>(LeftEdge(b));
      EXPECT_EQ(cv::Scalar(d[0], d[1], d[2]), exporting::TypeColour(0));
      EXPECT_TRUE(Near(annotated[n], LeftEdge(b), exporting::TypeColour(0), 30));
    }
  }
}

// Two object types, as detection writes them: "<frame>.<type>.txt".
class ExportOfSeveralTypes : public ::testing::Test {
 protected:
  void SetUp() override {
    results_ = dir_.MakeDir("results");
    // clip2.avi: a stem that ends in a digit, before the eight of the frame.
    std::vector<cv::Mat> frames(4, cv::Mat(120, 160, CV_8UC3, cv::Scalar(128, 128, 128)));
    WriteVideo(dir_.File("clip2.avi"), frames);
    dir_.WriteFile("results/clip200000001.car.txt", "10 20 50 40 1.25\n");
    dir_.WriteFile("results/clip200000001.person.txt", "90 30 30 70 0.8125\n");
    dir_.WriteFile("results/clip200000002.car.txt", "");
    dir_.WriteFile("results/clip200000002.person.txt", "90 30 30 70 0.5\n100 10 40 90 0.75\n");
    dir_.MakeDir("out");
  }
  TempDir dir_;
  std::string results_;
};

TEST_F(ExportOfSeveralTypes, TypesAreCategoriesInDetectionsOrderAndColours) {
  const CommandResult r =
      Export({results_, "-c", dir_.File("out/r.json"), "-l", dir_.File("out/r.jsonl"), "-a",
              dir_.File("out/r.avi"), "-s", dir_.File("clip2.avi")});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const CommandResult coco = PythonCheck(
      {"coco", results_, "car,person", dir_.File("out/r.json"), dir_.File("out/r.meta.json")});
  EXPECT_EQ(coco.out, "OK 4\n") << coco.err;
  const CommandResult lines =
      PythonCheck({"jsonl", results_, "car,person", dir_.File("out/r.jsonl")});
  EXPECT_EQ(lines.out, "OK 4\n") << lines.err;

  const std::vector<cv::Mat> video = ReadVideo(dir_.File("out/r.avi"));
  ASSERT_EQ(video.size(), 4u);
  EXPECT_TRUE(Near(video[1], {10, 40}, exporting::TypeColour(0), 40));  // car
  EXPECT_TRUE(Near(video[1], {90, 65}, exporting::TypeColour(1), 40));  // person
  EXPECT_TRUE(Near(video[2], {100, 55}, exporting::TypeColour(1), 40));
  EXPECT_TRUE(Near(video[2], {10, 40}, cv::Scalar(128, 128, 128), 8));  // no car there
  const cv::Mat grey(120, 160, CV_8UC3, cv::Scalar(128, 128, 128));
  for (int n : {0, 3}) EXPECT_LT(MeanDifference(video[n], grey), 1.5) << n;
}

TEST_F(ExportOfSeveralTypes, NamedTypesOverrideWhatTheNamesSuggest) {
  // One type whose frame names have dots: every file is one frame.
  const CommandResult r = Export({results_, "-t", "vehicle", "-l", dir_.File("out/r.jsonl")});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("4 frames, 4 boxes, types: vehicle"), std::string::npos) << r.out;
  const std::string text = testutil::ReadWholeFile(dir_.File("out/r.jsonl"));
  EXPECT_NE(text.find(R"({"frame":null,"name":"clip200000001.car","types":["vehicle"],)"
                      R"("boxes":[[10,20,50,40]],"scores":[1.25]})"),
            std::string::npos)
      << text;
  // Types that the files do not have are refused with the file.
  const CommandResult wrong = Export({results_, "-t", "bus,tram", "-l", dir_.File("out/w.jsonl")});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(
      wrong.out.find("clip200000001.car.txt: not a result file of the object types bus, tram"),
      std::string::npos)
      << wrong.out;
}

TEST_F(ExportOfSeveralTypes, Mp4IsWrittenOrRefusedClearly) {
  const CommandResult r =
      Export({results_, "-a", dir_.File("out/r.mp4"), "-s", dir_.File("clip2.avi")});
  if (r.status == 0) {
    EXPECT_EQ(ReadVideo(dir_.File("out/r.mp4")).size(), 4u);
  } else {
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("cannot encode mp4v"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir_.File("out/r.mp4")));
  }
  for (const std::string& name : FilesIn(dir_.File("out")))
    EXPECT_EQ(name.find(".partial-"), std::string::npos) << name;
}

TEST(ExportRefuses, BadInputOrOutputWithAMessageAndNoOutputUnderItsName) {
  TempDir dir;
  const std::string good = dir.MakeDir("good");
  dir.WriteFile("good/0001.txt", "1 2 30 40 0.5\n");
  dir.WriteFile("good/0002.txt", "5 6 30 40 0.25\n");
  const std::string bad = dir.MakeDir("bad");
  dir.WriteFile("bad/0001.txt", "1 2 30 40 0.5\n\n5 6 x 8 0.1\n");
  WriteVideo(dir.File("two.avi"),
             std::vector<cv::Mat>(2, cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(90))));
  const std::string notVideo = dir.WriteFile("notvideo.avi", "these are not frames\n");
  const std::string out = dir.MakeDir("out");
  // An earlier complete output stays as it was.
  dir.WriteFile("out/keep.json", "[]\n");
  struct Case {
    std::vector<std::string> arguments;
    std::string named;  // in the report
  };
  const std::vector<Case> cases = {
      {{bad, "-c", out + "/keep.json", "-l", out + "/a.jsonl"}, bad + "/0001.txt:3: malformed"},
      {{dir.File("absent"), "-c", out + "/a.json"},
       "result folder '" + dir.File("absent") + "' does not exist"},
      {{dir.MakeDir("empty"), "-l", out + "/a.jsonl"}, "no result files"},
      {{good, "-a", out + "/a.avi", "-s", notVideo}, "cannot open video '" + notVideo + "'"},
      {{good, "-a", out + "/a.avi", "-s", dir.File("absent.avi")}, "does not exist"},
      {{good, "-a", out + "/a.mkv", "-s", dir.File("two.avi")}, ".avi (MJPG) or <name>.mp4"},
      // Frame 2 of a two-frame video: the wrong video for these results.
      {{good, "-a", out + "/a.avi", "-s", dir.File("two.avi")}, "names frame 2, but"},
      {{good, "-c", dir.File("absent/a.json")}, "cannot write '" + dir.File("absent/a.meta.json")},
      {{good, "-a", dir.File("absent/a.avi"), "-s", dir.File("two.avi")},
       "cannot write '" + dir.File("absent/a.avi") + "' (No such file or directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.named);
    const CommandResult r = Export(c.arguments);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find(c.named), std::string::npos) << r.out << r.err;
  }
  EXPECT_EQ(FilesIn(out), std::vector<std::string>{"keep.json"});
  EXPECT_EQ(testutil::ReadWholeFile(out + "/keep.json"), "[]\n");

  // A command line that names no output, or half of the video pair: status 1.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{good},
        {good, "-a", out + "/a.avi"},
        {good, "-s", dir.File("two.avi"), "-l", out + "/a.jsonl"}}) {
    EXPECT_EQ(Export(arguments).status, 1);
  }
}

}  // namespace
}  // namespace pedscan
