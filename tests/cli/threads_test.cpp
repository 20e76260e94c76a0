// Every thread count gives the same run: the result files, the drawn images
// and what is printed (but for the timing figures) of -j 2 and of -j 7 (more
// threads than cores) are those of -j 1, on the bundled models and the
// example frame, as an image, a video, a directory and regions, with one
// type or two and with one stage or two, and when a middle frame fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "../support/run_command.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::ReadWholeFile;
using testutil::RunPedscanIn;
using testutil::TempDir;

namespace fs = std::filesystem;

const std::string kSource = PEDSCAN_SOURCE_DIR;

// What a run leaves: its status, its standard output without the timing
// figures, and every file of its output directory by name.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::string> files;
};

class Threads : public ::testing::Test {
 protected:
  void SetUp() override {
    example_ = cv::imread(kSource + "/data/example/vtest-0440.png", cv::IMREAD_COLOR);
    ASSERT_FALSE(example_.empty());
    const std::string models = kSource + "/data/models/";
    // The bundled configuration, its models found from anywhere: its
    // stored answer is the one to give.
    std::string cascade = ReadWholeFile(kSource + "/data/detect.txt");
    for (size_t at = cascade.find("data/models/"); at != std::string::npos;
         at = cascade.find("data/models/", at + models.size())) {
      cascade.replace(at, std::string("data/models/").size(), models);
    }
    dir_.WriteFile("cascade.txt", cascade);
    // Two types, one of them with a single stage, at scales of their own.
    dir_.WriteFile("two_types.txt", "model <person, 0, 0.4, " + models + "person-hog.yml>\n" +
                                        "model <person, 1, 0.6, " + models + "person-full.yml>\n" +
                                        "model <walker, 0, 0.5, " + models + "person-full.yml>\n" +
                                        "scale <person, 50, 150, 0.2, 0.1, 1.15>\n" +
                                        "scale <walker, 60, 120, 0.15, 0.15, 1.2>\n");
    ASSERT_TRUE(cv::imwrite(dir_.File("frame.png"), example_));
  }

  // Runs pedscan with `arguments` and -j `threads` into a fresh output
  // directory (made by `prepare`, when given, before the run).
  RunResult RunWith(const std::string& arguments, int threads,
              const std::function<void(const std::string&)>& prepare = nullptr) {
    // Named alike for every run, so that messages naming a result compare.
    const std::string out = dir_.File("out");
    fs::remove_all(out);
    fs::create_directories(out);
    if (prepare) prepare(out);
    CommandResult result =
        RunPedscanIn(dir_.path(), arguments + " -o out -j " + std::to_string(threads));
    RunResult run;
    run.status = result.status;
    static const std::regex timing(R"(\([ 0-9.]+ det/s\) \([ 0-9.]+ s/frame\))");
    run.out = std::regex_replace(result.out, timing, "(timing)");
    run.err = result.err;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      const std::string name = fs::relative(entry.path(), out).string();
      run.files[name] = entry.is_regular_file() ? ReadWholeFile(entry.path().string()) : "<dir>";
    }
    return run;
  }

  // -j 2 and -j 7 against -j 1; returns the single-thread run.
  RunResult ExpectSameForEveryThreadCount(const std::string& arguments,
                                    const std::function<void(const std::string&)>& prepare =
                                        nullptr) {
    RunResult one = RunWith(arguments, 1, prepare);
    for (int threads : {2, 7}) {
      RunResult many = RunWith(arguments, threads, prepare);
      EXPECT_EQ(many.status, one.status) << arguments << " -j " << threads;
      EXPECT_EQ(many.out, one.out) << arguments << " -j " << threads;
      EXPECT_EQ(many.err, one.err) << arguments << " -j " << threads;
      EXPECT_EQ(many.files.size(), one.files.size()) << arguments << " -j " << threads;
      for (const auto& [name, contents] : one.files) {
        auto found = many.files.find(name);
        if (found == many.files.end()) {
          ADD_FAILURE() << name << " missing with -j " << threads;
        } else {
          EXPECT_TRUE(found->second == contents) << name << " differs with -j " << threads;
        }
      }
    }
    return one;
  }

  TempDir dir_;
  cv::Mat example_;
};

TEST_F(Threads, ImageWithTheBundledCascadeAndTwoTypes) {
  RunResult one = ExpectSameForEveryThreadCount("-d -c cascade.txt -i frame.png -s -b");
  EXPECT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files["frame.txt"],
            ReadWholeFile(kSource + "/tests/data/vtest-0440.suppressed.txt"));
  one = ExpectSameForEveryThreadCount("-d -c two_types.txt -i frame.png -b -e");
  EXPECT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files.count("frame.person.txt"), 1u);
  EXPECT_EQ(one.files.count("frame.walker.txt"), 1u);
  EXPECT_EQ(one.files.count("frame.png"), 1u);
}

