#include "detection/detection.h"

#include <cstdio>
#include <exception>
#include <utility>

#include <opencv2/core/utility.hpp>

#include "support/failure.h"
#include "support/memory.h"

namespace pedscan {
namespace {

constexpr char kSource[] = "detection";
constexpr int kFrameTooLargeLine = 120;

// The progress of the scan, printed as it comes.
class PrintedProgress : public ProgressText {
 public:
  void LevelStarted(int level, int levels) override {
    ProgressText::LevelStarted(level, levels);
    Print();
  }
  void ScanStarted(const LevelImage& level, int width, int height) override {
    ProgressText::ScanStarted(level, width, height);
    Print();
  }

 private:
  void Print() {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    text.clear();
  }
};

}  // namespace

// A frame read and scanned ahead of its turn, with what its turn must print
// and the failure its turn must report.
struct Detection::AheadFrame {
  std::string announcement;
  std::exception_ptr readFailure;
  bool end = false;  // the source had no such frame
  std::exception_ptr memoryFailure;
  cv::Mat frame;
  std::string name;
  bool append = false;
  ROI offset;
  ProgressText progress;  // printed at the frame's turn
  Detections detections;
  std::exception_ptr scanFailure;
};

Detection::Detection(const std::string& configFile, const DetectionOptions& options)
    : options_(options),
      detector_(std::make_unique<Detector>(configFile, options.threads)) {
  detector_->SetStageSuppression(options.stageNonMaxSup);
  detector_->SetSuppressionThreshold(options.overlap);
  detector_->SetBoxPlacement(options.placeBoxes);
  detector_->SetContainment(options.contained);
  detector_->SetSoftSuppression(options.soft);
  detector_->SetPadding(options.padding);
  samples_.ReadInput(options_.source, &roiMode_);
  nFrames_ = samples_.NumberOfFrames();
  // Stored frames can be read ahead and scanned together; a camera's are
  // taken as they come.
  readsAhead_ = detector_->threads() > 1 && nFrames_ > 1 && !samples_.isCamera();
  frameIndex_ = 0;
  totalWindows_ = 0;
  totalTicks_ = 0;
}

Detection::~Detection() = default;

bool Detection::IsVideo() const { return samples_.isVideo(); }
bool Detection::IsCamera() const { return samples_.isCamera(); }
void Detection::ReleaseCapture() { samples_.ReleaseCapture(); }

void Detection::CheckMemory(const std::string& name, int width, int height) {
  // A frame that cannot fit is refused before any work, instead of being
  // killed by the system half-way through.
  const int64_t needed = EstimatePeakBytes(width, height);
  const int64_t available = AvailableMemoryBytes();
  if (needed > available) {
    Fatal(kSource, "Detection::ProcessNextFrame", kFrameTooLargeLine,
          Format("frame '%s' (%dx%d) needs about %s to scan, more than the %s available",
                 name.c_str(), width, height, DescribeBytes(needed).c_str(),
                 DescribeBytes(available).c_str()));
  }
}

void Detection::ReadAhead() {
  std::vector<cv::Mat> frames;
  std::vector<DetectionProgress*> logs;
  std::vector<AheadFrame*> scanned;
  const int batch = detector_->threads();
  for (int k = 0; k < batch && readIndex_ < nFrames_; ++k) {
    ahead_.push_back(std::make_unique<AheadFrame>());
    AheadFrame& entry = *ahead_.back();
    const cv::Mat* frame = nullptr;
    try {
      frame = samples_.GetFrame(readIndex_, &entry.name, &entry.append, &entry.offset,
                                &entry.announcement);
    } catch (...) {
      entry.readFailure = std::current_exception();
      readIndex_ = nFrames_;
      break;
    }
    ++readIndex_;
    if (frame == nullptr || frame->empty()) {
      entry.end = true;
      readIndex_ = nFrames_;
      break;
    }
    try {
      CheckMemory(entry.name, frame->cols, frame->rows);
    } catch (...) {
      entry.memoryFailure = std::current_exception();
      readIndex_ = nFrames_;
      break;
    }
    entry.frame = frame->clone();
    frames.push_back(entry.frame);
    logs.push_back(&entry.progress);
    scanned.push_back(&entry);
  }
  std::vector<std::exception_ptr> failures;
  std::vector<Detections> found = detector_->DetectFrames(frames, logs, &failures);
  for (size_t i = 0; i < scanned.size(); ++i) {
    scanned[i]->detections = std::move(found[i]);
    scanned[i]->scanFailure = failures[i];
  }
}

int Detection::ProcessNextFrame() {
  if (frameIndex_ >= nFrames_) return -1;
  if (readsAhead_) return TakeAheadFrame();
  ROI offset;
  const cv::Mat* frame = samples_.GetFrame(frameIndex_, &frameName_, &appendText_, &offset);
  // A video can announce more frames than it yields; the first frame that
  // cannot be read ends the source.
  if (frame == nullptr || frame->empty()) return -1;
  CheckMemory(frameName_, frame->cols, frame->rows);
  ++frameIndex_;
  offsetX_ = offset.x;
  offsetY_ = offset.y;
  PrintedProgress progress;
  detections_ = detector_->Detect(*frame, &progress);
  FinishFrame();
  outputImage_ = frame->clone();
  return frameIndex_;
}

int Detection::TakeAheadFrame() {
  if (ahead_.empty()) ReadAhead();
  if (ahead_.empty()) return -1;
  std::unique_ptr<AheadFrame> entry = std::move(ahead_.front());
  ahead_.erase(ahead_.begin());
  if (!entry->announcement.empty()) {
    std::fputs(entry->announcement.c_str(), stdout);
    std::fflush(stdout);
  }
  if (entry->readFailure) std::rethrow_exception(entry->readFailure);
  if (entry->end) return -1;
  frameName_ = entry->name;
  appendText_ = entry->append;
  if (entry->memoryFailure) std::rethrow_exception(entry->memoryFailure);
  ++frameIndex_;
  offsetX_ = entry->offset.x;
  offsetY_ = entry->offset.y;
  std::fputs(entry->progress.text.c_str(), stdout);
  std::fflush(stdout);
  if (entry->scanFailure) std::rethrow_exception(entry->scanFailure);
  detections_ = std::move(entry->detections);
  FinishFrame();
  outputImage_ = std::move(entry->frame);
  return frameIndex_;
}

void Detection::FinishFrame() {
  if (options_.nonMaxSup) Detector::Suppress(detections_, options_.overlap);

  totalWindows_ += detections_.windowsScanned;
  totalTicks_ += detections_.ticks;
  // OpenCV 4 counts ticks per second.
  double seconds = static_cast<double>(totalTicks_) / cv::getTickFrequency();
  std::printf(" - detwin: %d (%5.1f det/s) (%4.1f s/frame) (%d/%d)\n", detections_.windowsScanned,
              static_cast<double>(totalWindows_) / seconds, seconds / frameIndex_, frameIndex_,
              nFrames_);
}

int64_t Detection::EstimatePeakBytes(int width, int height) {
  // The copy of the frame that the boxes are drawn on comes on top.
  return detector_->EstimatePeakBytes(width, height) + 3 * int64_t{width} * height;
}

}  // namespace pedscan
