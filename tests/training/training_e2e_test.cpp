// Training as a user runs it: the pedscan binary trained on drawn objects,
// with retraining and cross-validation, then detecting the objects of a scene
// it never saw; and the ways a training command line can go wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../detection/synthetic_model.h"
#include "../support/run_command.h"
#include "support/failure.h"
#include "training_fixtures.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::ReadWholeFile;
using testutil::RunCommand;
using testutil::RunPedscanIn;
using testutil::ShellQuote;
using testutil::TempDir;

namespace fs = std::filesystem;

constexpr int kFatalStatus = 255;  // exit(-1) as the shell sees it
// A found box must cover its object this well (intersection over union).
constexpr double kMinIoU = 0.5;

// The model's own object height (48) and twice that.
constexpr char kDetectConfig[] =
    "model <blob, 0, 0.9, out/model.ret02.yml>\n"
    "scale <blob, 48, 100, 0.1, 0.1, 2.0>\n";

struct Box {
  int x, y, w, h;
};

double IoU(const Box& a, const Box& b) {
  int w = std::min(a.x + a.w, b.x + b.w) - std::max(a.x, b.x);
  int h = std::min(a.y + a.h, b.y + b.h) - std::max(a.y, b.y);
  if (w <= 0 || h <= 0) return 0.0;
  double inter = static_cast<double>(w) * h;
  return inter / (static_cast<double>(a.w) * a.h + static_cast<double>(b.w) * b.h - inter);
}

std::vector<Box> ReadBoxes(const std::string& path) {
  std::vector<Box> boxes;
  std::istringstream lines(ReadWholeFile(path));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    Box box{};
    double response = 0;
    fields >> box.x >> box.y >> box.w >> box.h >> response;
    EXPECT_FALSE(fields.fail()) << "bad line '" << line << "' in " << path;
    boxes.push_back(box);
  }
  return boxes;
}

// Background clutter for the negatives: blobs that are not the object, and
// silhouettes of the wrong size.
void DrawClutter(cv::Mat& image, cv::RNG& rng) {
  for (int i = 0; i < 3; ++i) {
    cv::Point centre(rng.uniform(0, image.cols), rng.uniform(0, image.rows));
    cv::Scalar colour(rng.uniform(100, 256), rng.uniform(100, 256), rng.uniform(100, 256));
    if (rng.uniform(0, 2)) {
      cv::rectangle(image, cv::Rect(centre.x, centre.y, rng.uniform(4, 40), rng.uniform(4, 40)),
                    colour, cv::FILLED);
    } else {
      cv::circle(image, centre, rng.uniform(3, 20), colour, cv::FILLED, cv::LINE_AA);
    }
  }
  double scale = rng.uniform(0, 2) ? 0.5 : 2.0;
  cv::Size size(cvRound(24 * scale), cvRound(48 * scale));
  testutil::DrawObject(image,
                       cv::Rect(rng.uniform(0, image.cols - size.width),
                                rng.uniform(0, image.rows - size.height), size.width,
                                size.height),
                       rng);
}

// Example images and a model configuration in a directory of their own.
class TrainingData : public ::testing::Test {
 protected:
  static void MakeData() {
    dir_ = new TempDir();
    dir_->WriteFile("model.txt", testutil::kObjectConfig);
    std::string positives = dir_->MakeDir("pos");
    std::string negatives = dir_->MakeDir("neg");
    // Crops of exactly the window size, and crops two pixels larger whose
    // random windows keep the object within a pixel of its place.
    testutil::WriteImages(positives, "a", 40, 32, 64, true, cv::Rect(4, 8, 24, 48), 1, 1);
    testutil::WriteImages(positives, "b", 20, 34, 66, true, cv::Rect(5, 9, 24, 48), 0, 2);
    cv::RNG rng(3);
    for (int i = 0; i < 12; ++i) {
      cv::Mat image = testutil::NoiseImage(160, 120, rng);
      DrawClutter(image, rng);
      cv::imwrite(negatives + Format("/n%02d.png", i), image);
    }
    dir_->MakeDir("out");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // Runs pedscan with `arguments` (shell words) inside the suite's directory.
  static CommandResult Pedscan(const std::string& arguments) {
    return RunPedscanIn(dir_->path(), arguments);
  }

  static TempDir* dir_;
};

TempDir* TrainingData::dir_ = nullptr;

// One training run with retraining and cross-validation, shared by the
// tests that look at its output, its files and its model.
class TrainingEndToEnd : public TrainingData {
 protected:
  static void SetUpTestSuite() {
    MakeData();
    training_ = new CommandResult(
        Pedscan("-t -c model.txt -p pos -n neg -m out/model -I 2 -R 50 -C -F 3 -M 10"));
  }
  static void TearDownTestSuite() {
    delete training_;
    training_ = nullptr;
    TrainingData::TearDownTestSuite();
  }