TEST_F(Threads, VideoRangeDirectoryAndRegions) {
  {
    cv::VideoWriter writer(dir_.File("clip.avi"), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 5,
                           cv::Size(320, 240));
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 4; ++i) writer.write(example_(cv::Rect(16 * i, 8, 320, 240)).clone());
  }
  RunResult one = ExpectSameForEveryThreadCount("-d -c cascade.txt -i clip.avi -s -b -v 1,3,1");
  EXPECT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files.size(), 6u);

  fs::create_directories(dir_.File("images"));
  for (int i = 0; i < 3; ++i) {
    cv::imwrite(dir_.File("images/f" + std::to_string(i) + ".png"),
                example_(cv::Rect(0, 4 * i, 360, 240)));
  }
  one = ExpectSameForEveryThreadCount("-d -c cascade.txt -i images -s -b");
  EXPECT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files.size(), 6u);

  one = ExpectSameForEveryThreadCount("-d -c cascade.txt -i frame.png -b 0,0,200,256 150,0,234,256");
  EXPECT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files.size(), 3u);  // one text file, two drawn regions
}

TEST_F(Threads, FailureOnAMiddleFrameLeavesWhatOneThreadLeaves) {
  fs::create_directories(dir_.File("three"));
  for (int i = 0; i < 3; ++i) {
    cv::imwrite(dir_.File("three/f" + std::to_string(i) + ".png"),
                example_(cv::Rect(8 * i, 0, 360, 256)));
  }
  // The middle frame's drawn image cannot be written.
  auto blockMiddle = [](const std::string& out) { fs::create_directories(out + "/f1.png"); };
  RunResult one = RunWith("-d -c cascade.txt -i three -s -b", 1, blockMiddle);
  RunResult four = RunWith("-d -c cascade.txt -i three -s -b", 4, blockMiddle);
  EXPECT_EQ(one.status, 255);
  EXPECT_EQ(four.status, one.status);
  EXPECT_EQ(four.out, one.out);
  EXPECT_EQ(four.err, one.err);
  EXPECT_EQ(four.files, one.files);
  EXPECT_EQ(one.files.count("f0.txt"), 1u);
  EXPECT_EQ(one.files.count("f1.txt"), 0u);
  EXPECT_EQ(one.files.count("f2.txt"), 0u);

  // A middle frame that cannot be read, met while frames are read ahead.
  std::ofstream(dir_.File("three/f1.png"), std::ios::binary) << "not an image";
  one = RunWith("-d -c cascade.txt -i three -s", 1);
  four = RunWith("-d -c cascade.txt -i three -s", 4);
  EXPECT_EQ(one.status, 2);
  EXPECT_EQ(four.status, one.status);
  EXPECT_EQ(four.out, one.out);
  EXPECT_EQ(four.err, one.err);
  EXPECT_EQ(four.files, one.files);
  EXPECT_EQ(one.files.size(), 1u);  // f0.txt only
}

TEST_F(Threads, PaddingAndStageSuppressionOnSeveralFramesOfTwoTypes) {
  // A person cut by the bottom of the frame: the example's lower half.
  ASSERT_TRUE(cv::imwrite(dir_.File("cut.png"), example_(cv::Rect(0, 0, example_.cols, 100))));
  RunResult one = ExpectSameForEveryThreadCount("-d -c two_types.txt -i . -g -P 24 -b");
  ASSERT_EQ(one.status, 0) << one.out;
  int boxes = 0;
  for (const auto& [name, contents] : one.files) {
    if (name.size() < 4 || name.substr(name.size() - 4) != ".txt") continue;
    const cv::Mat image = cv::imread(dir_.File(name.substr(0, name.find('.')) + ".png"));
    std::istringstream lines(contents);
    for (int x, y, w, h; lines >> x >> y >> w >> h;) {
      double response;
      lines >> response;
      ++boxes;
      EXPECT_TRUE(x >= 0 && y >= 0 && x + w <= image.cols && y + h <= image.rows)
          << name << ": " << x << " " << y << " " << w << " " << h;
    }
  }
  EXPECT_GT(boxes, 0);
}

TEST_F(Threads, APaddingOutsideZeroToTenThousandIsRefusedByName) {
  for (const char* pad : {"-1", "10001"}) {
    CommandResult result = RunPedscanIn(dir_.path(), std::string("-d -c cascade.txt -i frame.png -o . -P ") + pad);
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.out.find(std::string("invalid padding: ") + pad), std::string::npos) << result.out;
  }
}

