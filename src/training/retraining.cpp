#include "training/retraining.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include <opencv2/imgcodecs.hpp>

#include "source/samples.h"
#include "model/Storage.h"
#include "support/atomic_file.h"
#include "support/failure.h"
#include "training/ordered_work.h"
#include "training/cross_validation.h"

namespace pedscan {

namespace {

constexpr char kSource[] = "retraining";

constexpr int kBlocksPerChunkLine = 31;
constexpr int kShiftLine = 35;
constexpr int kBlockFactorsLine = 39;
constexpr int kScanUnreadableLine = 96;
constexpr int kModelDirectoryLine = 162;
constexpr int kCreateModelLine = 181;
constexpr int kRenameModelLine = 195;

// Creates a new, empty file next to `path` whose name no one else uses
// (the process id and a counter make it unique, O_EXCL makes sure). Returns
// its name, or an empty text with errno set.
std::string CreateSibling(const std::string& path, const char* kind) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = Format("%s.%s.%ld.%d", path.c_str(), kind, static_cast<long>(getpid()),
                              attempt);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      close(fd);
      return name;
    }
    if (errno != EEXIST) return std::string();
  }
  errno = EEXIST;
  return std::string();
}

// The bytes of memory this process holds now (resident set), 0 when they
// cannot be read.
int64_t ResidentBytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  long long size = 0;
  long long resident = 0;
  const bool read = std::fscanf(statm, "%lld %lld", &size, &resident) == 2;
  std::fclose(statm);
  const long page = sysconf(_SC_PAGESIZE);
  return read && page > 0 ? static_cast<int64_t>(resident) * page : 0;
}

}  // namespace

std::vector<ScanPosition> ScanPositions(int imageW, int imageH, int windowW, int windowH,
                                        int shift) {
  std::vector<ScanPosition> positions;
  for (int y = 0; y < imageH - windowH; y += shift) {
    for (int x = 0; x < imageW - windowW; x += shift) positions.push_back({x, y});
  }
  return positions;
}

bool HardNegatives::Offer(float response, const std::string& path,
                          const DetectionWindow& window) {
  if (capacity_ <= 0 || !(response >= threshold_)) return false;
  if (static_cast<int>(candidates_.size()) >= capacity_) {
    // The weakest held window gives way only to a strictly stronger one.
    if (!(candidates_.begin()->first < response)) return false;
    candidates_.erase(candidates_.begin());
  }
  // A multimap inserts after the windows of equal response already held.
  candidates_.insert({response, Candidate{path, window}});
  return true;
}

std::vector<TrainingImage> HardNegatives::Group() const {
  std::map<std::string, TrainingImage> byPath;
  for (const auto& [response, candidate] : candidates_) {
    TrainingImage& image = byPath[candidate.path];
    image.path = candidate.path;
    image.windows.push_back(candidate.window);
  }
  std::vector<TrainingImage> grouped;
  grouped.reserve(byPath.size());
  for (auto& entry : byPath) grouped.push_back(std::move(entry.second));
  return grouped;
}

std::string ModelFileName(const std::string& base, int iteration) {
  return Format("%s.ret%2.2d.yml", base.c_str(), iteration);
}

void CheckModelFilesWritable(const std::string& base) {
  std::string probe = CreateSibling(ModelFileName(base, 0), "probe");
  if (probe.empty()) {
    Fatal(kSource, "CheckModelFilesWritable", kModelDirectoryLine,
          Format("cannot create model files '%s.ret??.yml' (%s)", base.c_str(),
                 std::strerror(errno)));
  }
  std::remove(probe.c_str());
}

void SaveModelFile(const Model& model, const std::string& path) {
  Storage storage;
  const std::string text = storage.ModelText(model, path);
  AtomicFile file(path);
  if (!file.Open()) {
    Fatal(kSource, "SaveModelFile", kCreateModelLine,
          Format("cannot create model file '%s' (%s)", path.c_str(), file.error().c_str()));
  }
  if (!file.Write(text) || !file.Commit()) {
    Fatal(kSource, "SaveModelFile", kRenameModelLine,
          Format("cannot write model file '%s' (%s)", path.c_str(), file.error().c_str()));
  }
}

