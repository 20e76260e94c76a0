#include "evaluation.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "support/box_file.h"
#include "support/directory.h"
#include "support/failure.h"
#include "support/geometry.h"

namespace pedscan {
namespace evaluation {
namespace {

struct Ranked {
  double score;
  int frame;
  int index;
};

}  // namespace

double Iou(const Box& a, const Box& b) {
  return IntersectionOverUnion<double>(a.x, a.y, a.width, a.height, b.x, b.y, b.width, b.height);
}

std::vector<Box> ReadGroundTruth(const std::string& path) {
  std::vector<Box> boxes;
  for (const FileBox& b : ReadBoxFile(path, false)) boxes.push_back({b.x, b.y, b.width, b.height});
  return boxes;
}

std::vector<ScoredBox> ReadDetections(const std::string& path) {
  std::vector<ScoredBox> boxes;
  for (const FileBox& b : ReadBoxFile(path, true)) {
    boxes.push_back({{b.x, b.y, b.width, b.height}, b.score});
  }
  return boxes;
}

std::vector<std::string> GroundTruthFiles(const std::string& truthDir) {
  std::error_code error;
  if (!std::filesystem::is_directory(truthDir, error)) {
    FailPlain(Format("%s: cannot open ground-truth directory\n", truthDir.c_str()));
  }
  std::vector<std::string> names;
  for (const std::string& path : ListFiles(truthDir, "*.txt")) {
    names.push_back(path.substr(truthDir.size() + 1));
  }
  if (names.empty()) FailPlain(Format("%s: no ground-truth files (*.txt)\n", truthDir.c_str()));
  return names;
}

std::vector<Frame> LoadFrames(const std::string& truthDir, const std::string& detectionDir) {
  std::vector<Frame> frames;
  for (const auto& n : GroundTruthFiles(truthDir)) {
    Frame f;
    f.name = n.substr(0, n.size() - 4);
    f.truth = ReadGroundTruth(truthDir + "/" + n);
    f.detections = ReadDetections(detectionDir + "/" + n);
    frames.push_back(std::move(f));
  }
  return frames;
}

Curve ComputeCurve(const std::vector<Frame>& frames, double matchIou) {
  Curve c;
  c.frames = static_cast<int>(frames.size());
  std::vector<Ranked> ranked;
  std::vector<std::vector<bool>> taken(frames.size());
  for (size_t f = 0; f < frames.size(); ++f) {
    c.positives += static_cast<int>(frames[f].truth.size());
    taken[f].assign(frames[f].truth.size(), false);
    for (size_t d = 0; d < frames[f].detections.size(); ++d)
      ranked.push_back({frames[f].detections[d].score, static_cast<int>(f), static_cast<int>(d)});
  }
  // Stable, so equal scores keep frame order and the result does not depend
  // on the sort implementation.
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const Ranked& a, const Ranked& b) { return a.score > b.score; });
  const double framesD = std::max(1, c.frames);
  auto push = [&](double threshold, int tp, int fp) {
    c.threshold.push_back(threshold);
    c.precision.push_back(tp + fp > 0 ? tp / static_cast<double>(tp + fp) : 1.0);
    c.recall.push_back(c.positives > 0 ? tp / static_cast<double>(c.positives) : 0.0);
    c.missRate.push_back(1.0 - c.recall.back());
    c.fppi.push_back(fp / framesD);
  };
  push(std::numeric_limits<double>::infinity(), 0, 0);
  int tp = 0, fp = 0;
  for (size_t i = 0; i < ranked.size(); ++i) {
    const Ranked& r = ranked[i];
    const Frame& frame = frames[r.frame];
    const Box& box = frame.detections[r.index].box;
    double best = 0.0;
    int bestIndex = -1;
    for (size_t g = 0; g < frame.truth.size(); ++g) {
      const double o = Iou(box, frame.truth[g]);
      if (o > best) best = o, bestIndex = static_cast<int>(g);
    }
    if (bestIndex >= 0 && best >= matchIou && !taken[r.frame][bestIndex]) {
      taken[r.frame][bestIndex] = true;
      ++tp;
    } else {
      ++fp;
    }
    if (i + 1 == ranked.size() || ranked[i + 1].score != r.score) push(r.score, tp, fp);
  }
  return c;
}

