#include "app/input_parameters.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <optional>
#include <string>
#include <vector>

#include "../support/run_command.h"
#include "support/failure.h"

namespace pedscan {
namespace {

using testutil::TempDir;

// Parses `words` as the command line after the program name.
void Parse(InputParameters& parameters, const std::vector<std::string>& words) {
  std::vector<const char*> argv{"pedscan"};
  for (const std::string& word : words) argv.push_back(word.c_str());
  parameters.ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

// The failure that parsing `words` ends with, if any.
std::optional<Failure> ParseFailure(const std::vector<std::string>& words) {
  InputParameters parameters;
  try {
    Parse(parameters, words);
  } catch (const Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

std::string CheckReport(int line, const std::string& message) {
  return ".\\input_parameters.cpp(InputParameters::CheckParametersConsistency." +
         std::to_string(line) + "): \n  " + message + "\n";
}

// Inputs of every kind, made once for the whole suite.
class InputParametersFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    cv::imwrite(dir_->File("image.png"), cv::Mat(480, 640, CV_8UC3, cv::Scalar(40, 80, 120)));
    cv::VideoWriter writer(dir_->File("video.avi"), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                           cv::Size(64, 48));
    for (int i = 0; i < 5; ++i) writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar(i * 40, 0, 0)));
    writer.release();
    dir_->MakeDir("images");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string Image() { return dir_->File("image.png"); }
  static std::string Video() { return dir_->File("video.avi"); }
  static std::string Directory() { return dir_->File("images"); }

  static TempDir* dir_;
};

TempDir* InputParametersFiles::dir_ = nullptr;

TEST(InputParameters, FreshRecordHoldsTheDefaults) {
  InputParameters parameters;
  EXPECT_EQ(parameters.filemask, "*.png,*.jpg");
  EXPECT_EQ(parameters.configfile, "");
  EXPECT_EQ(parameters.nSampIm, 1);
  EXPECT_EQ(parameters.nRetIt, 4);
  EXPECT_EQ(parameters.samplesIt, 1000);
  EXPECT_EQ(parameters.seed, 0);
  EXPECT_EQ(parameters.nblockIt, 330);
  EXPECT_FALSE(parameters.rawFeatures);
  EXPECT_EQ(parameters.nfactBlock, 5);
  EXPECT_FALSE(parameters.cv);
  EXPECT_EQ(parameters.nfolds, 20);
  EXPECT_EQ(parameters.ThRetraining, 0.9f);
  EXPECT_EQ(parameters.shift, 16);
  EXPECT_EQ(parameters.modelFile, "learnedModel");
  EXPECT_EQ(parameters.rois, nullptr);
  EXPECT_EQ(parameters.videoFirst, 0);
  EXPECT_EQ(parameters.videoLast, -1);
  EXPECT_EQ(parameters.videoStep, 1);
  EXPECT_FALSE(parameters.isDirectory || parameters.isImage || parameters.isVideo ||
               parameters.camera);
}

TEST(InputParameters, TrainingCommandLineCopiesEveryValueIntoItsField) {
  InputParameters parameters;
  Parse(parameters, {"-t", "-c", "train.txt", "-n",  "neg",   "-p", "pos", "-M", "3",  "-I",   "2",
                     "-R", "50", "-B",        "100", "-f",    "7",  "-z",  "-1", "-T", "0.75", "-S",
                     "8",  "-m", "mine",      "-k",  "*.bmp", "-C", "-F",  "5",  "-w"});
  EXPECT_TRUE(parameters.training);
  EXPECT_FALSE(parameters.detection);
  EXPECT_FALSE(parameters.features);
  EXPECT_EQ(parameters.configfile, "train.txt");
  EXPECT_EQ(parameters.negative, "neg");
  EXPECT_EQ(parameters.positive, "pos");
  EXPECT_EQ(parameters.nSampIm, 3);
  EXPECT_EQ(parameters.nRetIt, 2);
  EXPECT_EQ(parameters.samplesIt, 50);
  EXPECT_EQ(parameters.nblockIt, 100);
  EXPECT_EQ(parameters.nfactBlock, 7);
  EXPECT_EQ(parameters.seed, -1);
  EXPECT_EQ(parameters.ThRetraining, 0.75f);
  EXPECT_EQ(parameters.shift, 8);
  EXPECT_EQ(parameters.modelFile, "mine");
  EXPECT_EQ(parameters.filemask, "*.bmp");
  EXPECT_TRUE(parameters.cv);
  EXPECT_EQ(parameters.nfolds, 5);
  EXPECT_TRUE(parameters.rawFeatures);
  // The list exists even without positional values.
  ASSERT_NE(parameters.rois, nullptr);
  EXPECT_TRUE(parameters.rois->empty());
  // Training never classifies an input.
  EXPECT_FALSE(parameters.isDirectory || parameters.isImage || parameters.isVideo);
}

TEST_F(InputParametersFiles, DetectionSwitchesAreStoredAndTheImageIsClassified) {
  InputParameters parameters;
  Parse(parameters, {"--detection", "--configfile", "run.txt", "-i", Image(), "-o", "out", "-b",
                     "-e", "-s", "-g"});
  EXPECT_TRUE(parameters.detection);
  EXPECT_EQ(parameters.configfile, "run.txt");
  EXPECT_EQ(parameters.output, "out");
  EXPECT_TRUE(parameters.drawBB);
  EXPECT_TRUE(parameters.drawEllipse);
  EXPECT_TRUE(parameters.nonMaxSup);
  EXPECT_TRUE(parameters.stageNonMaxSup);
  EXPECT_TRUE(parameters.isImage);
  EXPECT_FALSE(parameters.isVideo || parameters.isDirectory || parameters.camera);
}

TEST_F(InputParametersFiles, InputIsClassifiedAsVideoOrDirectoryAndCameraSetsNoKind) {
  InputParameters video;
  Parse(video, {"-d", "-c", "run.txt", "-i", Video(), "-o", "out"});
  EXPECT_TRUE(video.isVideo);
  EXPECT_FALSE(video.isImage || video.isDirectory);

  InputParameters directory;
  Parse(directory, {"-u", "-c", "run.txt", "-i", Directory(), "-o", "out"});
  EXPECT_TRUE(directory.features);
  EXPECT_TRUE(directory.isDirectory);
  EXPECT_FALSE(directory.isImage || directory.isVideo);

  InputParameters camera;
  Parse(camera, {"-d", "-a", "-c", "run.txt", "-o", "out"});
  EXPECT_TRUE(camera.camera);
  EXPECT_FALSE(camera.isImage || camera.isVideo || camera.isDirectory);
}

TEST_F(InputParametersFiles, InputThatReadsAsNothingIsAPlainMessageNamingIt) {
  // The command-line tests run every kind of broken input; these are the
  // rules that tell the three messages apart.
  TempDir dir;
  std::vector<uchar> png;
  ASSERT_TRUE(cv::imencode(".png", cv::Mat(48, 64, CV_8UC3, cv::Scalar(9, 99, 199)), png));
  const std::string truncated(png.begin(), png.begin() + png.size() / 2);
  const std::string cases[][2] = {
      {dir.File("absent.png"), "input '" + dir.File("absent.png") + "' does not exist\n"},
      // An image signature without an image extension is still an image.
      {dir.WriteFile("half", truncated), "can't load image '" + dir.File("half") + "'\n"},
      {dir.WriteFile("noise.avi", std::string(4096, '\x5a')),
       "can't read input '" + dir.File("noise.avi") + "' as an image or a video\n"},
  };
  for (const auto& [path, message] : cases) {
    std::optional<Failure> failure = ParseFailure({"-d", "-c", "run.txt", "-i", path, "-o", "out"});
    ASSERT_TRUE(failure.has_value()) << path;
    EXPECT_EQ(failure->form(), Failure::Form::kPlain);
    EXPECT_EQ(failure->status(), 2);
    EXPECT_EQ(failure->text(), message);
  }
  // The input is judged before the regions that would be cut from it.
  std::optional<Failure> withRoi =
      ParseFailure({"-d", "-c", "run.txt", "-i", dir.File("half"), "-o", "out", "0,0,4,4"});
  ASSERT_TRUE(withRoi.has_value());
  EXPECT_EQ(withRoi->text(), "can't load image '" + dir.File("half") + "'\n");
}

TEST_F(InputParametersFiles, TwoRoisAreParsedInOrderWithWidthAndHeightInTheirFields) {
  InputParameters parameters;
  Parse(parameters,
        {"-d", "-c", "run.txt", "-i", Image(), "-o", "out", "10,10,64,128", "200,20,64,128"});
  ASSERT_NE(parameters.rois, nullptr);
  ASSERT_EQ(parameters.rois->size(), 2u);
  const ROI& first = (*parameters.rois)[0];
  EXPECT_EQ(first.x, 10);
  EXPECT_EQ(first.y, 10);
  EXPECT_EQ(first.width, 64);
  EXPECT_EQ(first.height, 128);
  EXPECT_EQ(first.x1, -1);
  EXPECT_EQ(first.y1, -1);
  const ROI& second = (*parameters.rois)[1];
  EXPECT_EQ(second.x, 200);
  EXPECT_EQ(second.y, 20);
  EXPECT_EQ(second.width, 64);
  EXPECT_EQ(second.height, 128);
}

TEST_F(InputParametersFiles, VideoInfoSetsOnlyTheFieldsItSupplies) {
  struct Case {
    std::string text;
    int first, last, step;
  };
  const Case cases[] = {
      {"10", 10, -1, 1}, {"10,100,5", 10, 100, 5}, {"7,x,3", 7, -1, 1},
      {"abc", 0, -1, 1}, {"-3,-1,0", -3, -1, 0},
  };
  for (const Case& c : cases) {
    InputParameters parameters;
    Parse(parameters, {"-d", "-c", "run.txt", "-i", Video(), "-o", "out", "-v", c.text});
    EXPECT_EQ(parameters.videoFirst, c.first) << c.text;
    EXPECT_EQ(parameters.videoLast, c.last) << c.text;
    EXPECT_EQ(parameters.videoStep, c.step) << c.text;
  }
}

TEST(InputParameters, PositionalValueThatIsNotFourIntegersIsAFatalReportNamingIt) {
  const std::vector<std::string> bad = {
      "-r",     "--bogus", "1,2,3",     "1,2,3,4x", "1,2,3,4,5",          "a,b,c,d",
      "1,,3,4", "1,2,+,4", "1.5,2,3,4", "1, 2,3,4", "99999999999,0,10,10"};
  for (const std::string& value : bad) {
    // Training mode: the value is judged before any check or input is read.
    std::optional<Failure> failure =
        ParseFailure({"-t", "-c", "train.txt", "-n", "neg", "-p", "pos", value});
    ASSERT_TRUE(failure.has_value()) << value;
    EXPECT_EQ(failure->status(), -1);
    EXPECT_EQ(failure->text(),
              ".\\input_parameters.cpp(InputParameters::ParseCommandLine.96): \n"
              "  invalid ROI: " +
                  value + " - expected x,y,w,h (four comma-separated integers)\n");
  }
}

TEST(InputParameters, RoiWithoutAreaIsAFatalReportNamingIt) {
  for (const std::string value : {"1,2,0,5", "1,2,5,0", "1,2,-4,5"}) {
    std::optional<Failure> failure =
        ParseFailure({"-t", "-c", "train.txt", "-n", "neg", "-p", "pos", value});
    ASSERT_TRUE(failure.has_value()) << value;
    EXPECT_EQ(failure->status(), -1);
    EXPECT_EQ(failure->text(),
              ".\\input_parameters.cpp(InputParameters::ParseCommandLine.99): \n"
              "  invalid ROI: " +
                  value + " - width and height must be at least 1\n");
  }
}

TEST(InputParameters, SignedFieldsAreReadAndLeftToTheImageCheck) {
  // A negative corner is a well-formed value; it is the image check that
  // rejects it, and only an image input gets that far.
  std::optional<Failure> failure =
      ParseFailure({"-t", "-c", "train.txt", "-n", "neg", "-p", "pos", "-5,+3,10,10"});
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->text(),
            CheckReport(198, "ROIs only accepted when single image is considered for the input"));
}

TEST(InputParameters, RoiTouchingTheBorderIsAcceptedAndOnePixelFurtherIsNot) {
  const cv::Mat image(480, 640, CV_8UC3);
  auto check = [&](ROI roi) -> std::string {
    InputParameters parameters;
    parameters.rois = std::make_unique<std::vector<ROI>>(std::vector<ROI>{roi});
    try {
      parameters.CheckROIs(image);
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.status(), -1);
      return failure.text();
    }
    return "";
  };
  auto roi = [](int x, int y, int w, int h) {
    ROI r;
    r.x = x;
    r.y = y;
    r.width = w;
    r.height = h;
    return r;
  };
  const std::string prefix = ".\\input_parameters.cpp(InputParameters::CheckROIs.118): \n  ";
  EXPECT_EQ(check(roi(576, 352, 64, 128)), "");
  EXPECT_EQ(check(roi(0, 0, 640, 480)), "");
  EXPECT_EQ(
      check(roi(577, 352, 64, 128)),
      prefix + "invalid ROI: 577,352,64,128 - outside of image limits (image size: 640x480)\n");
  EXPECT_EQ(
      check(roi(576, 353, 64, 128)),
      prefix + "invalid ROI: 576,353,64,128 - outside of image limits (image size: 640x480)\n");
  EXPECT_EQ(check(roi(-1, 0, 10, 10)),
            prefix + "invalid ROI: -1,0,10,10 - outside of image limits (image size: 640x480)\n");
  EXPECT_EQ(check(roi(0, -1, 10, 10)),
            prefix + "invalid ROI: 0,-1,10,10 - outside of image limits (image size: 640x480)\n");
  // A corner beyond the 32-bit range must not wrap around into the image.
  EXPECT_NE(check(roi(2147483647, 0, 10, 10)), "");
}

