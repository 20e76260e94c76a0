// The feature-extraction mode: windows sampled as training samples them,
// each window's raw feature vector computed with the configured methods, and
// two matrix files written per input image.
//
// FeatureExtraction is built from the configuration file and its options;
// it owns them, its sampling driver, its model (which supplies the blocks
// and the feature count), its FeatureControl and one window's feature
// buffer. It belongs to one thread at a time; Run spreads the images over
// options.threads workers, each with a FeatureControl and a buffer of its
// own, and writes the files and the progress in image order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "features/feature_control.h"
#include "model/model.h"
#include "numeric/matrix.h"
#include "training/training.h"

namespace pedscan {

// The input (a single image, or a directory listed through the masks), the
// output directory and how windows are drawn (as training draws them).
struct ExtractionOptions {
  std::string input;
  bool isImage = false;
  std::string filemask = "*.png,*.jpg";
  std::string output;
  int32_t nSampIm = 1;
  int32_t seed = 0;
  int threads = 0;  // worker threads; 0: every core available
};

class FeatureExtraction {
 public:
  // Sets the sampling driver and the model up from `configFile` and resolves
  // and activates the model's feature methods. Configuration failures end
  // the run here.
  FeatureExtraction(const std::string& configFile, const ExtractionOptions& options);
  FeatureExtraction(const FeatureExtraction&) = delete;
  FeatureExtraction& operator=(const FeatureExtraction&) = delete;

  // Samples the windows of the input image, or of the images of the input
  // directory that match the file mask, and writes for each image
  // "<output>/<stem>.features.matrix" (a row of raw features per window) and
  // "<output>/<stem>.coords.matrix" (x, y, width, height per window),
  // printing "\r%d/%d" before each image and "done!\n" at the end.
  // Fatal naming an image that does not decode and a file that cannot be
  // written; the sampling's failures are those of Training.
  void Run();

  // Receives one image's matrices: a row of raw features per window and a
  // row (x, y, width, height) per window, the matrices Run writes.
  using ImageMatrices =
      std::function<void(const TrainingImage& image, MatrixPtr features, MatrixPtr coordinates)>;
  // Run without the files, for a caller that keeps the matrices in memory:
  // the same sampling, threads, progress and failures, but each image's
  // matrices go to `take`, in image order, one call at a time (on any of
  // the workers). An exception from `take` ends the run like a failed write.
  void Run(const ImageMatrices& take);

  // A row of the model's raw features per window of `image`, each window
  // cropped and processed as an image of its own. Fatal naming the image
  // when it does not decode.
  MatrixPtr ExtractImageFeatures(const TrainingImage& image);
  // A row (x, y, width, height) per window.
  static MatrixPtr WindowCoordinates(const TrainingImage& image);
  // "<output>/<stem>.features.matrix" and "<output>/<stem>.coords.matrix".
  static std::string FeaturesFileName(const std::string& output, const std::string& imagePath);
  static std::string CoordinatesFileName(const std::string& output, const std::string& imagePath);

  const Model& model() const { return model_; }

 private:
  // ExtractImageFeatures with the given FeatureControl (holding model_'s
  // methods) and buffer (nrawfeatures values).
  MatrixPtr Extract(const TrainingImage& entry, FeatureControl& featureControl, float* buffer);

  ExtractionOptions options_;
  Training training_;
  Model model_;
  FeatureControl featureControl_;
  std::vector<float> buffer_;
};

}  // namespace pedscan
