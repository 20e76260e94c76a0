// The detector engine: the cascades of every object type over the image
// pyramid of one frame, without a source, files or printing.
//
// A Detector is built from a detection configuration (a file, or one already
// read). It owns the object manager with every model, the feature control,
// the pyramid levels and its scratch buffers. Detect resizes a frame to each
// level in turn, featurises the level once for all models active there,
// scores every window with the stage-0 model of every type, re-scores the
// survivors with the later stages, and maps them back to the frame as object
// boxes. Suppress is the separate, optional overlap suppression.
//
// Threads: Detect may spread one frame over several worker threads of its
// own (SetThreads). A Detector is called by one thread at a time; separate
// Detectors share nothing and may run side by side. Detections are plain
// values.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "detection/obj_manager.h"
#include "detection/suppression.h"
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

// Box placement (SetBoxPlacement): the overlap with a detection's box from
// which a stage-0 window helps place it, and the weight every such window
// has beyond its response's excess over the stage's threshold, so that one
// just at the threshold counts a little.
inline constexpr float kPlacementOverlap = 0.4f;
inline constexpr double kPlacementFloor = 1e-3;

// The most padding SetPadding takes: far more than any window needs, and
// small enough that a padded frame's coordinates stay in range.
inline constexpr int kLargestPadding = 10000;

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

// What a caller may want to show while a frame is scanned. The calls come
// one at a time, in level order (see Detector::Detect); the default does
// nothing.
class DetectionProgress {
 public:
  virtual ~DetectionProgress() = default;
  // Level `level` (1-based) of `levels` is about to be built and scanned;
  // called for every level, also those no type is scanned at.
  virtual void LevelStarted(int level, int levels) {
    (void)level;
    (void)levels;
  }
  // The first stage of one object type starts on `level`, whose image is
  // width x height pixels (0 x 0 when the level is below one pixel).
  virtual void ScanStarted(const LevelImage& level, int width, int height) {
    (void)level;
    (void)width;
    (void)height;
  }
};

// The progress as the command line prints it ("\rscale 3/16" for a level,
// " (height: 52, x: 4, y: 5 (332,236))" for a type's first stage on it),
// gathered in `text` for whoever prints or logs it.
class ProgressText : public DetectionProgress {
 public:
  void LevelStarted(int level, int levels) override;
  void ScanStarted(const LevelImage& level, int width, int height) override;
  std::string text;
};

// The detections of one frame.
struct Detections {
  // One list per object type, in the order of Detector::objectTypes: the
  // boxes in frame pixels, levels in pyramid order, windows in scan order.
  std::vector<std::vector<DetectionWindow>> windows;
  // Windows scored by the first stages, over all levels and types.
  int windowsScanned = 0;
  // Time spent scanning, in cv::getTickCount ticks (suppression excluded).
  int64_t ticks = 0;
};

class Detector {
 public:
  // Reads the detection configuration file and loads every model. Failures
  // are those of the configuration reader, the model files and the object
  // manager. `threads` as for SetThreads.
  explicit Detector(const std::string& configFile, int threads = 1);
  // The same from a configuration already read; the Detector keeps it.
  explicit Detector(ParametersExecution configuration, int threads = 1);
  ~Detector();
  Detector(const Detector&) = delete;
  Detector& operator=(const Detector&) = delete;

  // The worker threads Detect scans the pyramid levels with: `threads`
  // when positive, every core available to the process when 0. Each worker
  // beyond the first loads the models again, so that every thread has its
  // own models, features and scratch. The detections do not depend on it.
  void SetThreads(int threads);
  int threads() const { return static_cast<int>(workers_.size()); }

  // Scans an 8-bit, 3-channel frame and returns the windows of every type
  // that pass the whole cascade. An empty frame has no detections. With
  // several workers the levels are scanned side by side, largest first, and
  // put together in level order, so the result is the one a single worker
  // gives; the progress calls come in level order too, one at a time, from
  // whichever thread finishes the level.
  Detections Detect(const cv::Mat& frame, DetectionProgress* progress = nullptr);

  // Scans several frames at once, their levels spread over the workers
  // together, so that frames keep every worker busy where one frame's
  // largest level would not. Frame i's detections and progress calls
  // (progress[i], when given and not null) are those Detect would give;
  // each frame's ticks are the batch's share. A frame that fails leaves the
  // others unharmed: with `failures`, its failure is stored at its index
  // (null for the others); without, the first failure in frame order is
  // rethrown once every frame is done.
  std::vector<Detections> DetectFrames(const std::vector<cv::Mat>& frames,
                                       const std::vector<DetectionProgress*>& progress,
                                       std::vector<std::exception_ptr>* failures = nullptr);

  // Removes, type by type, the weaker of two detections that overlap by more
  // than `threshold` (see NonMaxSuppression).
  static void Suppress(Detections& detections, float threshold = kSuppressionThreshold);

  // With stage suppression on, a cascade runs in two passes: stage 0 on
  // every level, then suppression of its windows over the whole frame (as
  // Suppress, on the stage-0 responses), then the later stages on what is
  // left, then suppression again. The later stages thus score the stage-0
  // window that stood out among a person's shifted and rescaled copies,
  // instead of every copy competing on the last stage's response. A single
  // stage is suppressed once, after it. Off by default.
  void SetStageSuppression(bool on) { stageSuppression_ = on; }

