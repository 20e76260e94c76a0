// Synthetic objects and a small model trained on them through the library,
// for the end-to-end detection tests and the detection benchmark.
//
// The object is a bright head-and-body silhouette on dark noise; crops of
// the detection window size with the silhouette centred in the object box
// are positives, crops with noise, displaced or wrongly sized silhouettes
// are negatives.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "model/model.h"

namespace pedscan {
namespace testutil {

// Dark uniform noise (0..80 per channel), lightly blurred.
cv::Mat NoiseImage(int width, int height, cv::RNG& rng);

// Draws the silhouette filling `box` (head circle above an elliptic body) in a
// bright colour (180..255 per channel).
void DrawObject(cv::Mat& image, const cv::Rect& box, cv::RNG& rng);

struct Crops {
  std::vector<cv::Mat> positives;
  std::vector<cv::Mat> negatives;
};

// Window-sized crops: positives with the silhouette on the object box
// (jittered by a pixel), negatives of three kinds in turn (noise only, a
// silhouette displaced by at least a third of the object, a silhouette of
// half or double size).
Crops MakeCrops(int windowW, int windowH, const cv::Rect& objectBox, int positives, int negatives,
                uint64_t seed);

// A small model configuration for end-to-end runs: a 32 x 64 window with the
// object box 24 x 48 at (4, 8), HOG with colour frequencies and cached COOCH
// blocks, six factors, QDA.
extern const char kObjectConfig[];

// Sets a model up from the model configuration at `configPath`, extracts the
// block features of every crop, trains a PLS of `blockFactors` per block and
// the window PLS with the classifier. The model is ready to classify and to
// save.
std::unique_ptr<Model> TrainModel(const std::string& configPath, const Crops& crops,
                                  int blockFactors);

}  // namespace testutil
}  // namespace pedscan
