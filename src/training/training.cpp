#include "training/training.h"

#include <algorithm>
#include <cstdio>

#include <opencv2/imgcodecs.hpp>

#include "source/samples.h"
#include "support/failure.h"
#include "support/parallel.h"
#include "training/cross_validation.h"
#include "training/ordered_work.h"

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
  // Their methods were resolved for the model just replaced.
  workerControls_.clear();
}

int Training::Workers(int items) const {
  return std::max(1, std::min(ResolveThreads(options_.threads), items));
}

FeatureControl& Training::WorkerControl(int worker) {
  if (worker == 0) return featureControl_;
  while (static_cast<int>(workerControls_.size()) < worker) {
    auto control = std::make_unique<FeatureControl>();
    // Registers the same instances in the same order as featureControl_,
    // so the blocks' instance indices stay as they are.
    control->SetModelMethods(*model_);
    control->ActivateModelMethods(*model_);
    workerControls_.push_back(std::move(control));
  }
  return *workerControls_[static_cast<size_t>(worker - 1)];
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
  const int count = static_cast<int>(files.size());
  std::vector<TrainingImage*> list;
  list.reserve(files.size());
  // Decoding (to learn each size and that the image reads) runs side by
  // side; the draws run in file order, so the generator gives every image
  // the windows one thread gives it.
  std::vector<cv::Size> sizes(files.size());
  OrderedWork work;
  work.compute = [&](int item, int) {
    const std::string& path = files[static_cast<size_t>(item)];
    sizes[static_cast<size_t>(item)] =
        LoadColourImage(path, "Training::CreateListDetWindows", kListUnreadableLine).size();
  };
  work.finish = [&](int item) {
    const std::string& path = files[static_cast<size_t>(item)];
    const int W = sizes[static_cast<size_t>(item)].width;
    const int H = sizes[static_cast<size_t>(item)].height;
    // The draw below divides by W - windowW + 1; a smaller image has no
    // window position at all.
    if (W < windowW || H < windowH) {
      Fatal(kSource, "Training::CreateListDetWindows", kListTooSmallLine,
            Format("image '%s' (%dx%d) is smaller than the detection window (%dx%d)",
                   path.c_str(), W, H, windowW, windowH));
    }
    imageSizes_[path] = cv::Size(W, H);
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
  };
  RunInOrder(count, Workers(count), count, work);
  return list;
}