  static CommandResult* training_;
};

CommandResult* TrainingEndToEnd::training_ = nullptr;

// Each piece appears after the one before it; returns the position after
// the last.
size_t ExpectInOrder(const std::string& text, const std::vector<std::string>& pieces,
                     size_t from = 0) {
  for (const std::string& piece : pieces) {
    size_t at = text.find(piece, from);
    EXPECT_NE(at, std::string::npos) << "missing, in order: '" << piece << "'";
    if (at == std::string::npos) return from;
    from = at + piece.size();
  }
  return from;
}

TEST_F(TrainingEndToEnd, RetrainingWithCrossValidationPrintsEveryStepInOrder) {
  const CommandResult& run = *training_;
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const std::vector<std::string> build = {
      "Extracting features for blocks 0 to 28 (of 29)\n",
      "Negative training images:\n\r0/12\r1/12",
      "\r11/12\n",
      "Positive training images:\n\r0/60",
      "\r59/60\n",
      "Building PLS block models:\n\r0/28\r1/28",
      "\r28/28\n",
      "Creating new PLS model: ",
      "fold: training (1 2 \b) testing: 0\n",
      "fold: training (0 2 \b) testing: 1\n",
      "fold: training (0 1 \b) testing: 2\n",
      "Cross validation results (3-fold)\n01 factors: ",
      "\n20 factors: "};
  const std::vector<std::string> sampling = {
      "Sampling detection windows for retraining...\n\r0/12", "\r11/12\n",
      "Adding ", " negative samples (with response greater than 0.900)\n"};
  size_t at = 0;
  for (int it = 0; it <= 2; ++it) {
    at = ExpectInOrder(run.out, {Format("Starting iteration (%d/2) of retraining\n", it)}, at);
    at = ExpectInOrder(run.out, build, at);
    if (it < 2) at = ExpectInOrder(run.out, sampling, at);
  }
  const std::string last = "PLS models built successfully (stored in files 'out/model.ret??.yml')\n";
  ASSERT_GE(run.out.size(), last.size());
  EXPECT_EQ(run.out.substr(run.out.size() - last.size()), last);
  EXPECT_EQ(run.out.find("Sampling", run.out.find("Starting iteration (2/2)")),
            std::string::npos);
  // Exactly one arrow per table, three tables.
  size_t arrows = 0;
  for (size_t p = run.out.find("<-\n"); p != std::string::npos; p = run.out.find("<-\n", p + 1)) {
    ++arrows;
  }
  EXPECT_EQ(arrows, 3u);
}

TEST_F(TrainingEndToEnd, OneModelFilePerIterationAndNothingElse) {
  ASSERT_EQ(training_->status, 0);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_->File("out"))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"model.ret00.yml", "model.ret01.yml",
                                             "model.ret02.yml"}));
  for (const std::string& name : names) {
    std::string text = ReadWholeFile(dir_->File("out/" + name));
    EXPECT_NE(text.find("modelID: \"blob01\""), std::string::npos) << name;
  }
}

TEST_F(TrainingEndToEnd, LastModelFindsTheObjectsOfANewScene) {
  ASSERT_EQ(training_->status, 0);
  cv::RNG rng(99);
  cv::Mat scene = testutil::NoiseImage(320, 240, rng);
  // Two objects at the model's own size on the scan grid (steps 3 and 5),
  // one twice as large on the grid of the half-size level.
  std::vector<Box> objects = {{34, 48, 24, 48}, {94, 158, 24, 48}, {248, 76, 48, 96}};
  for (const Box& o : objects) testutil::DrawObject(scene, cv::Rect(o.x, o.y, o.w, o.h), rng);
  cv::imwrite(dir_->File("scene.png"), scene);
  dir_->WriteFile("detect.txt", kDetectConfig);
  dir_->MakeDir("det");
  CommandResult result = Pedscan("-d -c detect.txt -i scene.png -o det -s");
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  std::vector<Box> found = ReadBoxes(dir_->File("det/scene.txt"));
  for (const Box& object : objects) {
    bool hit = std::any_of(found.begin(), found.end(),
                           [&](const Box& box) { return IoU(box, object) >= kMinIoU; });
    EXPECT_TRUE(hit) << "object at " << object.x << "," << object.y << " not found among "
                     << found.size() << " boxes";
  }
}

