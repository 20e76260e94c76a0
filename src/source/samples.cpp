#include "source/samples.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio/registry.hpp>

#include "support/directory.h"
#include "support/failure.h"
#include "support/text.h"

namespace pedscan {

namespace {

constexpr char kSource[] = "samples";

constexpr int kNoImagesLine = 58;
constexpr char kNoImagesMessage[] = "no images found!";
constexpr int kNoVideoLine = 102;
constexpr char kNoVideoMessage[] = "unable to read input video";
constexpr int kNoCameraLine = 130;
constexpr char kNoCameraMessage[] = "unable to read any video feed";
constexpr int kNoInputLine = 142;
constexpr char kNoInputMessage[] = "no input has been set";

// The region check keeps the report the command line has always given it.
constexpr char kRegionSource[] = "input_parameters";
constexpr char kRegionFunction[] = "InputParameters::CheckROIs";
constexpr int kRegionOutsideLine = 118;
constexpr char kRegionOutsideMessage[] =
    "invalid ROI: %d,%d,%d,%d - outside of image limits (image size: %dx%d)";

constexpr int kCameraFrames = 1000000000;
constexpr int kCameraRequestWidth = 320;
constexpr int kCameraRequestHeight = 240;

[[noreturn]] void CannotLoad(const std::string& path) {
  FailPlain(Format("can't load image '%s'\n", path.c_str()));
}

// Keeps the image and video library's own diagnostics off stderr while a
// capture is opened or a path probed: every back end it tries reports its
// failure there, and the user is told what failed by our own report.
class QuietVideoLog {
 public:
  QuietVideoLog()
      : previous_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)) {}
  ~QuietVideoLog() { cv::utils::logging::setLogLevel(previous_); }
  QuietVideoLog(const QuietVideoLog&) = delete;
  QuietVideoLog& operator=(const QuietVideoLog&) = delete;

 private:
  cv::utils::logging::LogLevel previous_;
};

// The frame count a capture announces, or -1 when it is not a count at all
// (NaN, negative, beyond int): containers carry it in their headers, and a
// damaged or hostile header can say anything.
int AnnouncedFrames(const cv::VideoCapture& capture) {
  double count = capture.get(cv::CAP_PROP_FRAME_COUNT);
  if (!(count >= 0.0 && count <= static_cast<double>(INT_MAX))) return -1;
  return static_cast<int>(count);
}

// Reads frames one after the other from the start, at most `limit`, and
// returns how many could be read.
int CountReadableFrames(cv::VideoCapture& capture, int limit) {
  int count = 0;
  while (count < limit && capture.grab()) ++count;
  return count;
}

bool OpenCamera(cv::VideoCapture& capture) {
  QuietVideoLog quiet;
  return capture.open(0) && capture.isOpened();
}

}  // namespace