void Training::CheckRunOptions() const {
  const TrainingOptions& options = options_;
  if (options.nblockIt < 1) {
    Fatal(kSource, "Training::Run", kBlocksPerChunkLine,
          Format("invalid number of blocks per feature extraction: %d (use -B with at least 1)",
                 options.nblockIt));
  }
  if (!options.rawFeatures && options.nfactBlock < 1) {
    Fatal(kSource, "Training::Run", kBlockFactorsLine,
          Format("invalid number of factors per block: %d (use -f with at least 1)",
                 options.nfactBlock));
  }
  if (options.cv) CheckNumberOfFolds(options.nfolds);
  if (options.nRetIt >= 1 && options.shift < 1) {
    Fatal(kSource, "Training::Run", kShiftLine,
          Format("invalid shift of the detection window: %d (use -S with at least 1)",
                 options.shift));
  }
}

void Training::Run() {
  const TrainingOptions& options = options_;
  // Everything that would only fail after the first build fails now.
  CheckRunOptions();
  if (options.nRetIt >= 0) CheckModelFilesWritable(options.modelFile);

  featureControl_.SetModelMethods(*model_);
  featureControl_.ActivateModelMethods(*model_);

  const std::vector<std::string> negativeImages =
      Samples::ReadDirectory(options.negative, options.filemask);
  std::vector<TrainingImage*> negatives = CreateListDetWindows(negativeImages);
  std::vector<TrainingImage*> positives =
      CreateListDetWindows(options.filemask, options.positive);

  for (int it = 0; it <= options.nRetIt; ++it) {
    std::printf("Starting iteration (%d/%d) of retraining\n", it, options.nRetIt);
    model_->Clear();
    BuildModels(negatives, positives);
    SaveModelFile(*model_, ModelFileName(options.modelFile, it));
    if (it < options.nRetIt) {
      std::vector<TrainingImage*> hard =
          SampleDetWindowsRetraining(negativeImages, options.ThRetraining);
      int added = 0;
      for (const TrainingImage* image : hard) added += static_cast<int>(image->windows.size());
      std::printf("Adding %d negative samples (with response greater than %5.3f)\n", added,
                  options.ThRetraining);
      negatives.insert(negatives.end(), hard.begin(), hard.end());
    }
  }
  std::printf("PLS models built successfully (stored in files '%s.ret??.yml')\n",
              options.modelFile.c_str());
  std::fflush(stdout);
}

int Training::ScanWorkers(const std::vector<std::string>& images) const {
  const int workers = Workers(static_cast<int>(images.size()));
  if (workers == 1) return 1;
  // A scan holds the features and the cache of a whole image, so each
  // worker adds the largest image's worth. More threads must not take more
  // than half again the memory of one: the workers after the first may add
  // half of what the process holds now. ImageBytes and ScanCacheBytes count
  // the features and the cached entries but not the allocator's slack and
  // the containers' growth, which take about half as much again; an image
  // is counted twice over, to be safe.
  std::vector<Model*> models = {model_.get()};
  int64_t image = 0;
  for (const std::string& path : images) {
    auto found = imageSizes_.find(path);
    if (found == imageSizes_.end()) continue;
    const int W = found->second.width;
    const int H = found->second.height;
    image = std::max(image, featureControl_.ImageBytes(models, W, H) +
                                featureControl_.ScanCacheBytes(*model_, W, H, options_.shift,
                                                               options_.shift));
  }
  const int64_t resident = ResidentBytes();
  if (image <= 0 || resident <= 0) return workers;
  const int64_t extra = resident / 2 / (2 * image);
  return static_cast<int>(std::min<int64_t>(workers, 1 + extra));
}