TEST_F(Threads, PlacedBoxesAtAnotherOverlapOnSeveralFramesOfTwoTypes) {
  ASSERT_TRUE(cv::imwrite(dir_.File("cut.png"), example_(cv::Rect(0, 0, example_.cols, 100))));
  RunResult placed = ExpectSameForEveryThreadCount("-d -c two_types.txt -i . -g -P 24 -O 0.3 -L");
  ExpectSameForEveryThreadCount("-d -c two_types.txt -i . -g -P 24 -O 0.3 -L -K 0.5");
  ExpectSameForEveryThreadCount("-d -c two_types.txt -i . -g -P 24 -G 0.3 -L -K 0.5");
  ASSERT_EQ(placed.status, 0) << placed.out;
  // The same boxes are kept with the same responses; placing moves them.
  RunResult kept = RunWith("-d -c two_types.txt -i . -g -P 24 -O 0.3", 1);
  ASSERT_EQ(kept.files.size(), placed.files.size());
  bool moved = false;
  for (const auto& [name, contents] : kept.files) {
    std::istringstream a(contents), b(placed.files[name]);
    std::string lineA, lineB;
    while (std::getline(a, lineA)) {
      ASSERT_TRUE(std::getline(b, lineB)) << name;
      EXPECT_EQ(lineA.substr(lineA.rfind(' ')), lineB.substr(lineB.rfind(' '))) << name;
      moved = moved || lineA != lineB;
    }
    EXPECT_FALSE(std::getline(b, lineB)) << name;
  }
  EXPECT_TRUE(moved);
}

TEST_F(Threads, TheOverlapOfTheSuppression) {
  // At 0.2 it is the suppression as it always was; at 1 no two boxes can
  // overlap by more, so nothing is removed.
  EXPECT_EQ(RunWith("-d -c cascade.txt -i frame.png -s -O 0.2", 1).files,
            RunWith("-d -c cascade.txt -i frame.png -s", 1).files);
  const RunResult all = RunWith("-d -c cascade.txt -i frame.png -s -O 1", 1);
  EXPECT_EQ(all.files, RunWith("-d -c cascade.txt -i frame.png", 1).files);
  EXPECT_NE(all.files, RunWith("-d -c cascade.txt -i frame.png -s", 1).files) << "the example tests nothing";
}

TEST_F(Threads, ASuppressionOptionThatCannotApplyIsRefusedByName) {
  // Each refused with status 255 and a message naming the value or the
  // option it needs. -G replaces the overlap of the stage suppression;
  // beside -s, -O is the overlap of -s.
  const std::pair<const char*, const char*> refused[] = {
      {"-s -O -0.1", "invalid overlap: -0.1"},
      {"-s -O 1.5", "invalid overlap: 1.5"},
      {"-O 0.3", "-O sets the overlap of the suppression; use it with -s or -g"},
      {"-g -K 1.5", "invalid containment: 1.5"},
      {"-s -K 0.5", "-K removes the boxes inside stronger ones that the stage suppression keeps; use it with -g"},
      {"-s -L", "-L places the boxes that the stage suppression keeps; use it with -g"},
      {"-g -G -0.5", "invalid soft suppression width: -0.5"},
      {"-s -G 0.3", "-G makes the stage suppression soft; use it with -g"},
      {"-g -G 0.3 -O 0.3", "-O sets the overlap of the stage suppression, which -G replaces"},
  };
  for (const auto& [options, message] : refused) {
    CommandResult result = RunPedscanIn(dir_.path(), std::string("-d -c cascade.txt -i frame.png -o . ") + options);
    EXPECT_EQ(result.status, 255) << options;
    EXPECT_NE(result.out.find(message), std::string::npos) << options << ": " << result.out;
  }
  CommandResult result = RunPedscanIn(dir_.path(), "-d -c cascade.txt -i frame.png -o . -s -O nan");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("'nan'"), std::string::npos) << result.err;
  EXPECT_EQ(RunWith("-d -c cascade.txt -i frame.png -g -G 0.3 -s -O 0.3", 1).status, 0);
  EXPECT_EQ(RunWith("-d -c cascade.txt -i frame.png -s -G 0", 1).files,
            RunWith("-d -c cascade.txt -i frame.png -s", 1).files) << "-G 0 is no soft suppression";
}

TEST_F(Threads, ANegativeOrNonNumericCountIsRefusedByName) {
  CommandResult result = RunPedscanIn(dir_.path(), "-d -c cascade.txt -i frame.png -o . -j -1");
  EXPECT_EQ(result.status, 255);
  EXPECT_NE(result.out.find("invalid number of threads: -1"), std::string::npos) << result.out;
  result = RunPedscanIn(dir_.path(), "-d -c cascade.txt -i frame.png -o . -j many");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("many"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace pedscan