TEST(InputParameters, FirstRejectedRoiEndsTheCheck) {
  const cv::Mat image(100, 100, CV_8UC3);
  InputParameters parameters;
  ROI good, bad1, bad2;
  good.width = good.height = 10;
  bad1.x = 95;
  bad1.width = bad1.height = 10;
  bad2.y = 95;
  bad2.width = bad2.height = 10;
  parameters.rois = std::make_unique<std::vector<ROI>>(std::vector<ROI>{good, bad1, bad2});
  try {
    parameters.CheckROIs(image);
    FAIL() << "no ROI rejected";
  } catch (const Failure& failure) {
    EXPECT_NE(failure.text().find("invalid ROI: 95,0,10,10 "), std::string::npos);
  }
}

TEST(InputParameters, ParserRejectionsCarryTheParserReportWithStatusOne) {
  const std::vector<std::vector<std::string>> rejected = {
      {"-c", "cfg.txt", "-i", "a.png", "-o", "out"},             // no mode
      {"-t", "-d", "-c", "cfg.txt"},                             // two modes
      {"-d", "-i", "a.png", "-o", "out"},                        // no -c
      {"-d", "-o", "out", "-c"},                                 // -c without value
      {"-d", "-c", "a.txt", "-c", "b.txt", "-i", "a.png"},       // repeated value option
      {"-t", "-c", "cfg.txt", "-n", "n", "-p", "p", "-M", "x"},  // not a number
  };
  for (const std::vector<std::string>& words : rejected) {
    std::optional<Failure> failure = ParseFailure(words);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->form(), Failure::Form::kParser);
    EXPECT_EQ(failure->status(), 1);
    EXPECT_EQ(failure->text().rfind("PARSE ERROR:", 0), 0u) << failure->text();
    EXPECT_NE(failure->text().find("Brief USAGE:"), std::string::npos);
  }
}

TEST(InputParameters, CameraInTrainingFailsBeforeAnyOtherCheck) {
  // -i and -o are also wrong in training, and -n/-p are missing, but the
  // camera check comes first.
  std::optional<Failure> failure =
      ParseFailure({"-t", "-a", "-c", "cfg.txt", "-i", "x.png", "-o", "out"});
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->status(), -1);
  EXPECT_EQ(failure->text(),
            CheckReport(156, "cannot use camera input for training (must use -d parameter)"));
}

TEST(InputParameters, RoiWithTheCameraFailsTheRoiCheck) {
  std::optional<Failure> failure =
      ParseFailure({"-d", "-a", "-c", "cfg.txt", "-o", "out", "0,0,10,10"});
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->text(),
            CheckReport(198, "ROIs only accepted when single image is considered for the input"));
}

}  // namespace
}  // namespace pedscan
