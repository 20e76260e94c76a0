#include "training/training.h"

#include <algorithm>
#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "source/samples.h"
#include "support/failure.h"
#include "training/cross_validation.h"

namespace pedscan {

namespace {

constexpr char kSource[] = "training";

constexpr int kSamplesPerImageLine = 111;
constexpr char kSamplesPerImageMessage[] = "invalid number of samples per image!";
constexpr int kListUnreadableLine = 117;
constexpr int kListTooSmallLine = 121;
constexpr int kExtractUnreadableLine = 152;
constexpr int kEmptyPartsLine = 374;
constexpr char kEmptyPartsMessage[] = "Invalid input matrix!";

// Windows staged before their features are copied into the block matrices:
// 16 floats fill one 64-byte cache line of a matrix column.
constexpr int kStageRows = 16;

cv::Mat LoadColourImage(const std::string& path, const char* function, int line) {
  cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
  if (image.empty()) Fatal(kSource, function, line, Format("can't load image '%s'", path.c_str()));
  return image;
}

}  // namespace

Training::Training() : clock_([] { return std::time(nullptr); }) {}

void Training::Setup(const std::string& configFile, const TrainingOptions& options) {
  model_ = std::make_unique<Model>();
  model_->SetupModelfromParameters(configFile);
  configFile_ = configFile;
  options_ = options;
}

TrainingImage* Training::NewTrainingImage(const std::string& path) {
  images_.push_back(std::make_unique<TrainingImage>());
  images_.back()->path = path;
  return images_.back().get();
}

std::vector<TrainingImage*> Training::CreateListDetWindows(const std::string& filemask,
                                                           const std::string& directory) {
  return CreateListDetWindows(Samples::ReadDirectory(directory, filemask));
}

std::vector<TrainingImage*> Training::CreateListDetWindows(const std::vector<std::string>& files) {
  const int samplesPerImage = options_.nSampIm;
  if (samplesPerImage < 1) {
    Fatal(kSource, "Training::CreateListDetWindows", kSamplesPerImageLine,
          kSamplesPerImageMessage);
  }
  const int seed = options_.seed;
  random_.Seed(seed < 0 ? static_cast<uint32_t>(clock_()) : static_cast<uint32_t>(seed));

  const int windowW = model_->windowW;
  const int windowH = model_->windowH;
  std::vector<TrainingImage*> list;
  list.reserve(files.size());
  for (const std::string& path : files) {
    cv::Mat image = LoadColourImage(path, "Training::CreateListDetWindows", kListUnreadableLine);
    const int W = image.cols;
    const int H = image.rows;
    // The draw below divides by W - windowW + 1; a smaller image has no
    // window position at all.
    if (W < windowW || H < windowH) {
      Fatal(kSource, "Training::CreateListDetWindows", kListTooSmallLine,
            Format("image '%s' (%dx%d) is smaller than the detection window (%dx%d)",
                   path.c_str(), W, H, windowW, windowH));
    }
    TrainingImage* entry = NewTrainingImage(path);
    for (int i = 0; i < samplesPerImage; ++i) {
      DetectionWindow window;
      window.x = static_cast<int16_t>(random_.Next() % (W - windowW + 1));
      window.y = static_cast<int16_t>(random_.Next() % (H - windowH + 1));
      window.width = static_cast<int16_t>(windowW);
      window.height = static_cast<int16_t>(windowH);
      window.response = -1.0;
      entry->windows.push_back(window);
      // An image of exactly the window's size can only give (0, 0): stop
      // rather than draw the same window nSampIm times.
      if (window.x == 0 && window.y == 0) break;
    }
    list.push_back(entry);
  }
  return list;
}

std::vector<MatrixPtr> Training::ExtractBlockFeatures(const std::vector<TrainingImage*>& images,
                                                      int firstBlock, int lastBlock) {
  int windows = 0;
  for (const TrainingImage* image : images) windows += static_cast<int>(image->windows.size());

  // Each window's features of the chunk go to a row of a small row-major
  // stage first; full stages are copied into the column-major matrices a
  // column piece at a time, so that the copy walks memory in order instead
  // of touching one cache line per feature.
  std::vector<MatrixPtr> matrices;
  std::vector<size_t> offsets;
  size_t chunkFeatures = 0;
  for (int b = firstBlock; b <= lastBlock; ++b) {
    const BlockModel& block = *model_->blockModels[static_cast<size_t>(b)];
    matrices.push_back(CreateMatrix(windows, block.nfeatures));
    offsets.push_back(chunkFeatures);
    chunkFeatures += static_cast<size_t>(std::max(block.nfeatures, 0));
  }
  std::vector<float> stage(kStageRows * chunkFeatures);
  int staged = 0;
  int firstStagedRow = 0;
  auto flush = [&] {
    for (size_t m = 0; m < matrices.size(); ++m) {
      Matrix& matrix = *matrices[m];
      for (int c = 0; c < matrix.cols(); ++c) {
        float* column = matrix.Column(c) + firstStagedRow;
        const float* from = stage.data() + offsets[m] + static_cast<size_t>(c);
        for (int r = 0; r < staged; ++r) column[r] = from[static_cast<size_t>(r) * chunkFeatures];
      }
    }
    firstStagedRow += staged;
    staged = 0;
  };

  const int count = static_cast<int>(images.size());
  for (int i = 0; i < count; ++i) {
    std::printf("\r%d/%d", i, count);
    std::fflush(stdout);
    const TrainingImage& entry = *images[static_cast<size_t>(i)];
    cv::Mat image = LoadColourImage(entry.path, "Training::ExtractBlockFeatures",
                                    kExtractUnreadableLine);
    for (const DetectionWindow& window : entry.windows) {
      // Block rectangles are relative to the window, so each window is an
      // image of its own.
      cv::Mat crop = image(cv::Rect(window.x, window.y, window.width, window.height)).clone();
      featureControl_.AddNewImage(crop);
      featureControl_.FillCache(*model_, 0, 0, firstBlock, lastBlock);
      float* row = stage.data() + static_cast<size_t>(staged) * chunkFeatures;
      for (int b = firstBlock; b <= lastBlock; ++b) {
        const BlockModel& block = *model_->blockModels[static_cast<size_t>(b)];
        featureControl_.GetBlockFeatures(0, block, 0, row + offsets[static_cast<size_t>(b - firstBlock)]);
      }
      featureControl_.ReleaseImage();
      if (++staged == kStageRows) flush();
    }
  }
  flush();
  std::printf("\n");
  return matrices;
}

void Training::BuildModels(const std::vector<TrainingImage*>& negatives,
                           const std::vector<TrainingImage*>& positives) {
  const TrainingOptions& options = options_;
  const int blocks = static_cast<int>(model_->blockModels.size());
  int total = 0;
  std::vector<MatrixPtr> negativeOutputs;
  std::vector<MatrixPtr> positiveOutputs;

  for (int first = 0; first < blocks; first += options.nblockIt) {
    const int last = std::min(first + options.nblockIt - 1, blocks - 1);
    std::printf("Extracting features for blocks %d to %d (of %d)\n", first, last, blocks);
    std::printf("Negative training images:\n");
    std::vector<MatrixPtr> negativeFeatures = ExtractBlockFeatures(negatives, first, last);
    std::printf("Positive training images:\n");
    std::vector<MatrixPtr> positiveFeatures = ExtractBlockFeatures(positives, first, last);
    if (!options.rawFeatures) std::printf("Building PLS block models:\n");

    for (int b = first; b <= last; ++b) {
      BlockModel& block = *model_->blockModels[static_cast<size_t>(b)];
      const Matrix& negative = *negativeFeatures[static_cast<size_t>(b - first)];
      const Matrix& positive = *positiveFeatures[static_cast<size_t>(b - first)];
      if (options.rawFeatures) {
        block.raw = true;
      } else {
        std::printf("\r%d/%d", b, last);
        std::fflush(stdout);
        block.CreatePLSModel(positive, negative, options.nfactBlock, 1.0f, 1.0f);
      }
      negativeOutputs.push_back(block.GetProjection(negative));
      positiveOutputs.push_back(block.GetProjection(positive));
      // The output width follows the factors the block PLS actually kept.
      total += block.raw ? block.nfeatures : positiveOutputs.back()->cols();
    }
    if (!options.rawFeatures) std::printf("\n");
  }

  model_->nfeatures = total;
  MatrixPtr negativeMatrix = ConvertToSingleMatrix(total, negativeOutputs);
  MatrixPtr positiveMatrix = ConvertToSingleMatrix(total, positiveOutputs);
  negativeOutputs.clear();
  positiveOutputs.clear();

  std::printf("Creating new PLS model: %d positive and %d negative samples\n",
              positiveMatrix->rows(), negativeMatrix->rows());
  if (options.cv) {
    model_->nfactors = CrossValidation(*positiveMatrix, *negativeMatrix, options.nfolds, configFile_);
  }
  model_->CreatePLSModel(*positiveMatrix, *negativeMatrix);
}

MatrixPtr Training::ConvertToSingleMatrix(int cols, const std::vector<MatrixPtr>& parts) {
  if (parts.empty()) {
    Fatal(kSource, "Training::ConvertToSingleMatrix", kEmptyPartsLine, kEmptyPartsMessage);
  }
  const int rows = parts.front()->rows();
  int sum = 0;
  for (const MatrixPtr& part : parts) sum += part->cols();
  // Parts of other heights or other widths would be copied out of bounds.
  for (const MatrixPtr& part : parts) {
    if (part->rows() != rows || sum != cols) {
      Fatal(kSource, "Training::ConvertToSingleMatrix", kEmptyPartsLine, kEmptyPartsMessage);
    }
  }
  MatrixPtr result = CreateMatrix(rows, cols);
  int offset = 0;
  for (const MatrixPtr& part : parts) {
    // Both layouts are column-major: each column of a part is one block copy.
    for (int c = 0; c < part->cols(); ++c) {
      std::copy(part->Column(c), part->Column(c) + rows, result->Column(offset + c));
    }
    offset += part->cols();
  }
  return result;
}

}  // namespace pedscan
