// Example images, configurations and small helpers shared by the training
// tests: directories of drawn objects and of background noise, the record a
// command line would give, and captured standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "support/failure.h"
#include "training/training.h"

namespace pedscan {
namespace testutil {

// Window 80 x 16 covered by five 16 x 16 HOG blocks in one row (39
// features each).
extern const char kFiveBlockConfig[];
// kObjectConfig, the end-to-end model configuration, comes from
// synthetic_model.h.

// Writes `count` images of width x height named <prefix>NN.png into
// `directory`: dark noise, and with `withObject` the drawn silhouette on
// `object` (shifted by `jitter` pixels at most). Returns the paths.
std::vector<std::string> WriteImages(const std::string& directory, const std::string& prefix,
                                     int count, int width, int height, bool withObject,
                                     const cv::Rect& object, int jitter, uint64_t seed);

// Images for the five-block window: noise with bright vertical bars in
// every block for the positives, plain noise for the negatives.
std::vector<std::string> WriteBarImages(const std::string& directory, const std::string& prefix,
                                        int count, bool bars, uint64_t seed);

// A training command line's record: the given directories and model base,
// everything else at its default.
TrainingOptions TrainingParameters(const std::string& positive, const std::string& negative,
                                   const std::string& modelFile);

// Standard output printed while `call` runs (the call may throw; the
// capture ends either way and the exception propagates).
std::string CaptureOutput(const std::function<void()>& call);

// Runs `call`, which must throw Failure; returns it (a test failure if none).
Failure CatchFailure(const std::function<void()>& call);

// The exact fatal report text.
std::string FatalText(const char* source, const char* function, int line,
                      const std::string& message);

// Reads a .matrix file: rows, cols and the elements row by row.
struct MatrixFile {
  int rows = -1;
  int cols = -1;
  std::vector<float> values;
};
MatrixFile ReadMatrixFile(const std::string& path);

}  // namespace testutil
}  // namespace pedscan