namespace {

// True when `path` was meant as an image: its first bytes carry the
// signature of a format the image library reads, or its extension is one the
// library writes images in (.png, .jpg, .bmp, .ppm, .tif, ...).
bool MeantAsImage(const std::string& path) {
  try {
    return cv::haveImageReader(path) || cv::haveImageWriter(path);
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace

InputKind ClassifyInput(const std::string& input, cv::Mat* image) {
  // A directory opens as neither; skipping the probes spares starting the
  // video back ends for the most common batch input.
  std::error_code ignored;
  if (std::filesystem::is_directory(input, ignored)) return InputKind::kDirectory;
  // An image first: some video back ends open still images too.
  QuietVideoLog quiet;
  cv::Mat decoded = cv::imread(input, cv::IMREAD_COLOR);
  if (!decoded.empty()) {
    if (image != nullptr) *image = decoded;
    return InputKind::kImage;
  }
  // An error other than "not found" leaves the question open: such a path
  // is not said to be missing.
  std::error_code error;
  const bool exists = std::filesystem::exists(input, error) || error;
  if (exists && MeantAsImage(input)) CannotLoad(input);
  // Not only files: the video library also reads streams and numbered image
  // sequences by name.
  if (ReadsAsVideo(input)) return InputKind::kVideo;
  if (!exists) FailPlain(Format("input '%s' does not exist\n", input.c_str()));
  FailPlain(Format("can't read input '%s' as an image or a video\n", input.c_str()));
}

void CheckRegions(const std::vector<ROI>& rois, const cv::Mat& image) {
  for (const ROI& roi : rois) {
    // 64-bit so that a huge corner cannot wrap around and pass.
    const int64_t right = int64_t{roi.x} + roi.width - 1;
    const int64_t bottom = int64_t{roi.y} + roi.height - 1;
    if (roi.x < 0 || roi.y < 0 || right >= image.cols || bottom >= image.rows) {
      Fatal(kRegionSource, kRegionFunction, kRegionOutsideLine,
            Format(kRegionOutsideMessage, roi.x, roi.y, roi.width, roi.height, image.cols,
                   image.rows));
    }
  }
}

std::vector<cv::VideoCaptureAPIs> VideoFileBackends() {
  std::vector<cv::VideoCaptureAPIs> backends;
  for (cv::VideoCaptureAPIs api : {cv::CAP_FFMPEG, cv::CAP_GSTREAMER, cv::CAP_OPENCV_MJPEG}) {
    if (cv::videoio_registry::hasBackend(api)) backends.push_back(api);
  }
  return backends;
}

cv::VideoCapture OpenVideoFile(const std::string& path) {
  cv::VideoCapture capture;
  for (cv::VideoCaptureAPIs api : VideoFileBackends()) {
    if (capture.open(path, api)) break;
  }
  return capture;
}

bool ReadsAsVideo(const std::string& path) {
  // A back end may open a file it then cannot decode (a corrupt AVI, an
  // image in a format the video library knows but cannot read): only a
  // frame shows that the file is a video.
  for (cv::VideoCaptureAPIs api : VideoFileBackends()) {
    cv::VideoCapture capture;
    if (capture.open(path, api) && capture.grab()) return true;
  }
  return false;
}

std::vector<std::string> Samples::SplitMasks(const std::string& filemask) {
  std::vector<std::string> masks;
  size_t start = filemask.find('*');
  while (start != std::string::npos) {
    size_t next = filemask.find('*', start + 1);
    if (next == std::string::npos) {
      masks.push_back(filemask.substr(start));
    } else {
      // The character before the next '*' is the separator and is dropped;
      // for "**" there is none and the mask is empty.
      size_t end = std::max(next - 1, start);
      masks.push_back(filemask.substr(start, end - start));
    }
    start = next;
  }
  return masks;
}

bool Samples::MatchMask(const std::string& mask, const std::string& name) {
  return pedscan::MatchMask(mask, name);
}

std::vector<std::string> Samples::ReadDirectory(const std::string& directory,
                                                const std::string& filemask) {
  std::vector<std::string> files;
  for (const std::string& mask : SplitMasks(filemask)) {
    // An empty mask lists every file, as the listing pattern "*.*" does.
    std::vector<std::string> paths = ListFiles(directory, mask.empty() ? "*" : mask);
    files.insert(files.end(), paths.begin(), paths.end());
  }
  if (files.empty()) Fatal(kSource, "Samples::ReadDirectory", kNoImagesLine, kNoImagesMessage);
  return files;
}

int Samples::CountListFrames() const {
  int count = static_cast<int>(files_.size());
  if (first_ >= count) return 0;
  return (count - 1 - first_) / step_ + 1;
}

void Samples::ReadInput(const SourceOptions& options, bool* roiMode) {
  first_ = options.videoFirst;
  last_ = options.videoLast;
  step_ = options.videoStep;
  rois_ = options.rois;
  if (roiMode != nullptr) *roiMode = false;

  if (options.isDirectory) {
    files_ = ReadDirectory(options.input, options.filemask);
    isImageList_ = true;
    first_ = std::max(first_, 0);
    step_ = std::max(step_, 1);
    nFrames_ = CountListFrames();
  } else if (options.isImage) {
    files_ = {options.input};
    if (!rois_.empty()) {
      isROI_ = true;
      nFrames_ = static_cast<int>(rois_.size());
      if (roiMode != nullptr) *roiMode = true;
    } else {
      isImageList_ = true;
      first_ = std::max(first_, 0);
      step_ = std::max(step_, 1);
      nFrames_ = CountListFrames();
    }
    image_ = cv::imread(options.input, cv::IMREAD_COLOR);
    if (isROI_) {
      // Regions are cut from this image; without it, or with a region
      // outside it, there is nothing sound to cut.
      if (image_.empty()) CannotLoad(options.input);
      CheckRegions(rois_, image_);
    }
  } else if (options.isVideo) {
    ReadVideo(options);
  } else if (options.camera) {
    ReadCamera();
  } else {
    Fatal(kSource, "Samples::ReadInput", kNoInputLine, kNoInputMessage);
  }
}

void Samples::ReadVideo(const SourceOptions& options) {
  name_ = options.input;
  if (first_ < 0) first_ = 0;
  if (step_ < 1) step_ = 1;
  // Frames past an explicit last are never delivered, so they need not be
  // counted either.
  const int limit = last_ >= 1 && last_ < INT_MAX ? last_ + 1 : INT_MAX;

  // The frame count a file announces can be wrong (0, 2^32 - 1, fewer or
  // more than it holds), and a back end may stop at the announced count or
  // jump to the wrong frame when asked for one past it. So the frames of a
  // file are counted by reading them, and delivered by reading on
  // (GetVideoFrame), never by seeking. When the first back end that reads
  // the file delivers a count other than the announced one, the others are
  // asked too, and the one that reads the most frames is kept.
  // What is not a regular file (a stream, a numbered image sequence) may
  // never end: it is read up to the count it announces, or until it ends.
  std::error_code error;
  const bool regularFile = std::filesystem::is_regular_file(name_, error);
  int frameCount = 0;
  {
    QuietVideoLog quiet;
    for (cv::VideoCaptureAPIs api : VideoFileBackends()) {
      cv::VideoCapture probe;
      if (!probe.open(name_, api)) continue;
      int announced = AnnouncedFrames(probe);
      if (!regularFile) {
        frameCount = announced > 0 ? std::min(announced, limit) : limit;
        api_ = api;
        break;
      }
      int count = CountReadableFrames(probe, limit);
      if (count > frameCount) {
        frameCount = count;
        api_ = api;
      }
      if (count > 0 && (count == announced || count == limit)) break;
    }
    if (frameCount > 0) capture_.open(name_, api_);
  }
  if (frameCount == 0 || !capture_.isOpened()) {
    Fatal(kSource, "Samples::ReadInput", kNoVideoLine, kNoVideoMessage);
  }
  isVideo_ = true;
  position_ = 0;
  if (last_ < 1 || last_ >= frameCount) last_ = frameCount - 1;
  nFrames_ = first_ > last_ ? 0 : (last_ - first_) / step_ + 1;
}

void Samples::ReadCamera() {
  name_ = "videoFeed";
  if (!OpenCamera(capture_)) {
    Fatal(kSource, "Samples::ReadInput", kNoCameraLine, kNoCameraMessage);
  }
  isCamera_ = true;
  std::printf("(%dx%d)\n", static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_WIDTH)),
              static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_HEIGHT)));
  std::fflush(stdout);
  capture_.set(cv::CAP_PROP_FRAME_WIDTH, kCameraRequestWidth);
  capture_.set(cv::CAP_PROP_FRAME_HEIGHT, kCameraRequestHeight);
  nFrames_ = kCameraFrames;
}

