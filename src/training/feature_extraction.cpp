#include "training/feature_extraction.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <opencv2/imgcodecs.hpp>

#include "source/samples.h"
#include "support/failure.h"
#include "support/parallel.h"
#include "support/text.h"
#include "training/ordered_work.h"

namespace pedscan {

namespace {

constexpr char kSource[] = "feature_extraction";
constexpr int kUnreadableImageLine = 64;

}  // namespace

FeatureExtraction::FeatureExtraction(const std::string& configFile,
                                     const ExtractionOptions& options)
    : options_(options) {
  TrainingOptions sampling;
  sampling.filemask = options.filemask;
  sampling.nSampIm = options.nSampIm;
  sampling.seed = options.seed;
  sampling.threads = options.threads;
  training_.Setup(configFile, sampling);
  model_.SetupModelfromParameters(configFile);
  featureControl_.SetModelMethods(model_);
  featureControl_.ActivateModelMethods(model_);
  buffer_.assign(static_cast<size_t>(std::max(model_.nrawfeatures, 1)), 0.0f);
}

void FeatureExtraction::Run() {
  Run([this](const TrainingImage& image, MatrixPtr features, MatrixPtr coordinates) {
    WriteMatrixFile(FeaturesFileName(options_.output, image.path), *features);
    WriteMatrixFile(CoordinatesFileName(options_.output, image.path), *coordinates);
  });
}

void FeatureExtraction::Run(const ImageMatrices& take) {
  // A single image is its own list; a directory is listed through its masks.
  const std::vector<std::string> files =
      options_.isImage ? std::vector<std::string>{options_.input}
                          : Samples::ReadDirectory(options_.input, options_.filemask);
  const std::vector<TrainingImage*> images = training_.CreateListDetWindows(files);

  std::printf("Extracting features (%d features per sample):\n", model_.nrawfeatures);
  const int count = static_cast<int>(images.size());
  // Images are extracted side by side, each worker with its own features and
  // buffer (the model is only read); the files are written in image order,
  // so a failure leaves the files one thread leaves.
  const int workers = std::max(1, std::min(ResolveThreads(options_.threads), count));
  struct Extractor {
    std::unique_ptr<FeatureControl> own;  // null for worker 0
    FeatureControl* features = nullptr;
    std::vector<float> buffer;
  };
  std::vector<Extractor> extractors(static_cast<size_t>(workers));
  for (int w = 0; w < workers; ++w) {
    Extractor& extractor = extractors[static_cast<size_t>(w)];
    if (w == 0) {
      extractor.features = &featureControl_;
    } else {
      extractor.own = std::make_unique<FeatureControl>();
      extractor.own->SetModelMethods(model_);
      extractor.own->ActivateModelMethods(model_);
      extractor.features = extractor.own.get();
      extractor.buffer.assign(buffer_.size(), 0.0f);
    }
  }
  std::vector<MatrixPtr> extracted(static_cast<size_t>(count));
  OrderedWork work;
  work.start = [&](int item) {
    std::printf("\r%d/%d", item, count);
    std::fflush(stdout);
  };
  work.compute = [&](int item, int worker) {
    Extractor& extractor = extractors[static_cast<size_t>(worker)];
    extracted[static_cast<size_t>(item)] =
        Extract(*images[static_cast<size_t>(item)], *extractor.features,
                worker == 0 ? buffer_.data() : extractor.buffer.data());
  };
  work.finish = [&](int item) {
    const TrainingImage& image = *images[static_cast<size_t>(item)];
    take(image, std::move(extracted[static_cast<size_t>(item)]), WindowCoordinates(image));
  };
  // Extracted matrices wait for their turn: hold a few per worker at most.
  RunInOrder(count, workers, 4 * workers, work);
  std::printf("done!\n");
  std::fflush(stdout);
}

MatrixPtr FeatureExtraction::ExtractImageFeatures(const TrainingImage& entry) {
  return Extract(entry, featureControl_, buffer_.data());
}

MatrixPtr FeatureExtraction::Extract(const TrainingImage& entry, FeatureControl& featureControl,
                                     float* buffer) {
  const int features = model_.nrawfeatures;
  const int blocks = static_cast<int>(model_.blockModels.size());
  MatrixPtr matrix = CreateMatrix(static_cast<int>(entry.windows.size()), features);
  cv::Mat image = cv::imread(entry.path, cv::IMREAD_COLOR);
  if (image.empty()) {
    Fatal(kSource, "FeatureExtraction::ExtractImageFeatures", kUnreadableImageLine,
          Format("can't load image '%s'", entry.path.c_str()));
  }
  int row = 0;
  for (const DetectionWindow& window : entry.windows) {
    // Block rectangles are relative to the window: each window is an image
    // of its own.
    cv::Mat crop = image(cv::Rect(window.x, window.y, window.width, window.height)).clone();
    featureControl.AddNewImage(crop);
    featureControl.FillCache(model_, 0, 0, 0, blocks - 1);
    featureControl.GetWindowFeatures(model_, 0, 0, buffer);
    for (int c = 0; c < features; ++c) (*matrix)(row, c) = buffer[c];
    featureControl.ReleaseImage();
    ++row;
  }
  return matrix;
}

MatrixPtr FeatureExtraction::WindowCoordinates(const TrainingImage& image) {
  MatrixPtr coordinates = CreateMatrix(static_cast<int>(image.windows.size()), 4);
  int row = 0;
  for (const DetectionWindow& window : image.windows) {
    (*coordinates)(row, 0) = static_cast<float>(window.x);
    (*coordinates)(row, 1) = static_cast<float>(window.y);
    (*coordinates)(row, 2) = static_cast<float>(window.width);
    (*coordinates)(row, 3) = static_cast<float>(window.height);
    ++row;
  }
  return coordinates;
}

std::string FeatureExtraction::FeaturesFileName(const std::string& output,
                                                const std::string& imagePath) {
  return JoinPath(output, FileStem(imagePath) + ".features.matrix");
}

std::string FeatureExtraction::CoordinatesFileName(const std::string& output,
                                                   const std::string& imagePath) {
  return JoinPath(output, FileStem(imagePath) + ".coords.matrix");
}

}  // namespace pedscan
