// The detection mode: scanning every frame of a source with the cascades of
// every object type over an image pyramid.
//
// Construction reads the detection configuration, loads every model and
// opens the input source. Each ProcessNextFrame fetches one frame, resizes it
// to every pyramid level, featurises each level once for all models active
// there, scores every window with the stage-0 model of every type, re-scores
// the survivors with the later stages, maps them back to the frame as object
// boxes and optionally suppresses overlaps. SaveResults then writes the
// frame's text files and, with -b, the frame with the boxes drawn.
// Detection owns the object manager, the feature control, the source and the
// frame buffers; the parameter record is the caller's and must outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "app/input_parameters.h"
#include "detection/obj_manager.h"
#include "detection/samples.h"
#include "features/feature_control.h"
#include "model/parameters.h"
#include "support/geometry.h"

namespace pedscan {

// One level of the pyramid of the current frame.
struct LevelImage {
  cv::Mat image;        // the frame resized, 8-bit, 3 channels; empty when the
                        // level would be less than one pixel wide or high
  float factor = 0.0f;  // frame width / resized width
  int stepX = 0;
  int stepY = 0;
  float ratio = 0.0f;
  int index = 0;
  int size = 0;
};

// Capacity of the feature vector of one window, in floats.
inline constexpr int kFeatureBufferSize = 1000000;

// The size of a level of a width x height frame: floor(width * ratio) by
// floor(height * ratio), products in single precision.
cv::Size LevelSize(int width, int height, const ScaleLevel& level);

// The frame resized to the level (LevelSize), bicubic interpolation.
LevelImage MakeLevelImage(const cv::Mat& frame, const ScaleLevel& level);

// Scores one window whose top-left corner is (x, y) of the level image.
using WindowScorer = std::function<float(int x, int y)>;

// Scores every window of wW x wH at steps stepX, stepY over an image of
// width x height (rows outer, columns inner) and appends to `out` those whose
// response reaches the threshold (ties kept). Returns the windows scored; 0
// when the image is smaller than the window.
int ScanWindows(int width, int height, int wW, int wH, int stepX, int stepY, double threshold,
                const WindowScorer& score, std::vector<DetectionWindow>& out);

// Re-scores candidates at their positions; keeps them, with the new window
// size and response, only when the response exceeds the threshold (ties
// dropped).
std::vector<DetectionWindow> RescoreWindows(const std::vector<DetectionWindow>& candidates, int wW,
                                            int wH, double threshold, const WindowScorer& score);

// Maps a window of a level image to the frame: each of x, y, width and height
// multiplied by the level's factor and floored, in single precision.
DetectionWindow MapToFrame(const DetectionWindow& window, float factor);

// Shrinks a window box to the object box of a model (window wW x wH, object
// oW x oH), centred in the window: the object offset of the model plays no
// part.
DetectionWindow ShrinkToObject(const DetectionWindow& window, int wW, int wH, int oW, int oH);

// Result file names: "<output>/<frame>.png", in ROI mode
// "<output>/<frame>_ROI<frameIndex, 4 digits>.png"; "<output>/<frame><suffix>.txt".
std::string ResultImagePath(const std::string& output, const std::string& frameName, bool roiMode,
                            int frameIndex);
std::string ResultTextPath(const std::string& output, const std::string& frameName,
                           const std::string& suffix);

// The text-file suffix of each object type: "" for a single type, else "."
// followed by the type name.
std::vector<std::string> TextSuffixes(const std::vector<std::string>& objectTypes);

// Writes (or, with `append`, appends) one "%d %d %d %d %.13g\n" line per
// window with the offsets added to x and y. The file is replaced whole
// through a temporary file (see AtomicFile), so a failure leaves it as it
// was; a file that cannot be written is a fatal report naming the path and
// the reason.
void WriteDetections(const std::string& path, const std::vector<DetectionWindow>& list,
                     bool append, int offsetX, int offsetY);

// Draws the windows: rectangles of thickness 2, or ellipses through the box
// corners region (half-axes 0.7 w, 0.7 h) of thickness 3; 8-connected lines.
void DrawDetections(cv::Mat& image, const std::vector<DetectionWindow>& list, bool ellipse,
                    const cv::Scalar& colour);

// The drawing colour of the object type at position i: seven colours,
// reused in turn past the seventh type.
cv::Scalar TypeColour(const std::vector<cv::Scalar>& colours, size_t i);

class Detection {
 public:
  // Reads the detection configuration, loads the models and opens the
  // source. Failures are those of the configuration reader, the model files,
  // the object manager and the source.
  Detection(const std::string& configFile, InputParameters& parameters);
  ~Detection();

  // Fetches, scans and keeps the next frame; returns its 1-based number, or
  // -1 when the source has no frame left. A frame whose estimated need is
  // more than the memory available is a fatal report naming its size and
  // both figures, before any work on it.
  int ProcessNextFrame();
  // Writes the results of the frame just processed: the text file(s) and,
  // with -b, the image with the boxes of every type drawn.
  void SaveResults();
  // Draws one type's windows on `image` and writes it as the frame's PNG.
  void DrawAndSave(cv::Mat& image, const std::vector<DetectionWindow>& list, bool ellipse,
                   const cv::Scalar& colour);
  // Writes one type's windows to the frame's text file with `suffix`.
  void WriteText(const std::string& suffix, const std::vector<DetectionWindow>& list);

  // The most memory scanning a width x height frame takes beyond what is
  // held already: the largest pyramid level with its features and caches,
  // and the copy of the frame the results are drawn on.
  int64_t EstimatePeakBytes(int width, int height);

  bool IsVideo() const;
  bool IsCamera() const;
  // Releases the capture of a video or camera source.
  void ReleaseCapture();

  ObjManager& objManager() { return *objManager_; }
  const std::vector<ScaleLevel>& levels() const { return levels_; }
  int numberOfFrames() const { return nFrames_; }
  const std::string& frameName() const { return frameName_; }

 private:
  // Builds, scans and releases the pyramid levels of the frame one by one.
  void ScanFrame(const cv::Mat& frame);
  // The response of the model's window at (x, y) of the current level image.
  // cacheFilled: the level's scan fill already stored every cached block.
  float ClassifyWindow(Model& model, int x, int y, bool cacheFilled);

  std::vector<cv::Scalar> colors_;
  InputParameters* parameters_;
  ParametersExecution configuration_;
  std::unique_ptr<ObjManager> objManager_;
  std::unique_ptr<FeatureControl> featureControl_;
  std::vector<ScaleLevel> levels_;
  int numberOfStages_ = 0;
  std::vector<std::string> objectTypes_;
  std::unique_ptr<float[]> featureBuffer_;
  std::vector<const float*> slices_;  // one per block of the model scored
  Samples samples_;
  int nFrames_ = 0;
  int frameIndex_ = 0;
  std::string frameName_;
  int totalWindows_ = 0;
  int64_t totalTicks_ = 0;
  bool appendText_ = false;
  bool roiMode_ = false;
  int offsetX_ = 0;
  int offsetY_ = 0;
  cv::Mat outputImage_;
};

}  // namespace pedscan