const cv::Mat* Samples::GetFrame(int index, std::string* frameName, bool* appendText,
                                 ROI* offset, std::string* announcement) {
  *offset = ROI{};
  offset->x = 0;
  offset->y = 0;
  offset->height = -1;
  offset->width = -1;
  offset->x1 = -1;
  offset->y1 = -1;
  *appendText = false;
  if (isImageList_) return GetListFrame(index, frameName, announcement);
  if (isROI_) return GetRoiFrame(index, frameName, appendText, offset);
  if (isVideo_) return GetVideoFrame(index, frameName);
  if (isCamera_) return GetCameraFrame(index, frameName);
  *frameName = "";
  return nullptr;
}

const cv::Mat* Samples::GetListFrame(int index, std::string* frameName,
                                     std::string* announcement) {
  image_.release();
  if (index < 0 || index >= nFrames_) {
    *frameName = "";
    return nullptr;
  }
  const std::string& path = files_[static_cast<size_t>(first_) + static_cast<size_t>(index) * step_];
  if (announcement != nullptr) {
    *announcement += path + "\n";
  } else {
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
  }
  image_ = cv::imread(path, cv::IMREAD_COLOR);
  if (image_.empty()) CannotLoad(path);
  *frameName = FileStem(path);
  return &image_;
}

const cv::Mat* Samples::GetRoiFrame(int index, std::string* frameName, bool* appendText,
                                    ROI* offset) {
  roiImage_.release();
  if (index < 0 || index >= nFrames_) {
    *frameName = "";
    image_.release();
    return nullptr;
  }
  *frameName = FileStem(files_[0]);
  const ROI& roi = rois_[static_cast<size_t>(index)];
  roiImage_ = image_(cv::Rect(roi.x, roi.y, roi.width, roi.height)).clone();
  *appendText = index != 0;
  offset->x = roi.x;
  offset->y = roi.y;
  return &roiImage_;
}

const cv::Mat* Samples::GetVideoFrame(int index, std::string* frameName) {
  if (index < 0 || index >= nFrames_) {
    *frameName = "";
    return nullptr;
  }
  int n = first_ + index * step_;
  *frameName = Format("%s%.8d", FileStem(name_).c_str(), n);
  if (n < position_) {
    // Frames are asked for in order; going back means reading from the start.
    QuietVideoLog quiet;
    capture_.open(name_, api_);
    position_ = 0;
  }
  for (; position_ < n; ++position_) {
    if (!capture_.grab()) return nullptr;
  }
  ++position_;
  if (!capture_.read(image_) || image_.empty()) return nullptr;
  return &image_;
}

const cv::Mat* Samples::GetCameraFrame(int index, std::string* frameName) {
  if (index < 0 || index >= nFrames_) {
    *frameName = "";
    return nullptr;
  }
  *frameName = Format("VideoFrame%8.8d", index);
  if (!capture_.read(image_) || image_.empty()) return nullptr;
  halfImage_.release();
  cv::Size half(static_cast<int>(std::ceil(image_.cols * 0.5)),
                static_cast<int>(std::ceil(image_.rows * 0.5)));
  cv::resize(image_, halfImage_, half, 0, 0, cv::INTER_CUBIC);
  return &halfImage_;
}

void Samples::ReleaseCapture() {
  if (capture_.isOpened()) capture_.release();
}

}  // namespace pedscan
