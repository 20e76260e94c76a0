// Training on 1,000 positive 64 x 128 crops and 50 negative 640 x 480
// images with the full example layout (105 co-occurrence blocks and 126 HOG
// blocks, 10 window factors, QDA), ten windows per negative image, one
// retraining iteration.
//
//   bench_training generate DIR      writes DIR/pos, DIR/neg, DIR/model.txt
//   bench_training phases DIR [B]    times the phases through the library
//   bench_training crossvalidation DIR [F] [J]
//                                    times cross-validation, F folds on J threads
//
// "phases" runs the steps of one build and one retraining scan the way the
// training driver does, with -B B (default 330), and prints the seconds of
// each: window sampling, block feature extraction (and per window), block
// PLS with projections, window PLS with QDA, and the retraining scan (and
// per image), in processor seconds. bench/training.sh runs it and the pedscan binary under
// /usr/bin/time -v for the whole run and its peak memory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../tests/detection/synthetic_model.h"
#include "support/failure.h"
#include "training/cross_validation.h"
#include "training/training.h"
#include "../tests/support/example_configuration.h"

namespace pedscan {
namespace {

namespace fs = std::filesystem;

constexpr const char* kModelConfig = testutil::kExampleModelConfiguration;

constexpr int kPositives = 1000;
constexpr int kNegatives = 50;

void Generate(const std::string& dir) {
  fs::create_directories(dir + "/pos");
  fs::create_directories(dir + "/neg");
  std::ofstream(dir + "/model.txt") << kModelConfig;
  cv::RNG rng(2024);
  for (int i = 0; i < kPositives; ++i) {
    cv::Mat crop = testutil::NoiseImage(64, 128, rng);
    testutil::DrawObject(crop, cv::Rect(8 + rng.uniform(-2, 3), 16 + rng.uniform(-2, 3), 48, 96),
                         rng);
    cv::imwrite(dir + Format("/pos/p%04d.png", i), crop);
  }
  for (int i = 0; i < kNegatives; ++i) {
    cv::Mat image = testutil::NoiseImage(640, 480, rng);
    // Clutter: blobs and silhouettes of sizes the detector must not accept.
    for (int k = 0; k < 12; ++k) {
      cv::Scalar colour(rng.uniform(100, 256), rng.uniform(100, 256), rng.uniform(100, 256));
      cv::Point at(rng.uniform(0, 640), rng.uniform(0, 480));
      cv::circle(image, at, rng.uniform(4, 40), colour, cv::FILLED, cv::LINE_AA);
      int h = rng.uniform(0, 2) ? 40 : 200;
      testutil::DrawObject(image, cv::Rect(rng.uniform(0, 600), rng.uniform(0, 270), h / 2, h),
                           rng);
    }
    // Headless bodies of the object's own size: the first model tends to
    // accept them, so that retraining has hard negatives to add.
    for (int k = 0; k < 6; ++k) {
      cv::Scalar colour(rng.uniform(180, 256), rng.uniform(180, 256), rng.uniform(180, 256));
      cv::Point centre(rng.uniform(30, 610), rng.uniform(40, 440));
      cv::ellipse(image, centre, cv::Size(19, 35), 0.0, 0.0, 360.0, colour, cv::FILLED,
                  cv::LINE_AA);
    }
    cv::imwrite(dir + Format("/neg/n%02d.png", i), image);
  }
}

// Processor seconds of this process since `start`: on a shared machine the
// wall clock also counts the time other processes held the core.
double Now() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
double Seconds(double start) { return Now() - start; }

// Where the time of one training window goes: decoding its image, cropping,
// the methods' per-image precomputation, the cached blocks, the other
// blocks. Runs the driver's steps over the positive crops.
void WindowBreakdown(Training& training, const std::vector<TrainingImage*>& images) {
  Model& model = training.model();
  FeatureControl& features = training.featureControl();
  const int last = static_cast<int>(model.blockModels.size()) - 1;
  std::vector<float> buffer(1000);
  double decode = 0, crop = 0, add = 0, fill = 0, get = 0, release = 0;
  int windows = 0;
  for (const TrainingImage* entry : images) {
    double t = Now();
    cv::Mat image = cv::imread(entry->path, cv::IMREAD_COLOR);
    decode += Now() - t;
    for (const DetectionWindow& w : entry->windows) {
      t = Now();
      cv::Mat window = image(cv::Rect(w.x, w.y, w.width, w.height)).clone();
      double t1 = Now();
      features.AddNewImage(window);
      double t2 = Now();
      features.FillCache(model, 0, 0, 0, last);
      double t3 = Now();
      for (const auto& block : model.blockModels) features.GetBlockFeatures(0, *block, 0, buffer.data());
      double t4 = Now();
      features.ReleaseImage();
      double t5 = Now();
      crop += t1 - t; add += t2 - t1; fill += t3 - t2; get += t4 - t3; release += t5 - t4;
      ++windows;
    }
  }
  auto ms = [&](double s) { return 1000.0 * s / windows; };
  std::printf("  per positive window (ms): decode %.3f, crop %.3f, per-image methods %.3f, "
              "cached blocks %.3f, other blocks %.3f, release %.3f\n",
              ms(decode), ms(crop), ms(add), ms(fill), ms(get), ms(release));
}

int Phases(const std::string& dir, int blocksPerChunk) {
  TrainingOptions parameters;
  parameters.positive = dir + "/pos";
  parameters.negative = dir + "/neg";
  parameters.nSampIm = 10;
  parameters.nRetIt = 1;
  parameters.nblockIt = blocksPerChunk;
  // Processor seconds show where one thread's time goes; on several threads
  // they would add the threads up.
  parameters.threads = 1;
  Training training;
  training.Setup(dir + "/model.txt", parameters);
  Model& model = training.model();
  training.featureControl().SetModelMethods(model);
  training.featureControl().ActivateModelMethods(model);

  double start = Now();
  std::vector<TrainingImage*> negatives = training.CreateListDetWindows("*.png", parameters.negative);
  std::vector<TrainingImage*> positives = training.CreateListDetWindows("*.png", parameters.positive);
  const double sampling = Seconds(start);
  int windows = 0;
  for (const auto* list : {&negatives, &positives}) {
    for (const TrainingImage* image : *list) windows += static_cast<int>(image->windows.size());
  }

  const int blocks = static_cast<int>(model.blockModels.size());
  double extraction = 0.0;
  double blockModels = 0.0;
  int total = 0;
  std::vector<MatrixPtr> negativeOutputs;
  std::vector<MatrixPtr> positiveOutputs;
  for (int first = 0; first < blocks; first += blocksPerChunk) {
    const int last = std::min(first + blocksPerChunk - 1, blocks - 1);
    start = Now();
    std::vector<MatrixPtr> negativeFeatures = training.ExtractBlockFeatures(negatives, first, last);
    std::vector<MatrixPtr> positiveFeatures = training.ExtractBlockFeatures(positives, first, last);
    extraction += Seconds(start);
    start = Now();
    for (int b = first; b <= last; ++b) {
      BlockModel& block = *model.blockModels[static_cast<size_t>(b)];
      block.CreatePLSModel(*positiveFeatures[b - first], *negativeFeatures[b - first],
                           parameters.nfactBlock, 1.0f, 1.0f);
      negativeOutputs.push_back(block.GetProjection(*negativeFeatures[b - first]));
      positiveOutputs.push_back(block.GetProjection(*positiveFeatures[b - first]));
      total += positiveOutputs.back()->cols();
    }
    blockModels += Seconds(start);
  }
  start = Now();
  model.nfeatures = total;
  MatrixPtr negativeMatrix = Training::ConvertToSingleMatrix(total, negativeOutputs);
  MatrixPtr positiveMatrix = Training::ConvertToSingleMatrix(total, positiveOutputs);
  model.CreatePLSModel(*positiveMatrix, *negativeMatrix);
  const double windowModel = Seconds(start);

  std::vector<std::string> images;
  for (const TrainingImage* image : negatives) images.push_back(image->path);
  start = Now();
  std::vector<TrainingImage*> hard = training.SampleDetWindowsRetraining(images, parameters.ThRetraining);
  const double scan = Seconds(start);
  int added = 0;
  for (const TrainingImage* image : hard) added += static_cast<int>(image->windows.size());

  std::printf("phases with -B %d: %d blocks, %d training windows, %d hard negatives\n",
              blocksPerChunk, blocks, windows, added);
  std::printf("  window sampling            %8.3f s\n", sampling);
  std::printf("  block feature extraction   %8.3f s  (%.3f ms per window)\n", extraction,
              1000.0 * extraction / windows);
  std::printf("  block PLS and projections  %8.3f s\n", blockModels);
  std::printf("  window PLS and QDA         %8.3f s\n", windowModel);
  std::printf("  retraining scan            %8.3f s  (%.3f s per image)\n", scan,
              scan / static_cast<double>(images.size()));
  WindowBreakdown(training, positives);
  return 0;
}

// Elapsed seconds since `start`: what a user waits for work spread over
// several threads.
double WallSeconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Cross-validation of the window factors as the driver runs it after the
// first build (no hard negatives), with `folds` folds on `threads` workers;
// prints its elapsed seconds. The block outputs are built first, on the
// same workers, and not timed.
int CrossValidationTime(const std::string& dir, int folds, int threads) {
  TrainingOptions parameters;
  parameters.positive = dir + "/pos";
  parameters.negative = dir + "/neg";
  parameters.nSampIm = 10;
  parameters.threads = threads;
  Training training;
  training.Setup(dir + "/model.txt", parameters);
  Model& model = training.model();
  training.featureControl().SetModelMethods(model);
  training.featureControl().ActivateModelMethods(model);
  std::vector<TrainingImage*> negatives = training.CreateListDetWindows("*.png", parameters.negative);
  std::vector<TrainingImage*> positives = training.CreateListDetWindows("*.png", parameters.positive);
  const int blocks = static_cast<int>(model.blockModels.size());
  std::vector<MatrixPtr> negativeFeatures = training.ExtractBlockFeatures(negatives, 0, blocks - 1);
  std::vector<MatrixPtr> positiveFeatures = training.ExtractBlockFeatures(positives, 0, blocks - 1);
  std::vector<MatrixPtr> negativeOutputs;
  std::vector<MatrixPtr> positiveOutputs;
  int total = 0;
  for (int b = 0; b < blocks; ++b) {
    BlockModel& block = *model.blockModels[static_cast<size_t>(b)];
    block.CreatePLSModel(*positiveFeatures[b], *negativeFeatures[b], parameters.nfactBlock, 1.0f,
                         1.0f);
    negativeOutputs.push_back(block.GetProjection(*negativeFeatures[b]));
    positiveOutputs.push_back(block.GetProjection(*positiveFeatures[b]));
    total += positiveOutputs.back()->cols();
  }
  MatrixPtr negativeMatrix = Training::ConvertToSingleMatrix(total, negativeOutputs);
  MatrixPtr positiveMatrix = Training::ConvertToSingleMatrix(total, positiveOutputs);
  const auto start = std::chrono::steady_clock::now();
  const int chosen =
      CrossValidation(*positiveMatrix, *negativeMatrix, folds, dir + "/model.txt", threads);
  const double seconds = WallSeconds(start);
  std::printf("\ncross-validation with -F %d -j %d: %d x %d block outputs, %d factors chosen\n",
              folds, threads, positiveMatrix->rows() + negativeMatrix->rows(), total, chosen);
  std::printf("  cross-validation           %8.3f s elapsed\n", seconds);
  return 0;
}

}  // namespace
}  // namespace pedscan

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s generate DIR | phases DIR [blocksPerChunk] | "
                 "crossvalidation DIR [folds] [threads]\n",
                 argv[0]);
    return 1;
  }
  const std::string command = argv[1];
  try {
    if (command == "generate") {
      pedscan::Generate(argv[2]);
      return 0;
    }
    if (command == "phases") return pedscan::Phases(argv[2], argc > 3 ? std::atoi(argv[3]) : 330);
    if (command == "crossvalidation") {
      return pedscan::CrossValidationTime(argv[2], argc > 3 ? std::atoi(argv[3]) : 10,
                                          argc > 4 ? std::atoi(argv[4]) : 1);
    }
  } catch (const pedscan::Failure& failure) {
    return pedscan::ReportFailure(failure);
  }
  std::fprintf(stderr, "unknown command '%s'\n", command.c_str());
  return 1;
}
