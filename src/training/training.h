// The training driver: window sampling, block features, block and window
// models, and the retraining run that writes one model file per iteration.
//
// Training learns a Model from a directory of positive and a directory of
// negative example images. A new Training holds nothing; Setup builds its
// model from the configuration file and keeps a copy of the options. It owns
// the model, its FeatureControl and every TrainingImage it creates (they live
// as long as the driver).
//
// Threads: a Training belongs to one thread at a time; two drivers share
// nothing and may run side by side (each writes its own model files).
// Inside, it spreads its work over options.threads workers (each with a
// FeatureControl and, for the retraining scan, a copy of the model of its
// own) and merges their results in the order one thread produces them, so
// that every model file and everything printed is the same for every
// thread count.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "features/feature_control.h"
#include "model/model.h"
#include "numeric/matrix.h"
#include "support/geometry.h"

namespace pedscan {

// The classic C runtime linear congruential generator, as an object of its
// own so that sampling does not depend on (or disturb) the platform's rand:
// Seed(s) sets the 32-bit state to s; Next() steps the state to
// state * 214013 + 2531011 (mod 2^32) and returns its bits 16 to 30.
class RandomGenerator {
 public:
  explicit RandomGenerator(uint32_t seed = 1) : state_(seed) {}
  void Seed(uint32_t seed) { state_ = seed; }
  // A value in 0..32767.
  int Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7fffu);
  }

 private:
  uint32_t state_;
};

// What a training run is told besides the configuration: where the example
// images are, how windows are drawn from them, how the models are built and
// retrained, and where the model files go.
struct TrainingOptions {
  std::string positive;                 // directory of positive images
  std::string negative;                 // directory of negative images
  std::string filemask = "*.png,*.jpg";
  std::string modelFile = "learnedModel";  // prefix of "<prefix>.retNN.yml"
  int32_t nSampIm = 1;       // windows drawn per image
  int32_t seed = 0;          // sampling seed; negative: from the clock
  int32_t nRetIt = 4;        // retraining iterations
  int32_t samplesIt = 1000;  // hard negatives added per iteration at most
  float ThRetraining = 0.9f; // response a hard negative must reach
  int32_t shift = 16;        // window step of the hard-negative scan
  int32_t nblockIt = 330;    // blocks whose features are extracted at once
  bool rawFeatures = false;  // block features kept raw, without block PLS
  int32_t nfactBlock = 5;    // PLS factors per block
  bool cv = false;           // choose the window factors by cross-validation
  int32_t nfolds = 20;
  int threads = 0;           // worker threads; 0: every core available
};

// One example image and the windows drawn from it (or found in it).
struct TrainingImage {
  std::string path;
  std::vector<DetectionWindow> windows;
};

class Training {
 public:
  Training();
  Training(const Training&) = delete;
  Training& operator=(const Training&) = delete;

  // Creates the model from the configuration file (its fatal and plain
  // reports end the run there) and keeps a copy of `options`.
  void Setup(const std::string& configFile, const TrainingOptions& options);

  // The whole training run: resolves the feature methods, draws the negative
  // then the positive windows, and builds nRetIt + 1 models, each written to
  // "<modelFile>.retNN.yml" (through a temporary file in the same directory
  // that is renamed into place, so a later failure or an interrupt never
  // leaves a partial file under a final name), adding hard negatives between
  // builds. Fails before any image is read when the model files cannot be
  // created, when -F is below 2 with -C, or when -B, -S or -f cannot work.
  void Run();

  // The images of `directory` matching `filemask` (fatal "no images found!"
  // when there are none) with up to nSampIm windows of the detection window
  // size each, drawn at random: the generator is reseeded with `seed`, or
  // with the clock when seed is negative, on every call; x is drawn before y;
  // a window at (0, 0) ends the image's draws. Fatal (line 111) when nSampIm
  // is below 1, before any image is read; fatal naming the image when one
  // does not decode or is smaller than the window (all images are checked
  // here, before any feature is extracted).
  std::vector<TrainingImage*> CreateListDetWindows(const std::string& filemask,
                                                   const std::string& directory);
  // The same sampling over an explicit list of image files.
  std::vector<TrainingImage*> CreateListDetWindows(const std::vector<std::string>& files);

  // One matrix per block of firstBlock..lastBlock (inclusive): a row of the
  // block's raw features per window of `images`, in list order. Each window
  // is cropped and processed as an image of its own. Prints "\r%d/%d" per
  // image and a final "\n". Fatal naming an image that no longer decodes.
  // Requires featureControl() to hold the model's methods (SetModelMethods
  // and ActivateModelMethods, as Run does); the other workers' controls are
  // made from the model the same way.
  std::vector<MatrixPtr> ExtractBlockFeatures(const std::vector<TrainingImage*>& images,
                                              int firstBlock, int lastBlock);

  // Trains the block models chunk by chunk (nblockIt blocks at a time), or
  // keeps the blocks raw with rawFeatures, concatenates the block outputs,
  // optionally chooses the number of factors by cross-validation, and trains
  // the window PLS and the classifier. The model must be cleared before.
  void BuildModels(const std::vector<TrainingImage*>& negatives,
                   const std::vector<TrainingImage*>& positives);

  // Places the parts side by side, in order, in a matrix of the first
  // part's rows and `cols` columns (the sum of the parts' columns).
  // Fatal (line 374) "Invalid input matrix!" when `parts` is empty.
  static MatrixPtr ConvertToSingleMatrix(int cols, const std::vector<MatrixPtr>& parts);

  // Scans every image of `negativeImages` at its own scale with step
  // `shift` and returns the samplesIt highest-scoring windows whose response
  // reaches `threshold`, one TrainingImage per contributing image in
  // byte order of the paths. Prints its progress lines.
  std::vector<TrainingImage*> SampleDetWindowsRetraining(
      const std::vector<std::string>& negativeImages, float threshold);

  Model& model() { return *model_; }
  FeatureControl& featureControl() { return featureControl_; }

  // The clock that seeds the sampling when seed is negative; time(NULL)
  // unless a test replaces it.
  void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  // A new TrainingImage owned by the driver.
  TrainingImage* NewTrainingImage(const std::string& path);
  // Stops the run before any work when an option would make it loop
  // forever or fail only after hours of work.
  void CheckRunOptions() const;
  // The workers for `items` items: options.threads resolved, at most
  // `items`, at least 1.
  int Workers(int items) const;
  // Worker w's FeatureControl: featureControl_ for worker 0, for the others
  // one of their own with the model's methods. Makes the missing ones, so
  // call it for every worker before they start (it changes the model's
  // blocks, always to the same values).
  FeatureControl& WorkerControl(int worker);
  // The workers of a retraining scan over `images`: Workers(), fewer when
  // the images they would hold side by side would take too much memory.
  int ScanWorkers(const std::vector<std::string>& images) const;

  std::unique_ptr<Model> model_;
  TrainingOptions options_;
  FeatureControl featureControl_;
  std::vector<std::unique_ptr<FeatureControl>> workerControls_;  // workers 1, 2, ...
  std::string configFile_;
  std::vector<std::unique_ptr<TrainingImage>> images_;
  std::map<std::string, cv::Size> imageSizes_;  // of every image sampled
  RandomGenerator random_;
  std::function<std::time_t()> clock_;
};

}  // namespace pedscan