double AveragePrecision(const Curve& c) {
  const size_t n = c.recall.size();
  std::vector<double> envelope(c.precision);
  for (size_t i = n; i-- > 1;) envelope[i - 1] = std::max(envelope[i - 1], envelope[i]);
  double ap = 0.0;
  for (size_t i = 1; i < n; ++i) ap += (c.recall[i] - c.recall[i - 1]) * envelope[i];
  return ap;
}

double LogAverageMissRate(const Curve& c) {
  double sum = 0.0;
  for (int k = 0; k < 9; ++k) {
    const double ref = std::pow(10.0, -2.0 + k * 0.25);
    double miss = 1.0;
    for (size_t i = 0; i < c.fppi.size(); ++i)
      if (c.fppi[i] <= ref) miss = c.missRate[i];  // fppi never decreases along the curve
    sum += std::log(std::max(miss, 1e-10));
  }
  return std::exp(sum / 9.0);
}

Summary Summarise(const std::vector<Frame>& frames, double threshold, double matchIou) {
  Summary s;
  const Curve all = ComputeCurve(frames, matchIou);
  s.averagePrecision = AveragePrecision(all);
  s.logAverageMissRate = LogAverageMissRate(all);
  s.positives = all.positives;
  // The curve's last point at or above the threshold describes exactly the
  // detections that pass it.
  size_t at = 0;
  for (size_t i = 0; i < all.threshold.size(); ++i)
    if (all.threshold[i] >= threshold) at = i;
  s.precision = all.precision[at];
  s.recall = all.recall[at];
  s.truePositives = static_cast<int>(std::lround(all.recall[at] * all.positives));
  s.falsePositives = static_cast<int>(std::lround(all.fppi[at] * std::max(1, all.frames)));
  return s;
}

namespace {

const cv::Scalar kColours[] = {{200, 0, 0}, {0, 0, 220}, {0, 160, 0}, {0, 140, 220}, {160, 0, 160}, {0, 0, 0}};

struct Axes {
  cv::Rect area;
  double x0, x1, y0, y1;
  bool logX, logY;
  cv::Point Map(double x, double y) const {
    auto t = [](double v, double a, double b, bool lg) {
      if (lg) v = std::log10(std::max(v, a * 1e-3)), a = std::log10(a), b = std::log10(b);
      return (v - a) / (b - a);
    };
    double tx = std::clamp(t(x, x0, x1, logX), 0.0, 1.0), ty = std::clamp(t(y, y0, y1, logY), 0.0, 1.0);
    return cv::Point(area.x + static_cast<int>(tx * area.width + 0.5),
                     area.y + area.height - static_cast<int>(ty * area.height + 0.5));
  }
};

cv::Mat Canvas(const Axes& a, const std::string& title, const std::string& xLabel, const std::string& yLabel,
               const std::vector<std::pair<double, std::string>>& xTicks,
               const std::vector<std::pair<double, std::string>>& yTicks) {
  cv::Mat img(520, 680, CV_8UC3, cv::Scalar(255, 255, 255));
  const cv::Scalar grid(220, 220, 220), ink(0, 0, 0);
  for (const auto& t : xTicks) {
    cv::line(img, a.Map(t.first, a.y0), a.Map(t.first, a.y1), grid, 1);
    cv::Point p = a.Map(t.first, a.y0);
    cv::putText(img, t.second, p + cv::Point(-14, 18), cv::FONT_HERSHEY_SIMPLEX, 0.4, ink, 1, cv::LINE_AA);
  }
  for (const auto& t : yTicks) {
    cv::line(img, a.Map(a.x0, t.first), a.Map(a.x1, t.first), grid, 1);
    cv::Point p = a.Map(a.x0, t.first);
    cv::putText(img, t.second, p + cv::Point(-40, 4), cv::FONT_HERSHEY_SIMPLEX, 0.4, ink, 1, cv::LINE_AA);
  }
  cv::rectangle(img, a.area, ink, 1);
  cv::putText(img, title, cv::Point(a.area.x, 25), cv::FONT_HERSHEY_SIMPLEX, 0.6, ink, 1, cv::LINE_AA);
  cv::putText(img, xLabel, cv::Point(a.area.x + a.area.width / 2 - 40, a.area.y + a.area.height + 40),
              cv::FONT_HERSHEY_SIMPLEX, 0.5, ink, 1, cv::LINE_AA);
  cv::putText(img, yLabel, cv::Point(5, a.area.y - 10), cv::FONT_HERSHEY_SIMPLEX, 0.5, ink, 1, cv::LINE_AA);
  return img;
}

void DrawCurves(cv::Mat& img, const Axes& a, const std::vector<NamedCurve>& curves, bool missRate,
                const std::vector<std::string>& legends, cv::Point legendAt) {
  for (size_t k = 0; k < curves.size(); ++k) {
    const Curve& c = curves[k].curve;
    const cv::Scalar colour = kColours[k % (sizeof kColours / sizeof kColours[0])];
    std::vector<cv::Point> pts;
    for (size_t i = 0; i < c.recall.size(); ++i) {
      if (missRate) {
        if (c.fppi[i] <= 0) continue;  // off a logarithmic axis
        // Steps: the miss rate holds until the next false positive arrives.
        if (!pts.empty()) pts.push_back(a.Map(c.fppi[i], c.missRate[i - 1]));
        pts.push_back(a.Map(c.fppi[i], c.missRate[i]));
      } else {
        pts.push_back(a.Map(c.recall[i], c.precision[i]));
      }
    }
    if (pts.size() > 1) cv::polylines(img, pts, false, colour, 2, cv::LINE_AA);
    const cv::Point p = legendAt + cv::Point(0, static_cast<int>(k) * 20);
    cv::line(img, p, p + cv::Point(25, 0), colour, 2, cv::LINE_AA);
    cv::putText(img, legends[k], p + cv::Point(32, 5), cv::FONT_HERSHEY_SIMPLEX, 0.45, cv::Scalar(0, 0, 0), 1,
                cv::LINE_AA);
  }
}

void Write(const std::string& path, const cv::Mat& img) {
  bool ok = false;
  try {
    ok = cv::imwrite(path, img);
  } catch (const cv::Exception&) {
    ok = false;
  }
  if (!ok) FailPlain(Format("%s: cannot write plot\n", path.c_str()));
}

}  // namespace

