// Result output of the detection mode: text files and drawn images.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "detection/detection.h"
#include "support/atomic_file.h"
#include "support/failure.h"

namespace pedscan {
namespace {

constexpr const char* kSource = "output";
constexpr int kCannotWriteTextLine = 52;
constexpr int kCannotWriteImageLine = 78;

}  // namespace

std::string ResultImagePath(const std::string& output, const std::string& frameName, bool roiMode,
                            int frameIndex) {
  if (roiMode) return Format("%s/%s_ROI%4.4d.png", output.c_str(), frameName.c_str(), frameIndex);
  return Format("%s/%s.png", output.c_str(), frameName.c_str());
}

std::string ResultTextPath(const std::string& output, const std::string& frameName,
                           const std::string& suffix) {
  return Format("%s/%s%s.txt", output.c_str(), frameName.c_str(), suffix.c_str());
}

std::vector<std::string> TextSuffixes(const std::vector<std::string>& objectTypes) {
  if (objectTypes.size() == 1) return {""};
  std::vector<std::string> suffixes;
  for (const std::string& type : objectTypes) suffixes.push_back("." + type);
  return suffixes;
}

void WriteDetections(const std::string& path, const std::vector<DetectionWindow>& list,
                     bool append, int offsetX, int offsetY) {
  auto fail = [&path](const std::string& reason) {
    Fatal(kSource, "Detection::WriteText", kCannotWriteTextLine,
          Format("cannot write result file '%s' (%s)", path.c_str(), reason.c_str()));
  };
  // Appending copies the earlier lines into the new file first, so that the
  // file is replaced whole and a failure keeps the earlier lines intact.
  std::string earlier;
  if (append) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in && errno != ENOENT) fail(std::strerror(errno != 0 ? errno : EIO));
    if (in) {
      std::ostringstream text;
      text << in.rdbuf();
      if (in.bad()) fail(std::strerror(errno));
      earlier = text.str();
    }
  }
  AtomicFile file(path);
  if (!file.Open()) fail(file.error());
  bool written = file.Write(earlier);
  for (const DetectionWindow& window : list) {
    written = written && file.Print("%d %d %d %d %.13g\n", window.x + offsetX, window.y + offsetY,
                                    static_cast<int>(window.width),
                                    static_cast<int>(window.height), window.response);
  }
  if (!written || !file.Commit()) fail(file.error());
}

void DrawDetections(cv::Mat& image, const std::vector<DetectionWindow>& list, bool ellipse,
                    const cv::Scalar& colour) {
  for (const DetectionWindow& window : list) {
    int x = window.x;
    int y = window.y;
    int w = window.width;
    int h = window.height;
    if (ellipse) {
      // 0.7 rather than 0.5: the ellipse runs close to the corners of the box.
      cv::ellipse(image, cv::Point(x + w / 2, y + h / 2),
                  cv::Size(static_cast<int>(0.7 * w), static_cast<int>(0.7 * h)), 0.0, 0.0, 360.0,
                  colour, 3, cv::LINE_8, 0);
    } else {
      cv::rectangle(image, cv::Point(x, y), cv::Point(x + w, y + h), colour, 2, cv::LINE_8, 0);
    }
  }
}

cv::Scalar TypeColour(size_t i) {
  static const cv::Scalar kColours[] = {
      cv::Scalar(0, 255, 255, 0), cv::Scalar(255, 0, 0, 0),   cv::Scalar(0, 0, 255, 0),
      cv::Scalar(255, 0, 255, 0), cv::Scalar(0, 255, 0, 0),   cv::Scalar(255, 0, 127, 0),
      cv::Scalar(127, 0, 255, 0)};
  return kColours[i % (sizeof kColours / sizeof kColours[0])];
}

void Detection::DrawAndSave(cv::Mat& image, const std::vector<DetectionWindow>& list, bool ellipse,
                            const cv::Scalar& colour) {
  DrawDetections(image, list, ellipse, colour);
  std::string path = ResultImagePath(options_.output, frameName_, roiMode_, frameIndex_);
  // Encoded in memory (result images are PNG, as their names say) and
  // written through a temporary file, so that a full disk never leaves a
  // truncated image under the result's name.
  std::vector<uchar> encoded;
  std::string reason = "the image cannot be encoded";
  bool saved = false;
  try {
    saved = cv::imencode(".png", image, encoded) &&
            WriteFileAtomically(path, encoded.data(), encoded.size(), &reason);
  } catch (const cv::Exception&) {
    saved = false;
  }
  if (!saved) {
    Fatal(kSource, "Detection::DrawAndSave", kCannotWriteImageLine,
          Format("cannot write result image '%s' (%s)", path.c_str(), reason.c_str()));
  }
}

void Detection::WriteText(const std::string& suffix, const std::vector<DetectionWindow>& list) {
  WriteDetections(ResultTextPath(options_.output, frameName_, suffix), list, appendText_,
                  offsetX_, offsetY_);
}

void Detection::SaveResults() {
  const std::vector<std::string>& types = detector_->objectTypes();
  if (options_.drawBB) {
    for (size_t i = 0; i < types.size(); ++i) {
      DrawAndSave(outputImage_, detections_.windows[i], options_.drawEllipse,
                  TypeColour(i));
    }
  }
  std::vector<std::string> suffixes = TextSuffixes(types);
  for (size_t i = 0; i < types.size(); ++i) WriteText(suffixes[i], detections_.windows[i]);
}

}  // namespace pedscan