TEST_F(TrainingEndToEnd, FeatureExtractionWritesMatricesForEveryImage) {
  dir_->MakeDir("features");
  CommandResult result = Pedscan("-u -c model.txt -i neg -o features -M 2");
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  // 21 HOG blocks of 39 features and 8 co-occurrence blocks of 48.
  std::string progress;
  for (int i = 0; i < 12; ++i) progress += Format("\r%d/12", i);
  EXPECT_EQ(result.out, "Extracting features (1203 features per sample):\n" + progress + "done!\n");
  for (int i = 0; i < 12; ++i) {
    testutil::MatrixFile features =
        testutil::ReadMatrixFile(dir_->File(Format("features/n%02d.features.matrix", i)));
    testutil::MatrixFile coords =
        testutil::ReadMatrixFile(dir_->File(Format("features/n%02d.coords.matrix", i)));
    EXPECT_EQ(features.cols, 1203);
    EXPECT_EQ(coords.cols, 4);
    EXPECT_EQ(features.rows, coords.rows);
    EXPECT_GE(features.rows, 1);
    EXPECT_LE(features.rows, 2);
  }
}

// A failing training command line: its status and the report it ends with.
class TrainingFailures : public TrainingData {
 protected:
  static void SetUpTestSuite() { MakeData(); }

  static void ExpectFatal(const CommandResult& result, const std::string& message) {
    EXPECT_EQ(result.status, kFatalStatus) << result.out << result.err;
    const std::string ending = message + "\n";
    ASSERT_GE(result.out.size(), ending.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - ending.size()), ending) << result.out;
  }
};

TEST_F(TrainingFailures, MissingOrEmptyImageDirectories) {
  dir_->MakeDir("empty");
  for (const char* arguments : {"-p nowhere -n neg", "-p pos -n empty", "-p empty -n neg"}) {
    CommandResult result = Pedscan(std::string("-t -c model.txt -m out/bad ") + arguments + " -I 0");
    EXPECT_EQ(result.out, ".\\samples.cpp(Samples::ReadDirectory.58): \n  no images found!\n")
        << arguments;
    EXPECT_EQ(result.status, kFatalStatus);
  }
}

TEST_F(TrainingFailures, ImageThatDoesNotDecode) {
  std::string bad = dir_->MakeDir("bad_decode");
  testutil::WriteImages(bad, "a", 2, 32, 64, false, {}, 0, 4);
  dir_->WriteFile("bad_decode/b.png", "not a png");
  ExpectFatal(Pedscan("-t -c model.txt -p pos -n bad_decode -m out/bad -I 0"),
              "can't load image 'bad_decode/b.png'");
}

TEST_F(TrainingFailures, ImageSmallerThanTheWindow) {
  std::string small = dir_->MakeDir("small");
  testutil::WriteImages(small, "a", 1, 32, 64, false, {}, 0, 5);
  testutil::WriteImages(small, "b", 1, 31, 80, false, {}, 0, 6);
  ExpectFatal(Pedscan("-t -c model.txt -p small -n neg -m out/bad -I 0"),
              "image 'small/b00.png' (31x80) is smaller than the detection window (32x64)");
}

TEST_F(TrainingFailures, UnwritableModelPath) {
  ExpectFatal(Pedscan("-t -c model.txt -p pos -n neg -m no/such/dir/model -I 0"),
              "cannot create model files 'no/such/dir/model.ret??.yml' (No such file or directory)");
}

TEST_F(TrainingFailures, OneFoldIsRejected) {
  ExpectFatal(Pedscan("-t -c model.txt -p pos -n neg -m out/bad -C -F 1"),
              "invalid number of folds for cross-validation: 1 (use -F with at least 2)");
}

TEST_F(TrainingFailures, FailureInALaterIterationKeepsTheEarlierFiles) {
  std::string models = dir_->MakeDir("later");
  dir_->MakeDir("later/m.ret01.yml");
  CommandResult result = Pedscan("-t -c model.txt -p pos -n neg -m later/m -I 2 -M 3");
  ExpectFatal(result, "cannot write model file 'later/m.ret01.yml' (Is a directory)");
  EXPECT_NE(result.out.find("Starting iteration (1/2)"), std::string::npos);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(models)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"m.ret00.yml", "m.ret01.yml"}));
  // The earlier model still detects: it loads and scans without complaint.
  dir_->WriteFile("detect_early.txt",
                  "model <blob, 0, 0.9, later/m.ret00.yml>\nscale <blob, 48, 60, 0.1, 0.1, 2.0>\n");
  dir_->MakeDir("det_early");
  cv::RNG rng(7);
  cv::imwrite(dir_->File("early.png"), testutil::NoiseImage(64, 96, rng));
  CommandResult detect = Pedscan("-d -c detect_early.txt -i early.png -o det_early");
  EXPECT_EQ(detect.status, 0) << detect.out;
}

}  // namespace
}  // namespace pedscan
