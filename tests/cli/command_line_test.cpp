// Runs the pedscan binary as a user would and checks what it prints and
// how it exits.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "../support/run_command.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::RunCommand;
using testutil::RunPedscanIn;
using testutil::ShellQuote;
using testutil::TempDir;

constexpr int kFatalStatus = 255;  // exit(-1) as the shell sees it

std::string CheckReport(int line, const std::string& message) {
  return ".\\input_parameters.cpp(InputParameters::CheckParametersConsistency." +
         std::to_string(line) + "): \n  " + message + "\n";
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A working directory with an image, a video, an image folder and a
// configuration file, shared by all tests of the suite.
class CommandLine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    cv::imwrite(dir_->File("image.png"), cv::Mat(480, 640, CV_8UC3, cv::Scalar(10, 20, 30)));
    cv::VideoWriter writer(dir_->File("video.avi"), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                           cv::Size(64, 48));
    for (int i = 0; i < 5; ++i) writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar(0, i * 40, 0)));
    writer.release();
    dir_->MakeDir("images");
    cv::imwrite(dir_->File("images/a.png"), cv::Mat(48, 64, CV_8UC3, cv::Scalar(1, 2, 3)));
    dir_->WriteFile("cfg.txt", "");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // Runs pedscan with `arguments` (shell words) inside the working directory.
  static CommandResult Pedscan(const std::string& arguments) {
    return RunPedscanIn(dir_->path(), arguments);
  }

  static TempDir* dir_;
};

TempDir* CommandLine::dir_ = nullptr;

TEST(RunCommand, CapturesOutputErrorAndStatus) {
  CommandResult result = RunCommand("echo hello; echo oops >&2; exit 3");
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "hello\n");
  EXPECT_EQ(result.err, "oops\n");
  EXPECT_EQ(RunCommand("printf 'a b'").out, "a b");
  EXPECT_EQ(RunCommand("echo " + ShellQuote("it's")).out, "it's\n");
}

TEST_F(CommandLine, HelpPrintsTheUsageWithExamplesAndExitsZero) {
  for (const char* flag : {"--help", "-h"}) {
    CommandResult result = Pedscan(flag);
    EXPECT_EQ(result.status, 0) << flag;
    EXPECT_EQ(result.err, "");
    const std::string& out = result.out;
    EXPECT_EQ(out.rfind("\npedscan (version 0.1.0)\n\n\nUSAGE: \n\n", 0), 0u) << out;
    EXPECT_TRUE(Contains(out, " {-t|-d|-u} -c <filename>"));
    EXPECT_TRUE(Contains(out, "\n\nWhere: \n\n"));
    EXPECT_TRUE(Contains(out, "threshold used to select samples for the retraining [0.900]"));
    EXPECT_TRUE(Contains(out, "filemask for the input images (separated by comma) [*.png,*.jpg]"));
    EXPECT_TRUE(Contains(out, "filename to save learned models [learnedModel]"));
    EXPECT_TRUE(Contains(out, "number of blocks to be considered to extract features [330]"));
    EXPECT_TRUE(Contains(out, "         -- OR --\n"));
    // The examples are wrapped by the library at 75 columns; the short lines
    // and the trailing blanks survive as written.
    EXPECT_TRUE(Contains(out, "   EXAMPLES:\n"));
    EXPECT_TRUE(Contains(out, "   - detection for single frame:\n"));
    EXPECT_TRUE(
        Contains(out, "   ./pedscan -d -c ExecuteParameters.txt -i wm2.ppm -o output -s -b \n"));
    EXPECT_TRUE(Contains(out, "   - detection for a region of interest:\n"));
    EXPECT_TRUE(Contains(out, "   - detection for multiple images:\n"));
    EXPECT_TRUE(
        Contains(out, "   - training considering 10-fold cross-validation and retraining: \n"));
    EXPECT_TRUE(Contains(out, "testLearning -C -F 10 -R 2\n"));
  }
}

TEST_F(CommandLine, VersionPrintsTheVersionLineAndExitsZero) {
  CommandResult result = Pedscan("--version");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string("\n") + PEDSCAN_BINARY + "  version: 0.1.0\n\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(CommandLine, ParserRejectionsExitOneWithTheParserReportOnStderr) {
  const std::vector<std::string> rejected = {
      "-c cfg.txt -i image.png -o out",                // no mode
      "-t -d -c cfg.txt -n neg -p pos",                // two modes
      "-d -i image.png -o out",                        // no -c
      "-d -i image.png -o out -c",                     // -c without its value
      "-d -c cfg.txt -c cfg.txt -i image.png -o out",  // repeated value option
      "-t -c cfg.txt -n neg -p pos -F many",           // not a number
  };
  for (const std::string& arguments : rejected) {
    CommandResult result = Pedscan(arguments);
    EXPECT_EQ(result.status, 1) << arguments;
    EXPECT_EQ(result.err.rfind("PARSE ERROR:", 0), 0u) << arguments << "\n" << result.err;
    EXPECT_TRUE(Contains(result.err, "Brief USAGE:")) << arguments;
    EXPECT_EQ(result.out, "") << arguments;
  }
}