void PlotMissRate(const std::vector<NamedCurve>& curves, const std::string& path) {
  const Axes a{cv::Rect(70, 45, 580, 410), 1e-3, 1e1, 0.05, 1.0, true, true};
  cv::Mat img = Canvas(a, "miss rate against false positives per frame", "false positives per frame",
                       "miss rate",
                       {{1e-3, "1e-3"}, {1e-2, "1e-2"}, {1e-1, "1e-1"}, {1, "1"}, {10, "10"}},
                       {{0.05, ".05"}, {0.1, ".10"}, {0.2, ".20"}, {0.3, ".30"}, {0.5, ".50"}, {0.64, ".64"},
                        {0.8, ".80"}, {1.0, "1"}});
  std::vector<std::string> legends;
  for (const auto& c : curves)
    legends.push_back(Format("%.1f%% %s", 100.0 * LogAverageMissRate(c.curve), c.name.c_str()));
  DrawCurves(img, a, curves, true, legends, cv::Point(a.area.x + 15, a.area.y + a.area.height - 20 * static_cast<int>(curves.size())));
  Write(path, img);
}

void PlotPrecisionRecall(const std::vector<NamedCurve>& curves, const std::string& path) {
  const Axes a{cv::Rect(70, 45, 580, 410), 0.0, 1.0, 0.0, 1.0, false, false};
  std::vector<std::pair<double, std::string>> ticks;
  for (int i = 0; i <= 10; i += 2) ticks.push_back({i / 10.0, Format("%.1f", i / 10.0)});
  cv::Mat img = Canvas(a, "precision against recall", "recall", "precision", ticks, ticks);
  std::vector<std::string> legends;
  for (const auto& c : curves) legends.push_back(Format("AP %.3f %s", AveragePrecision(c.curve), c.name.c_str()));
  DrawCurves(img, a, curves, false, legends, cv::Point(a.area.x + 15, a.area.y + a.area.height - 20 * static_cast<int>(curves.size())));
  Write(path, img);
}

}  // namespace evaluation
}  // namespace pedscan
