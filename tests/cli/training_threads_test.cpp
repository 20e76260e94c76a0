// Training and feature extraction give the same run for every thread count:
// each model file, each .matrix file and standard output of -j 2 and of -j 7
// (more threads than cores) are those of -j 1, with retraining, with
// cross-validation, with the blocks in several chunks, with the hard
// negatives crowding the candidate set, and when extraction fails half way.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "../detection/synthetic_model.h"
#include "../support/run_command.h"
#include "../training/training_fixtures.h"
#include "support/failure.h"

namespace pedscan {
namespace {

using testutil::CommandResult;
using testutil::ReadWholeFile;
using testutil::RunCommand;
using testutil::ShellQuote;
using testutil::TempDir;

namespace fs = std::filesystem;

// What a run leaves: its status, standard output and every file of its
// output directory by name.
struct RunResult {
  int status = -1;
  std::string out;
  std::map<std::string, std::string> files;
};

class TrainingThreads : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    dir_->WriteFile("model.txt", testutil::kObjectConfig);
    const std::string positives = dir_->MakeDir("pos");
    const std::string negatives = dir_->MakeDir("neg");
    testutil::WriteImages(positives, "a", 24, 32, 64, true, cv::Rect(4, 8, 24, 48), 1, 1);
    testutil::WriteImages(positives, "b", 12, 34, 66, true, cv::Rect(5, 9, 24, 48), 0, 2);
    // Negatives with silhouettes of the right size here and there, so that
    // the scans find windows above the threshold.
    testutil::WriteImages(negatives, "n", 9, 120, 96, true, cv::Rect(40, 20, 24, 48), 30, 3);
    testutil::WriteImages(negatives, "m", 3, 96, 80, false, cv::Rect(), 0, 4);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // Runs pedscan with `arguments` and -j `threads`, writing into a fresh
  // directory "out" (named alike for every run, so that messages naming a
  // file compare); `prepare`, when given, runs on it first.
  static RunResult RunWith(const std::string& arguments, int threads,
                           const std::function<void(const std::string&)>& prepare = nullptr) {
    const std::string out = dir_->File("out");
    fs::remove_all(out);
    fs::create_directories(out);
    if (prepare) prepare(out);
    std::string command = "cd " + ShellQuote(dir_->path()) + " && ";
    if (!testutil::kAddressSanitizer) {
      command += "LD_PRELOAD=" + ShellQuote(FIXED_CLOCK_LIBRARY) + " ";
    }
    command += ShellQuote(PEDSCAN_BINARY) + " " + arguments + " -j " + std::to_string(threads);
    CommandResult result = RunCommand(command);
    RunResult run;
    run.status = result.status;
    run.out = result.out;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
      const std::string name = fs::relative(entry.path(), out).string();
      run.files[name] = entry.is_regular_file() ? ReadWholeFile(entry.path().string()) : "<dir>";
    }
    return run;
  }

  // -j 2 and -j 7 against -j 1; returns the single-thread run.
  static RunResult ExpectSameForEveryThreadCount(
      const std::string& arguments,
      const std::function<void(const std::string&)>& prepare = nullptr) {
    RunResult one = RunWith(arguments, 1, prepare);
    for (int threads : {2, 7}) {
      RunResult many = RunWith(arguments, threads, prepare);
      EXPECT_EQ(many.status, one.status) << arguments << " -j " << threads;
      EXPECT_EQ(many.out, one.out) << arguments << " -j " << threads;
      EXPECT_EQ(many.files.size(), one.files.size()) << arguments << " -j " << threads;
      for (const auto& [name, contents] : one.files) {
        auto found = many.files.find(name);
        if (found == many.files.end()) {
          ADD_FAILURE() << name << " missing with -j " << threads << " " << arguments;
        } else {
          EXPECT_TRUE(found->second == contents)
              << name << " differs with -j " << threads << " " << arguments;
        }
      }
    }
    return one;
  }

  static TempDir* dir_;
};

TempDir* TrainingThreads::dir_ = nullptr;

TEST_F(TrainingThreads, RetrainingGivesTheSameModelsAndOutput) {
  // Blocks in chunks of three; the scans' windows crowd a set of 5 at a
  // threshold every window passes, so evictions and ties decide the set.
  RunResult one = ExpectSameForEveryThreadCount(
      "-t -c model.txt -p pos -n neg -m out/model -I 2 -R 5 -T -100 -S 8 -M 4 -B 3 -z 7");
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files.count("model.ret00.yml"), 1u);
  EXPECT_EQ(one.files.count("model.ret02.yml"), 1u);
  EXPECT_NE(one.out.find("Adding 5 negative samples"), std::string::npos) << one.out;
  // The usual threshold: fewer windows than the set holds.
  one = ExpectSameForEveryThreadCount(
      "-t -c model.txt -p pos -n neg -m out/model -I 1 -R 100 -T 0.5 -S 4 -M 6 -z 3");
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files.count("model.ret01.yml"), 1u);
}

TEST_F(TrainingThreads, CrossValidationGivesTheSameChoiceAndModels) {
  if (testutil::kAddressSanitizer) GTEST_SKIP() << "the clock cannot be preloaded under ASan";
  RunResult one = ExpectSameForEveryThreadCount(
      "-t -c model.txt -p pos -n neg -m out/model -I 1 -R 20 -C -F 4 -M 5 -B 4 -z 5");
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_NE(one.out.find("Cross validation results (4-fold)"), std::string::npos) << one.out;
  EXPECT_NE(one.out.find(" testing: 3\n"), std::string::npos) << one.out;
  // Raw block features: wide rows for the window PLS of every fold.
  one = ExpectSameForEveryThreadCount(
      "-t -c model.txt -p pos -n neg -m out/model -I 0 -w -C -F 3 -M 5 -z 5");
  ASSERT_EQ(one.status, 0) << one.out;
}

TEST_F(TrainingThreads, FeatureExtractionWritesTheSameMatricesInOrder) {
  RunResult one = ExpectSameForEveryThreadCount("-u -c model.txt -i neg -o out -M 7 -z 2");
  ASSERT_EQ(one.status, 0) << one.out;
  EXPECT_EQ(one.files.size(), 24u);  // features and coordinates of 12 images
  EXPECT_NE(one.out.find("\r11/12done!\n"), std::string::npos) << one.out;

  // The ninth image's features (after m00..m02 and n00..n04) cannot be
  // written: the images before it have their files, none after it, whatever
  // the thread count.
  auto blockNinth = [](const std::string& out) {
    fs::create_directories(out + "/n05.features.matrix");
  };
  one = ExpectSameForEveryThreadCount("-u -c model.txt -i neg -o out -M 7 -z 2", blockNinth);
  EXPECT_EQ(one.status, 255);
  EXPECT_EQ(one.files.count("n04.coords.matrix"), 1u);
  EXPECT_EQ(one.files.count("n05.coords.matrix"), 0u);
  EXPECT_EQ(one.files.count("n06.features.matrix"), 0u);
  EXPECT_NE(one.out.find("\r8/12"), std::string::npos) << one.out;
  EXPECT_EQ(one.out.find("\r9/12"), std::string::npos) << one.out;
}

}  // namespace
}  // namespace pedscan