TEST_F(CommandLine, EachInconsistentCombinationGetsItsFatalReport) {
  struct Case {
    std::string arguments;
    int line;
    std::string message;
  };
  const Case cases[] = {
      {"-t -a -c cfg.txt -n neg -p pos", 156,
       "cannot use camera input for training (must use -d parameter)"},
      {"-d -a -c cfg.txt -i image.png -o out", 159,
       "when camera is used, cannot set input files (remove -i option)"},
      {"-d -c cfg.txt -o out", 166, "must set an input file/directory (-i)"},
      {"-u -c cfg.txt -o out", 166, "must set an input file/directory (-i)"},
      {"-d -c cfg.txt -i image.png", 169, "must set an output directory set (-o)"},
      {"-u -c cfg.txt -i images -o out -n neg", 172, "can't use parameter -n in the training"},
      {"-d -c cfg.txt -i image.png -o out -p pos", 175, "can't use parameter -p in the training"},
      {"-t -c cfg.txt -p pos", 181, "must set a directory with negative images (-n)"},
      {"-t -c cfg.txt -n neg", 184, "must set a directory with positive images (-p)"},
      {"-t -c cfg.txt -n neg -p pos -i image.png", 187, "can't use parameter -i in the training"},
      {"-t -c cfg.txt -n neg -p pos -o out", 190, "can't use parameter -o in the training"},
      {"-d -c cfg.txt -i images -o out 10,10,64,128", 198,
       "ROIs only accepted when single image is considered for the input"},
      {"-d -c cfg.txt -i video.avi -o out 10,10,32,32", 198,
       "ROIs only accepted when single image is considered for the input"},
      {"-t -c cfg.txt -n neg -p pos 10,10,64,128", 198,
       "ROIs only accepted when single image is considered for the input"},
  };
  for (const Case& c : cases) {
    CommandResult result = Pedscan(c.arguments);
    EXPECT_EQ(result.status, kFatalStatus) << c.arguments;
    EXPECT_EQ(result.out, CheckReport(c.line, c.message)) << c.arguments;
  }
}

TEST_F(CommandLine, RoiTouchingTheImageBorderIsAcceptedAndOnePixelFurtherIsNot) {
  CommandResult inside = Pedscan("-d -c cfg.txt -i image.png -o out 576,352,64,128");
  EXPECT_FALSE(Contains(inside.out, "input_parameters.cpp")) << inside.out;

  CommandResult outside = Pedscan("-d -c cfg.txt -i image.png -o out 10,10,64,128 577,352,64,128");
  EXPECT_EQ(outside.status, kFatalStatus);
  EXPECT_EQ(outside.out,
            ".\\input_parameters.cpp(InputParameters::CheckROIs.118): \n"
            "  invalid ROI: 577,352,64,128 - outside of image limits (image size: 640x480)\n");
}

TEST_F(CommandLine, StrayFlagsArriveAsRoisAndEndWithTheBadRoiReport) {
  CommandResult dashR = Pedscan("-d -c cfg.txt -i image.png -o out -s -b -r 100,100,200,200");
  EXPECT_EQ(dashR.status, kFatalStatus);
  EXPECT_EQ(dashR.out,
            ".\\input_parameters.cpp(InputParameters::ParseCommandLine.96): \n"
            "  invalid ROI: -r - expected x,y,w,h (four comma-separated integers)\n");

  CommandResult bogus = Pedscan("-d -c cfg.txt -i image.png -o out --bogus");
  EXPECT_EQ(bogus.status, kFatalStatus);
  EXPECT_EQ(bogus.out,
            ".\\input_parameters.cpp(InputParameters::ParseCommandLine.96): \n"
            "  invalid ROI: --bogus - expected x,y,w,h (four comma-separated integers)\n");
}

TEST_F(CommandLine, ConsistentCommandLinesPassEveryCheck) {
  // These reach their mode; what the mode then makes of the empty
  // configuration is not this test's concern, only that neither the parser
  // nor the command-line checks object.
  const std::vector<std::string> accepted = {
      "-d -c cfg.txt -i image.png -o out -s -b",
      "-d -c cfg.txt -i image.png -o out -g -e 0,0,640,480 100,100,200,200",
      "-d -c cfg.txt -i video.avi -o out -v 0,3,1",
      "-d -c cfg.txt -i images -o out -k '*.png'",
      "-u -c cfg.txt -i images -o out",
      "-t -c cfg.txt -n neg -p pos -C -F 10 -R 2 -m testLearning",
  };
  for (const std::string& arguments : accepted) {
    CommandResult result = Pedscan(arguments);
    EXPECT_NE(result.status, 1) << arguments;
    EXPECT_FALSE(Contains(result.out, "input_parameters.cpp")) << arguments << "\n" << result.out;
    EXPECT_FALSE(Contains(result.err, "PARSE ERROR")) << arguments;
  }
}

TEST_F(CommandLine, ProbingADirectoryInputPrintsNothingOnStderr) {
  CommandResult result = Pedscan("-u -c cfg.txt -i images -o out");
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace pedscan
