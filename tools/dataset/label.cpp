// Proposes person boxes for frames of a fixed-camera video.
//
//   label <video> <first> <last> <outdir> [<sheetdir>]
//
// Moving pixels come from a background model learned over frames 0..last
// (learned once, then applied frozen, so early frames get the same quality of
// mask as late ones). Around every moving blob, OpenCV's HOG people detector
// runs on a 2x upsampled crop (people here are 50-150 px tall, its window
// wants them near 100 px); a detection is kept when enough of it moves.
// Single-person-shaped blobs that no detection covers are kept as well.
// Boxes are normalised to a fixed width/height ratio around their centre so
// that they compare directly with the detector's fixed-ratio object boxes.
// Writes <outdir>/<frame %04d>.txt with one "x y w h" line per person and,
// with <sheetdir>, one PNG per frame with the boxes drawn (HOG boxes green,
// blob-only boxes red) for checking by eye.
#include <tclap/CmdLine.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/video/background_segm.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/geometry.h"
#include "wrong_command_line.h"

using pedscan::WrongCommandLine;

namespace {

constexpr double kAspect = 20.0 / 48.0;  // the model's object box ratio
constexpr int kMinHeight = 36;
constexpr int kMaxHeight = 200;

struct Proposal {
  cv::Rect box;
  bool fromHog;
  double score;
};

double Iou(const cv::Rect& a, const cv::Rect& b) {
  return pedscan::IntersectionOverUnion<double>(a.x, a.y, a.width, a.height, b.x, b.y, b.width,
                                                b.height);
}

cv::Rect Normalise(const cv::Rect& r) {
  int w = std::max(1, static_cast<int>(r.height * kAspect + 0.5));
  int cx = r.x + r.width / 2;
  return cv::Rect(cx - w / 2, r.y, w, r.height);
}

double MovingFraction(const cv::Mat& mask, const cv::Rect& r) {
  cv::Rect c = r & cv::Rect(0, 0, mask.cols, mask.rows);
  if (c.area() == 0) return 0.0;
  return cv::countNonZero(mask(c)) / static_cast<double>(r.area());
}

// The default people detector's 64x128 window holds a person of about
// 96 px height with 16 px above and below, about 40 px wide.
cv::Rect HogToPerson(const cv::Rect& r) {
  int y = r.y + r.height * 14 / 128;
  int h = r.height * 100 / 128;
  return cv::Rect(r.x + r.width / 4, y, r.width / 2, h);
}

std::vector<Proposal> Propose(const cv::Mat& frame, const cv::Mat& mask,
                              cv::HOGDescriptor& hog) {
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(mask.clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
  std::vector<Proposal> hogBoxes, blobBoxes;
  cv::Rect image(0, 0, frame.cols, frame.rows);
  for (const auto& c : contours) {
    cv::Rect b = cv::boundingRect(c);
    if (b.height < kMinHeight / 2 || b.area() < 300) continue;
    // HOG around the blob.
    int mx = std::max(32, b.width / 2), my = std::max(32, b.height / 3);
    cv::Rect roi = cv::Rect(b.x - mx, b.y - my, b.width + 2 * mx, b.height + 2 * my) & image;
    cv::Mat up;
    cv::resize(frame(roi), up, cv::Size(), 2.0, 2.0, cv::INTER_LINEAR);
    if (up.cols >= 64 && up.rows >= 128) {
      std::vector<cv::Rect> found;
      std::vector<double> weights;
      hog.detectMultiScale(up, found, weights, 0.0, cv::Size(8, 8), cv::Size(16, 16), 1.05, 2);
      for (size_t i = 0; i < found.size(); ++i) {
        cv::Rect f = found[i];
        cv::Rect r(roi.x + f.x / 2, roi.y + f.y / 2, f.width / 2, f.height / 2);
        cv::Rect p = HogToPerson(r);
        if (p.height < kMinHeight || p.height > kMaxHeight) continue;
        if (MovingFraction(mask, p) < 0.25) continue;
        hogBoxes.push_back({p, true, i < weights.size() ? weights[i] : 1.0});
      }
    }
    double ratio = b.height / static_cast<double>(b.width);
    if (b.height >= kMinHeight && b.height <= kMaxHeight && ratio >= 1.8 && ratio <= 4.5 &&
        cv::contourArea(c) > 0.35 * b.area())
      blobBoxes.push_back({b, false, 0.0});
  }
  // Merge HOG boxes that describe one person (the same person seen from
  // two neighbouring blobs' crops).
  std::sort(hogBoxes.begin(), hogBoxes.end(),
            [](const Proposal& a, const Proposal& b) { return a.score > b.score; });
  std::vector<Proposal> kept;
  for (const auto& p : hogBoxes) {
    bool dup = false;
    for (const auto& k : kept) dup = dup || Iou(k.box, p.box) > 0.4;
    if (!dup) kept.push_back(p);
  }
  for (const auto& b : blobBoxes) {
    bool covered = false;
    for (const auto& k : kept) covered = covered || (k.box & b.box).area() > 0.3 * b.box.area();
    if (!covered) kept.push_back(b);
  }
  for (auto& k : kept) k.box = Normalise(k.box);
  return kept;
}

int Run(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Proposes person boxes for frames <first>..<last> of a fixed-camera video: moving blobs "
      "confirmed by OpenCV's people detector, one <outdir>/<frame>.txt of \"x y w h\" lines per "
      "frame.",
      ' ', "0.1.0");
  TCLAP::UnlabeledValueArg<std::string> videoArg("video", "the video", true, "", "video");
  cmd.add(videoArg);
  TCLAP::UnlabeledValueArg<int> firstArg("first", "first frame to label", true, 0, "first");
  cmd.add(firstArg);
  TCLAP::UnlabeledValueArg<int> lastArg("last", "last frame to label", true, 0, "last");
  cmd.add(lastArg);
  TCLAP::UnlabeledValueArg<std::string> outdirArg("outdir", "directory of the box files", true, "",
                                                  "outdir");
  cmd.add(outdirArg);
  TCLAP::UnlabeledValueArg<std::string> sheetdirArg(
      "sheetdir", "directory of one PNG per frame with the boxes drawn, for checking by eye",
      false, "", "sheetdir");
  cmd.add(sheetdirArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  const std::string video = videoArg.getValue();
  const int first = firstArg.getValue();
  const int last = lastArg.getValue();
  const std::string outdir = outdirArg.getValue();
  const std::string sheetdir = sheetdirArg.getValue();
  if (first < 0) {
    WrongCommandLine(cmd, "first", "<first> must be at least 0, not '" + std::to_string(first) + "'");
  }
  if (last < first) {
    WrongCommandLine(cmd, "last",
                     "<last> must be at least <first> (" + std::to_string(first) + "), not '" +
                         std::to_string(last) + "'");
  }

  cv::Ptr<cv::BackgroundSubtractorMOG2> bg = cv::createBackgroundSubtractorMOG2(500, 16.0, true);
  {
    cv::VideoCapture cap(video);
    if (!cap.isOpened()) {
      std::fprintf(stderr, "label: cannot open video '%s'\n", video.c_str());
      return 1;
    }
    cv::Mat frame, fg;
    for (int i = 0; i <= last; ++i) {
      if (!cap.read(frame)) {
        std::fprintf(stderr, "label: no frame %d in '%s'\n", i, video.c_str());
        return 1;
      }
      bg->apply(frame, fg);
    }
  }
  cv::HOGDescriptor hog;
  hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
  cv::VideoCapture cap(video);
  cv::Mat frame, fg;
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5));
  for (int i = 0; i <= last && cap.read(frame); ++i) {  // every frame was read once above
    if (i < first) continue;
    bg->apply(frame, fg, 0.0);
    cv::Mat mask = fg == 255;  // shadows (127) are background
    cv::morphologyEx(mask, mask, cv::MORPH_OPEN, kernel);
    cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, kernel, cv::Point(-1, -1), 2);
    std::vector<Proposal> boxes = Propose(frame, mask, hog);
    char name[64];
    std::snprintf(name, sizeof name, "%04d", i);
    std::string path = outdir + "/" + name + ".txt";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
      std::fprintf(stderr, "label: cannot write '%s'\n", path.c_str());
      return 1;
    }
    for (const auto& b : boxes) std::fprintf(f, "%d %d %d %d\n", b.box.x, b.box.y, b.box.width, b.box.height);
    std::fclose(f);
    if (!sheetdir.empty()) {
      cv::Mat drawn = frame.clone();
      for (const auto& b : boxes)
        cv::rectangle(drawn, b.box, b.fromHog ? cv::Scalar(0, 255, 0) : cv::Scalar(0, 0, 255), 1);
      cv::putText(drawn, name, cv::Point(5, 20), cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 255, 255), 1);
      cv::imwrite(sheetdir + "/" + name + ".png", drawn);
    }
    std::printf("\r%d", i);
    std::fflush(stdout);
  }
  std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const TCLAP::ExitException& e) {
    return e.getExitStatus();
  } catch (const cv::Exception& e) {
    std::fprintf(stderr, "label: %s\n", e.what());
    return 1;
  }
}
