// The detection mode: every frame of a source through the detector, with
// the results written as text files and drawn images.
//
// Construction builds the Detector (configuration and models) and opens the
// source. Each ProcessNextFrame fetches one frame, checks that it fits in
// memory, runs Detector::Detect on it, optionally suppresses overlaps and
// prints the progress and the statistics line. SaveResults then writes the
// frame's text files and, when drawing, the frame with the boxes drawn.
// With several threads and a source of stored frames (a directory, regions,
// a video), frames are read and scanned a batch ahead, and everything is
// printed and written frame by frame in order as before: a failure on a
// frame (reading, memory, scanning or writing) comes when that frame's turn
// does, after every earlier frame's results are written.
// Detection owns the detector, the source, its options and the frame copy.
// It belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detection/detector.h"
#include "source/samples.h"
#include "support/geometry.h"

namespace pedscan {

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

// The drawing colour (BGR) of the object type at position i of the
// configuration's sorted types: yellow, blue, red, magenta, green, violet
// and purple, reused in turn past the seventh type. Everything that draws
// results (drawn images, annotated videos, the Python module) uses these.
cv::Scalar TypeColour(size_t i);

// What the detection mode does besides detecting: where the frames come
// from, where the results go, how they are drawn and whether overlaps are
// suppressed.
struct DetectionOptions {
  SourceOptions source;
  std::string output;
  bool drawBB = false;
  bool drawEllipse = false;
  bool nonMaxSup = false;
  // Suppression after every stage, level by level (Detector::SetStageSuppression).
  bool stageNonMaxSup = false;
  // The overlap above which either suppression drops the weaker box
  // (Detector::SetSuppressionThreshold).
  float overlap = kSuppressionThreshold;
  // Boxes placed among their stage-0 windows (Detector::SetBoxPlacement).
  bool placeBoxes = false;
  // Boxes inside stronger, taller ones removed (Detector::SetContainment).
  float contained = 0.0f;
  // The width of the soft stage suppression; 0: none (Detector::SetSoftSuppression).
  float soft = 0.0f;
  // Pixels of repeated border around each frame (Detector::SetPadding).
  int padding = 0;
  // Worker threads of the detector; 0: every core available.
  int threads = 0;
};

class Detection {
 public:
  // Reads the detection configuration, loads the models and opens the
  // source. Failures are those of the configuration reader, the model files,
  // the object manager and the source.
  Detection(const std::string& configFile, const DetectionOptions& options);
  ~Detection();

  // Fetches (or takes from the batch read ahead), scans and keeps the next
  // frame; returns its 1-based number, or
  // -1 when the source has no frame left. A frame whose estimated need is
  // more than the memory available is a fatal report naming its size and
  // both figures, before any work on it.
  int ProcessNextFrame();
  // Writes the results of the frame just processed: the text file(s) and,
  // when drawing, the image with the boxes of every type drawn.
  void SaveResults();
  // Draws one type's windows on `image` and writes it as the frame's PNG.
  void DrawAndSave(cv::Mat& image, const std::vector<DetectionWindow>& list, bool ellipse,
                   const cv::Scalar& colour);
  // Writes one type's windows to the frame's text file with `suffix`.
  void WriteText(const std::string& suffix, const std::vector<DetectionWindow>& list);

  // The most memory scanning a width x height frame takes beyond what is
  // held already: the detector's estimate and the copy of the frame the
  // results are drawn on.
  int64_t EstimatePeakBytes(int width, int height);

  bool IsVideo() const;
  bool IsCamera() const;
  // Releases the capture of a video or camera source.
  void ReleaseCapture();

  Detector& detector() { return *detector_; }
  ObjManager& objManager() { return detector_->objManager(); }
  const std::vector<ScaleLevel>& levels() const { return detector_->levels(); }
  // The detections of the frame just processed, one list per object type.
  const Detections& detections() const { return detections_; }
  int numberOfFrames() const { return nFrames_; }
  const std::string& frameName() const { return frameName_; }

 private:
  struct AheadFrame;
  // Reads and scans the next batch of frames, as many as the detector has
  // workers, stopping at the end of the source or at a frame that fails.
  void ReadAhead();
  // ProcessNextFrame from the batch read ahead.
  int TakeAheadFrame();
  // Fatal report when a frame of width x height named `name` cannot fit.
  void CheckMemory(const std::string& name, int width, int height);
  // Suppresses overlaps when asked and prints the statistics line.
  void FinishFrame();

  std::vector<std::unique_ptr<AheadFrame>> ahead_;  // read and scanned, not yet taken
  int readIndex_ = 0;  // the next frame of the source to read
  bool readsAhead_ = false;
  DetectionOptions options_;
  std::unique_ptr<Detector> detector_;
  Samples samples_;
  Detections detections_;
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