  // The overlap above which the stage suppression drops the weaker of two
  // windows, in both passes. Two people side by side overlap by more than
  // the default kSuppressionThreshold once one steps half in front of the
  // other. Requires 0 <= threshold <= 1.
  void SetSuppressionThreshold(float threshold) { suppressionThreshold_ = threshold; }
  float suppressionThreshold() const { return suppressionThreshold_; }

  // With a width w > 0 and stage suppression, the suppression is soft: no
  // stage-0 window is removed before the later stages, and at the end each
  // box's response is lowered by the stronger boxes overlapping it
  // (SoftSuppressedResponses) instead of the box being removed; a box whose
  // lowered response no longer passes its last stage's threshold is
  // removed. The overlap threshold is then not used. Two people walking
  // close together keep both boxes, the one behind with a lower response.
  // Requires w >= 0; 0, off, by default.
  void SetSoftSuppression(float width) { softWidth_ = width; }
  float softSuppression() const { return softWidth_; }

  // With placement on and stage suppression, each box that survives the
  // suppression is placed by PlaceBox among the stage-0 windows of its frame
  // and type that overlap it by kPlacementOverlap or more, its own window
  // included, each weighted by its stage-0 response less the stage's
  // threshold, plus kPlacementFloor. Which boxes survive, and their
  // responses, do not change. Off by default; nothing without stage
  // suppression.
  void SetBoxPlacement(bool on) { boxPlacement_ = on; }
  bool boxPlacement() const { return boxPlacement_; }

  // With a fraction c > 0 and stage suppression, a box that lies by c or
  // more of its area inside a stronger and taller box is removed after the
  // boxes are placed (RemoveContained). Requires 0 <= c <= 1; 0, off, by
  // default.
  void SetContainment(float fraction) { containment_ = fraction; }
  float containment() const { return containment_; }

  // With padding p > 0, each frame is scanned with p pixels of its border
  // repeated around it (a person cut by the bottom or a side of the frame
  // then fills a whole window), and the boxes are moved back and clipped to
  // the frame. Requires 0 <= p <= kLargestPadding; 0 by default.
  void SetPadding(int pixels) { padding_ = pixels; }

  // The most memory scanning a width x height frame takes beyond what is
  // held already: the largest pyramid levels with their features and
  // caches, one per worker.
  int64_t EstimatePeakBytes(int width, int height);

  const std::vector<std::string>& objectTypes() const { return objectTypes_; }
  const std::vector<ScaleLevel>& levels() const { return levels_; }
  ObjManager& objManager();

 private:
  struct Worker;
  struct LevelResult;
  // One level of one frame, handed to a worker.
  struct LevelItem {
    int frame;
    int level;
    int64_t area;
  };
  using LevelWindows = std::vector<std::vector<DetectionWindow>>;  // per type
  // What ScanLevel runs: the whole cascade; stage 0 alone, its windows left
  // in level coordinates; or the later stages on given stage-0 windows.
  enum class Pass { kCascade, kFirstStage, kLaterStages };

  // Builds a worker on its own copy of the configuration's declarations.
  std::unique_ptr<Worker> MakeWorker(const ObjectTypeMap& declarations);
  // Builds and scans level e of the frame with one worker, telling `live`
  // (when not null) of the progress as it goes.
  void ScanLevel(Worker& worker, const cv::Mat& frame, int e, LevelResult& result,
                 DetectionProgress* live, Pass pass = Pass::kCascade,
                 const LevelWindows* survivors = nullptr);
  // The frame-wide suppression of the stage-0 windows of `results` and the
  // later stages on the survivors of each level; the windows of `results`
  // are replaced by what the last stage keeps.
  // When `stageZero` is given, it receives every stage-0 window of each
  // frame and type with its placement weight.
  void ScanLaterStages(const std::vector<cv::Mat>& frames, const std::vector<LevelItem>& items,
                       std::vector<std::vector<LevelResult>>& results,
                       std::vector<std::atomic<int>>& firstFailure,
                       std::vector<std::vector<std::vector<WeightedWindow>>>* stageZero);
  // The threshold of the last stage that scores windows of `type` at the
  // level, and whether a response must lie above it (a later stage) rather
  // than at or above it (stage 0).
  std::pair<double, bool> LastStageCut(const std::string& type, int levelIndex);
  // The memory level e of a width x height frame takes; 0 when no type is
  // scanned there or the level is below one pixel.
  int64_t LevelBytes(int width, int height, const ScaleLevel& level);

  ParametersExecution configuration_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<ScaleLevel> levels_;
  int numberOfStages_ = 0;
  bool stageSuppression_ = false;
  float suppressionThreshold_ = kSuppressionThreshold;
  bool boxPlacement_ = false;
  float softWidth_ = 0.0f;
  float containment_ = 0.0f;
  int padding_ = 0;
  std::vector<std::string> objectTypes_;
};

}  // namespace pedscan
