#include "training_fixtures.h"

#include <cstdio>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../detection/synthetic_model.h"

namespace pedscan {
namespace testutil {

const char kFiveBlockConfig[] =
    "ModelID <bars01>\n"
    "window <80, 16>\n"
    "region <0, 0, 79, 15>\n"
    "method <HOG, hogBlocks, 0, hogSet>\n"
    "block <hogBlocks, 16, 16, 16, 16, 0>\n"
    "params <hogSet, UseHOG, 1>\n"
    "params <hogSet, UseColorFrequency, 1>\n"
    "factors <2>\n"
    "classifier <qda>\n";

std::vector<std::string> WriteImages(const std::string& directory, const std::string& prefix,
                                     int count, int width, int height, bool withObject,
                                     const cv::Rect& object, int jitter, uint64_t seed) {
  cv::RNG rng(seed);
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    cv::Mat image = NoiseImage(width, height, rng);
    if (withObject) {
      cv::Rect box = object;
      box.x += rng.uniform(-jitter, jitter + 1);
      box.y += rng.uniform(-jitter, jitter + 1);
      DrawObject(image, box, rng);
    }
    std::string path = directory + "/" + prefix + Format("%02d", i) + ".png";
    EXPECT_TRUE(cv::imwrite(path, image)) << path;
    paths.push_back(path);
  }
  return paths;
}

std::vector<std::string> WriteBarImages(const std::string& directory, const std::string& prefix,
                                        int count, bool bars, uint64_t seed) {
  cv::RNG rng(seed);
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    cv::Mat image = NoiseImage(80, 16, rng);
    if (bars) {
      for (int block = 0; block < 5; ++block) {
        int x = block * 16 + rng.uniform(5, 9);
        cv::rectangle(image, cv::Rect(x, 2, 3, 12), cv::Scalar::all(rng.uniform(180, 256)),
                      cv::FILLED);
      }
    }
    std::string path = directory + "/" + prefix + Format("%02d", i) + ".png";
    EXPECT_TRUE(cv::imwrite(path, image)) << path;
    paths.push_back(path);
  }
  return paths;
}

TrainingOptions TrainingParameters(const std::string& positive, const std::string& negative,
                                   const std::string& modelFile) {
  TrainingOptions parameters;
  parameters.positive = positive;
  parameters.negative = negative;
  parameters.modelFile = modelFile;
  return parameters;
}

std::string CaptureOutput(const std::function<void()>& call) {
  ::testing::internal::CaptureStdout();
  try {
    call();
  } catch (...) {
    std::fflush(stdout);
    ::testing::internal::GetCapturedStdout();
    throw;
  }
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

Failure CatchFailure(const std::function<void()>& call) {
  try {
    CaptureOutput(call);
  } catch (const Failure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no failure";
  return Failure(Failure::Form::kPlain, "", 0);
}

std::string FatalText(const char* source, const char* function, int line,
                      const std::string& message) {
  return Format(".\\%s.cpp(%s.%d): \n  %s\n", source, function, line, message.c_str());
}

MatrixFile ReadMatrixFile(const std::string& path) {
  MatrixFile file;
  std::ifstream in(path, std::ios::binary);
  int32_t counts[2] = {-1, -1};
  in.read(reinterpret_cast<char*>(counts), sizeof(counts));
  if (!in) return file;
  file.rows = counts[0];
  file.cols = counts[1];
  file.values.resize(static_cast<size_t>(file.rows) * static_cast<size_t>(file.cols));
  in.read(reinterpret_cast<char*>(file.values.data()),
          static_cast<std::streamsize>(file.values.size() * sizeof(float)));
  if (!in) file.rows = -2;
  char extra;
  if (in.read(&extra, 1)) file.rows = -3;  // trailing bytes
  return file;
}

}  // namespace testutil
}  // namespace pedscan
