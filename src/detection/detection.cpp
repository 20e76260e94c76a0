#include "detection/detection.h"

#include <cstdio>

#include <opencv2/core/utility.hpp>

#include "support/failure.h"
#include "support/memory.h"

namespace pedscan {
namespace {

constexpr char kSource[] = "detection";
constexpr int kFrameTooLargeLine = 120;

// The progress of the scan as the command line shows it: the level being
// scanned, rewritten in place, and each type's level geometry after it.
class PrintedProgress : public DetectionProgress {
 public:
  void LevelStarted(int level, int levels) override { std::printf("\rscale %d/%d", level, levels); }
  void ScanStarted(const LevelImage& level, int width, int height) override {
    std::printf(" (height: %d, x: %d, y: %d (%d,%d))", level.size, level.stepX, level.stepY, width,
                height);
    std::fflush(stdout);
  }
};

}  // namespace

Detection::Detection(const std::string& configFile, const DetectionOptions& options)
    : colors_{cv::Scalar(0, 255, 255, 0), cv::Scalar(255, 0, 0, 0),   cv::Scalar(0, 0, 255, 0),
              cv::Scalar(255, 0, 255, 0), cv::Scalar(0, 255, 0, 0),   cv::Scalar(255, 0, 127, 0),
              cv::Scalar(127, 0, 255, 0)},
      options_(options),
      detector_(std::make_unique<Detector>(configFile, options.threads)) {
  samples_.ReadInput(options_.source, &roiMode_);
  nFrames_ = samples_.NumberOfFrames();
  frameIndex_ = 0;
  totalWindows_ = 0;
  totalTicks_ = 0;
}

Detection::~Detection() = default;

bool Detection::IsVideo() const { return samples_.isVideo(); }
bool Detection::IsCamera() const { return samples_.isCamera(); }
void Detection::ReleaseCapture() { samples_.ReleaseCapture(); }

int Detection::ProcessNextFrame() {
  if (frameIndex_ >= nFrames_) return -1;
  ROI offset;
  const cv::Mat* frame = samples_.GetFrame(frameIndex_, &frameName_, &appendText_, &offset);
  // A video can announce more frames than it yields; the first frame that
  // cannot be read ends the source.
  if (frame == nullptr || frame->empty()) return -1;
  // A frame that cannot fit is refused before any work, instead of being
  // killed by the system half-way through.
  const int64_t needed = EstimatePeakBytes(frame->cols, frame->rows);
  const int64_t available = AvailableMemoryBytes();
  if (needed > available) {
    Fatal(kSource, "Detection::ProcessNextFrame", kFrameTooLargeLine,
          Format("frame '%s' (%dx%d) needs about %s to scan, more than the %s available",
                 frameName_.c_str(), frame->cols, frame->rows, DescribeBytes(needed).c_str(),
                 DescribeBytes(available).c_str()));
  }
  ++frameIndex_;
  offsetX_ = offset.x;
  offsetY_ = offset.y;
  PrintedProgress progress;
  detections_ = detector_->Detect(*frame, &progress);
  if (options_.nonMaxSup) Detector::Suppress(detections_);

  totalWindows_ += detections_.windowsScanned;
  totalTicks_ += detections_.ticks;
  // OpenCV 4 counts ticks per second.
  double seconds = static_cast<double>(totalTicks_) / cv::getTickFrequency();
  std::printf(" - detwin: %d (%5.1f det/s) (%4.1f s/frame) (%d/%d)\n", detections_.windowsScanned,
              static_cast<double>(totalWindows_) / seconds, seconds / frameIndex_, frameIndex_,
              nFrames_);
  outputImage_ = frame->clone();
  return frameIndex_;
}

int64_t Detection::EstimatePeakBytes(int width, int height) {
  // The copy of the frame that the boxes are drawn on comes on top.
  return detector_->EstimatePeakBytes(width, height) + 3 * int64_t{width} * height;
}

}  // namespace pedscan