std::vector<MatrixPtr> Training::ExtractBlockFeatures(const std::vector<TrainingImage*>& images,
                                                      int firstBlock, int lastBlock) {
  const int count = static_cast<int>(images.size());
  // The first row of each image's windows.
  std::vector<int> firstRows(images.size() + 1, 0);
  for (int i = 0; i < count; ++i) {
    firstRows[static_cast<size_t>(i) + 1] =
        firstRows[static_cast<size_t>(i)] +
        static_cast<int>(images[static_cast<size_t>(i)]->windows.size());
  }
  const int windows = firstRows.back();

  // Each window's features of the chunk go to a row of its worker's small
  // row-major stage first; full stages are copied into the column-major
  // matrices a column piece at a time, so that the copy walks memory nearly
  // in order instead of touching one cache line per feature. Every window
  // has a row of its own, so the workers never write the same element.
  std::vector<MatrixPtr> matrices;
  std::vector<size_t> offsets;
  size_t chunkFeatures = 0;
  for (int b = firstBlock; b <= lastBlock; ++b) {
    const BlockModel& block = *model_->blockModels[static_cast<size_t>(b)];
    matrices.push_back(CreateMatrix(windows, block.nfeatures));
    offsets.push_back(chunkFeatures);
    chunkFeatures += static_cast<size_t>(std::max(block.nfeatures, 0));
  }
  struct Stage {
    std::vector<float> values;
    std::vector<int> rows;  // the matrix row of each staged window
  };
  const int workers = Workers(count);
  std::vector<Stage> stages(static_cast<size_t>(workers));
  for (int w = 0; w < workers; ++w) {
    stages[static_cast<size_t>(w)].values.resize(kStageRows * chunkFeatures);
    WorkerControl(w);
  }
  auto flush = [&](Stage& stage) {
    for (size_t m = 0; m < matrices.size(); ++m) {
      Matrix& matrix = *matrices[m];
      for (int c = 0; c < matrix.cols(); ++c) {
        float* column = matrix.Column(c);
        const float* from = stage.values.data() + offsets[m] + static_cast<size_t>(c);
        for (size_t r = 0; r < stage.rows.size(); ++r) {
          column[stage.rows[r]] = from[r * chunkFeatures];
        }
      }
    }
    stage.rows.clear();
  };

  OrderedWork work;
  work.start = [&](int item) {
    std::printf("\r%d/%d", item, count);
    std::fflush(stdout);
  };
  work.compute = [&](int item, int worker) {
    FeatureControl& features = WorkerControl(worker);
    Stage& stage = stages[static_cast<size_t>(worker)];
    const TrainingImage& entry = *images[static_cast<size_t>(item)];
    cv::Mat image = LoadColourImage(entry.path, "Training::ExtractBlockFeatures",
                                    kExtractUnreadableLine);
    int row = firstRows[static_cast<size_t>(item)];
    for (const DetectionWindow& window : entry.windows) {
      // Block rectangles are relative to the window, so each window is an
      // image of its own.
      cv::Mat crop = image(cv::Rect(window.x, window.y, window.width, window.height)).clone();
      features.AddNewImage(crop);
      features.FillCache(*model_, 0, 0, firstBlock, lastBlock);
      float* staged = stage.values.data() + stage.rows.size() * chunkFeatures;
      for (int b = firstBlock; b <= lastBlock; ++b) {
        const BlockModel& block = *model_->blockModels[static_cast<size_t>(b)];
        features.GetBlockFeatures(0, block, 0, staged + offsets[static_cast<size_t>(b - firstBlock)]);
      }
      features.ReleaseImage();
      stage.rows.push_back(row++);
      if (static_cast<int>(stage.rows.size()) == kStageRows) flush(stage);
    }
  };
  // Nothing waits to finish but the progress lines: no bound needed.
  RunInOrder(count, workers, std::max(count, 1), work);
  for (Stage& stage : stages) flush(stage);
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

    // The blocks are independent: each trains and projects on a worker, and
    // the outputs join in block order.
    const int chunk = last - first + 1;
    std::vector<MatrixPtr> negativeChunk(static_cast<size_t>(chunk));
    std::vector<MatrixPtr> positiveChunk(static_cast<size_t>(chunk));
    OrderedWork work;
    if (!options.rawFeatures) {
      work.start = [&](int item) {
        std::printf("\r%d/%d", first + item, last);
        std::fflush(stdout);
      };
    }
    work.compute = [&](int item, int) {
      BlockModel& block = *model_->blockModels[static_cast<size_t>(first + item)];
      MatrixPtr& negative = negativeFeatures[static_cast<size_t>(item)];
      MatrixPtr& positive = positiveFeatures[static_cast<size_t>(item)];
      if (options.rawFeatures) {
        block.raw = true;
      } else {
        block.CreatePLSModel(*positive, *negative, options.nfactBlock, 1.0f, 1.0f);
      }
      negativeChunk[static_cast<size_t>(item)] = block.GetProjection(*negative);
      positiveChunk[static_cast<size_t>(item)] = block.GetProjection(*positive);
      // The raw features are not needed any more.
      negative.reset();
      positive.reset();
    };
    RunInOrder(chunk, Workers(chunk), chunk, work);
    for (int item = 0; item < chunk; ++item) {
      const BlockModel& block = *model_->blockModels[static_cast<size_t>(first + item)];
      negativeOutputs.push_back(std::move(negativeChunk[static_cast<size_t>(item)]));
      positiveOutputs.push_back(std::move(positiveChunk[static_cast<size_t>(item)]));
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
    model_->nfactors = CrossValidation(*positiveMatrix, *negativeMatrix, options.nfolds, configFile_,
                                       options.threads);
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
