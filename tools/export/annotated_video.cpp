#include "annotated_video.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "detection/detection.h"
#include "support/failure.h"
#include "support/text.h"

namespace pedscan {
namespace exporting {
namespace {

namespace fs = std::filesystem;


// Players take a frame rate of 0 badly; a source that gives none is written
// at the common PAL rate.
constexpr double kFallbackFps = 25.0;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Removes the temporary video unless it was renamed, also when a failure
// unwinds through the writing.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!kept_) std::remove(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// "<dir>/<stem>.partial-<pid>.<ext>": the extension stays last because the
// writer picks the container by it.
std::string TemporaryPath(const std::string& output) {
  const fs::path path(output);
  return (path.parent_path() / (path.stem().string() + ".partial-" + std::to_string(getpid()) +
                                path.extension().string()))
      .string();
}

// The frame number of every result that names a frame of `source`: those
// called "<source stem><digits>" or, when there are none, those that are
// digits only.
std::map<int, const ResultFrame*> FramesOfVideo(const ResultFolder& results,
                                                const std::string& source) {
  const std::string stem = FileStem(source);
  for (const std::string& prefix : {stem, std::string()}) {
    std::map<int, const ResultFrame*> byNumber;
    for (const ResultFrame& frame : results.frames) {
      if (!frame.number || NameBeforeFrameNumber(frame.name) != prefix) continue;
      const auto inserted = byNumber.emplace(*frame.number, &frame);
      if (!inserted.second)
        FailPlain(Format("results '%s' and '%s' both name frame %d of '%s'\n",
                         inserted.first->second->name.c_str(), frame.name.c_str(), *frame.number,
                         source.c_str()));
    }
    if (!byNumber.empty()) return byNumber;
  }
  FailPlain(
      Format("no result names a frame of '%s' (expected <frame>.txt named "
             "'%s00000000', ... or '0000', ...)\n",
             source.c_str(), stem.c_str()));
}

void SyncFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  const int error = errno;
  if (fd >= 0) ::close(fd);
  if (!synced) FailPlain(Format("cannot write '%s' (%s)\n", path.c_str(), std::strerror(error)));
}

}  // namespace

cv::Scalar TypeColour(size_t position) { return pedscan::TypeColour(position); }

void DrawFrame(cv::Mat& image, const ResultFrame& frame, const std::vector<std::string>& types,
               int thickness) {
  const int font = cv::FONT_HERSHEY_SIMPLEX;
  const double scale = 0.45;
  for (const TypedBox& b : frame.boxes) {
    const cv::Scalar colour = TypeColour(static_cast<size_t>(b.type));
    const int x = cvRound(b.box.x), y = cvRound(b.box.y);
    const int w = cvRound(b.box.width), h = cvRound(b.box.height);
    // The corners detection draws: (x, y) and (x + w, y + h).
    cv::rectangle(image, cv::Point(x, y), cv::Point(x + w, y + h), colour, thickness, cv::LINE_8);
    const std::string label =
        Format("%s %.2f", types[static_cast<size_t>(b.type)].c_str(), b.box.score);
    int baseline = 0;
    const cv::Size text = cv::getTextSize(label, font, scale, 1, &baseline);
    // On a patch of the box's colour above the box (just inside its top when
    // the box touches the frame's top), kept inside the frame, so that it
    // reads on any background.
    const int half = (thickness + 1) / 2;
    const int patchH = text.height + baseline + 2;
    int top = y - half - patchH;
    if (top < 0) top = y + half;
    const int left = std::max(0, std::min(x - half, image.cols - text.width - 2));
    cv::rectangle(image, cv::Rect(left, top, text.width + 2, patchH), colour, cv::FILLED);
    const double luma = 0.114 * colour[0] + 0.587 * colour[1] + 0.299 * colour[2];
    cv::putText(image, label, cv::Point(left + 1, top + 1 + text.height), font, scale,
                luma > 128 ? cv::Scalar(0, 0, 0) : cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
  }
}

VideoSummary WriteAnnotatedVideo(const ResultFolder& results, const VideoExport& options) {
  int fourcc = 0;
  if (EndsWith(options.output, ".avi")) {
    fourcc = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
  } else if (EndsWith(options.output, ".mp4")) {
    fourcc = cv::VideoWriter::fourcc('m', 'p', '4', 'v');
  } else {
    FailPlain(Format("annotated video '%s': name it <name>.avi (MJPG) or <name>.mp4 (mp4v)\n",
                     options.output.c_str()));
  }
  std::error_code error;
  if (!fs::exists(options.source, error))
    FailPlain(Format("video '%s' does not exist\n", options.source.c_str()));
  cv::VideoCapture capture(options.source);
  cv::Mat image;
  if (!capture.isOpened() || !capture.read(image) || image.empty())
    FailPlain(Format("cannot open video '%s'\n", options.source.c_str()));
  const std::map<int, const ResultFrame*> byNumber = FramesOfVideo(results, options.source);

  VideoSummary summary;
  summary.size = image.size();
  summary.fps = capture.get(cv::CAP_PROP_FPS);
  if (!(summary.fps > 0 && std::isfinite(summary.fps))) summary.fps = kFallbackFps;

  TemporaryFile temporary(TemporaryPath(options.output));
  // Created first so that an unwritable place is reported with its reason;
  // the writer only says that it failed.
  {
    const int fd = ::open(temporary.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
      FailPlain(Format("cannot write '%s' (%s)\n", options.output.c_str(), std::strerror(errno)));
    ::close(fd);
  }
  cv::VideoWriter writer(temporary.path(), fourcc, summary.fps, summary.size, true);
  if (!writer.isOpened()) {
    FailPlain(fourcc == cv::VideoWriter::fourcc('M', 'J', 'P', 'G')
                  ? Format("cannot write '%s': this OpenCV has no MJPG AVI writer\n",
                           options.output.c_str())
                  : Format("cannot write '%s': this OpenCV cannot encode mp4v into MP4; "
                           "name the output .avi for MJPG\n",
                           options.output.c_str()));
  }
  // MJPG's default quality smears thin coloured lines.
  writer.set(cv::VIDEOWRITER_PROP_QUALITY, 95);

  for (int number = 0; !image.empty(); ++number) {
    if (image.size() != summary.size)
      FailPlain(Format("frame %d of '%s' is %dx%d, the first %dx%d\n", number,
                       options.source.c_str(), image.cols, image.rows, summary.size.width,
                       summary.size.height));
    const auto found = byNumber.find(number);
    if (found != byNumber.end()) {
      DrawFrame(image, *found->second, results.types, options.thickness);
      ++summary.annotated;
    }
    writer.write(image);
    ++summary.frames;
    if (!capture.read(image)) image.release();
  }
  writer.release();
  const auto beyond = byNumber.lower_bound(summary.frames);
  if (beyond != byNumber.end())
    FailPlain(Format("result '%s' names frame %d, but '%s' has %d frames\n",
                     beyond->second->name.c_str(), beyond->first, options.source.c_str(),
                     summary.frames));
  if (fs::file_size(temporary.path(), error) == 0 || error)
    FailPlain(Format("cannot write '%s' (the encoder wrote nothing)\n", options.output.c_str()));
  SyncFile(temporary.path());
  fs::rename(temporary.path(), options.output, error);
  if (error)
    FailPlain(Format("cannot write '%s' (%s)\n", options.output.c_str(), error.message().c_str()));
  temporary.Keep();
  return summary;
}

}  // namespace exporting
}  // namespace pedscan