std::vector<TrainingImage*> Training::SampleDetWindowsRetraining(
    const std::vector<std::string>& negativeImages, float threshold) {
  const int windowW = model_->windowW;
  const int windowH = model_->windowH;
  const int blocks = static_cast<int>(model_->blockModels.size());
  std::printf("Sampling detection windows for retraining...\n");

  // Each worker scans whole images with its own features, model copy and
  // buffer; the windows that reach the threshold are offered to the
  // candidates in image order, so the set kept (ties and evictions
  // included) is the one a single scan keeps.
  const int count = static_cast<int>(negativeImages.size());
  const int workers = ScanWorkers(negativeImages);
  struct Scanner {
    FeatureControl* features = nullptr;
    std::unique_ptr<Model> copy;  // null for worker 0, which uses model_
    Model* model = nullptr;
    std::vector<float> buffer;
  };
  std::vector<Scanner> scanners(static_cast<size_t>(workers));
  for (int w = 0; w < workers; ++w) {
    Scanner& scanner = scanners[static_cast<size_t>(w)];
    scanner.features = &WorkerControl(w);
    if (w > 0) scanner.copy = model_->Copy();
    scanner.model = w > 0 ? scanner.copy.get() : model_.get();
    scanner.buffer.resize(static_cast<size_t>(std::max(model_->nrawfeatures, 1)));
  }
  std::vector<std::vector<DetectionWindow>> reached(static_cast<size_t>(count));

  HardNegatives candidates(options_.samplesIt, threshold);
  OrderedWork work;
  work.start = [&](int item) {
    std::printf("\r%d/%d", item, count);
    std::fflush(stdout);
  };
  work.compute = [&](int item, int worker) {
    Scanner& scanner = scanners[static_cast<size_t>(worker)];
    FeatureControl& features = *scanner.features;
    const std::string& path = negativeImages[static_cast<size_t>(item)];
    cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
    if (image.empty()) {
      Fatal(kSource, "Training::SampleDetWindowsRetraining", kScanUnreadableLine,
            Format("can't load image '%s'", path.c_str()));
    }
    features.AddNewImage(image);
    std::vector<DetectionWindow>& found = reached[static_cast<size_t>(item)];
    for (const ScanPosition& at :
         ScanPositions(image.cols, image.rows, windowW, windowH, options_.shift)) {
      features.FillCache(*scanner.model, at.x, at.y, 0, blocks - 1);
      features.GetWindowFeatures(*scanner.model, at.x, at.y, scanner.buffer.data());
      float response = 0.0f;
      float other = 0.0f;
      scanner.model->ClassifyFeatures(scanner.buffer.data(), &response, &other);
      // A window below the threshold is never held: no need to keep it.
      if (!(response >= threshold)) continue;
      DetectionWindow window;
      window.x = static_cast<int16_t>(at.x);
      window.y = static_cast<int16_t>(at.y);
      window.width = static_cast<int16_t>(windowW);
      window.height = static_cast<int16_t>(windowH);
      window.response = response;
      found.push_back(window);
    }
    features.ReleaseImage();
  };
  work.finish = [&](int item) {
    std::vector<DetectionWindow> found;
    found.swap(reached[static_cast<size_t>(item)]);
    const std::string& path = negativeImages[static_cast<size_t>(item)];
    for (const DetectionWindow& window : found) {
      candidates.Offer(static_cast<float>(window.response), path, window);
    }
  };
  // Windows wait for their image's turn: hold at most a few images' worth.
  RunInOrder(count, workers, 4 * workers, work);

  std::vector<TrainingImage*> hard;
  for (TrainingImage& grouped : candidates.Group()) {
    TrainingImage* entry = NewTrainingImage(grouped.path);
    entry->windows = std::move(grouped.windows);
    hard.push_back(entry);
  }
  std::printf("\n");
  return hard;
}

}  // namespace pedscan
