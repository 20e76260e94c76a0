#include "evaluation.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "support/atomic_file.h"
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

double Coverage(const Box& box, const Box& region) {
  return pedscan::Coverage<double>(box.x, box.y, box.width, box.height, region.x, region.y, region.width,
                                   region.height);
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

namespace {

// An empty label, or a missing list, stands for "any class".
const std::string& LabelAt(const std::vector<std::string>& labels, size_t i) {
  static const std::string kAny;
  return i < labels.size() ? labels[i] : kAny;
}

bool SameClass(const std::string& a, const std::string& b) { return a.empty() || b.empty() || a == b; }

}  // namespace

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
  auto push = [&](double threshold, int tp, int fp, int ignored) {
    c.threshold.push_back(threshold);
    c.precision.push_back(tp + fp > 0 ? tp / static_cast<double>(tp + fp) : 1.0);
    c.recall.push_back(c.positives > 0 ? tp / static_cast<double>(c.positives) : 0.0);
    c.missRate.push_back(1.0 - c.recall.back());
    c.fppi.push_back(fp / framesD);
    c.truePositives.push_back(tp);
    c.falsePositives.push_back(fp);
    c.ignored.push_back(ignored);
  };
  push(std::numeric_limits<double>::infinity(), 0, 0, 0);
  int tp = 0, fp = 0, ignored = 0;
  for (size_t i = 0; i < ranked.size(); ++i) {
    const Ranked& r = ranked[i];
    const Frame& frame = frames[r.frame];
    const Box& box = frame.detections[r.index].box;
    const std::string& label = LabelAt(frame.detectionLabels, r.index);
    double best = 0.0;
    int bestIndex = -1;
    for (size_t g = 0; g < frame.truth.size(); ++g) {
      if (taken[r.frame][g] || !SameClass(label, LabelAt(frame.truthLabels, g))) continue;
      const double o = Iou(box, frame.truth[g]);
      if (o > best) best = o, bestIndex = static_cast<int>(g);
    }
    if (bestIndex >= 0 && best >= matchIou) {
      taken[r.frame][bestIndex] = true;
      ++tp;
    } else {
      bool inside = false;
      for (size_t g = 0; g < frame.ignore.size() && !inside; ++g)
        inside = SameClass(label, LabelAt(frame.ignoreLabels, g)) && Coverage(box, frame.ignore[g]) >= matchIou;
      ++(inside ? ignored : fp);
    }
    if (i + 1 == ranked.size() || ranked[i + 1].score != r.score) push(r.score, tp, fp, ignored);
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

std::vector<double> CocoIous() {
  // From whole hundredths, so that 0.55 is the double nearest 0.55 and not
  // 0.5 plus an accumulated 0.05.
  std::vector<double> ious;
  for (int percent = 50; percent <= 95; percent += 5) ious.push_back(percent / 100.0);
  return ious;
}

double AveragePrecisionOverIous(const std::vector<Frame>& frames) {
  const std::vector<double> ious = CocoIous();
  double sum = 0.0;
  for (double iou : ious) sum += AveragePrecision(ComputeCurve(frames, iou));
  return sum / static_cast<double>(ious.size());
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
  s.averagePrecisionOverIous = AveragePrecisionOverIous(frames);
  s.logAverageMissRate = LogAverageMissRate(all);
  s.positives = all.positives;
  // The curve's last point at or above the threshold describes exactly the
  // detections that pass it.
  size_t at = 0;
  for (size_t i = 0; i < all.threshold.size(); ++i)
    if (all.threshold[i] >= threshold) at = i;
  s.precision = all.precision[at];
  s.recall = all.recall[at];
  s.truePositives = all.truePositives[at];
  s.falsePositives = all.falsePositives[at];
  s.ignored = all.ignored[at];
  return s;
}

DetectorArgument ParseDetectorArgument(const std::string& text, double defaultThreshold) {
  DetectorArgument d;
  const size_t eq = text.find('=');
  std::string path = eq == std::string::npos ? text : text.substr(eq + 1);
  d.threshold = defaultThreshold;
  const size_t at = path.rfind('@');
  if (at != std::string::npos && at + 1 < path.size()) {
    const std::string number = path.substr(at + 1);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (*end == '\0' && std::isfinite(value) && !std::isspace(static_cast<unsigned char>(number[0]))) {
      d.threshold = value;
      path.resize(at);
    }
  }
  d.path = path;
  d.name = eq == std::string::npos ? path : text.substr(0, eq);
  return d;
}

namespace {

// Six colours, four dash patterns and five markers: consecutive curves differ
// in all three, and 60 curves before a style repeats.
const cv::Scalar kColours[] = {{200, 0, 0}, {0, 0, 220}, {0, 160, 0}, {0, 140, 220}, {160, 0, 160}, {0, 0, 0}};
// On and off lengths in pixels along the line; empty for a solid line.
const std::vector<double> kDashes[] = {{}, {14, 7}, {3, 5}, {14, 5, 3, 5}};
enum class Marker { kCircle, kSquare, kTriangle, kDiamond, kCross };
const Marker kMarkers[] = {Marker::kCircle, Marker::kSquare, Marker::kTriangle, Marker::kDiamond, Marker::kCross};
constexpr double kMarkerSpacing = 70.0;  // pixels of line between two markers

struct Style {
  cv::Scalar colour;
  const std::vector<double>* dash;
  Marker marker;
};

Style StyleOf(size_t k) {
  return {kColours[k % 6], &kDashes[k % 4], kMarkers[k % 5]};
}

struct Axes {
  cv::Rect area;
  double x0, x1, y0, y1;
  bool logX, logY;
  cv::Point2d MapExact(double x, double y) const {
    auto t = [](double v, double a, double b, bool lg) {
      if (lg) v = std::log10(std::max(v, a * 1e-3)), a = std::log10(a), b = std::log10(b);
      return (v - a) / (b - a);
    };
    double tx = std::clamp(t(x, x0, x1, logX), 0.0, 1.0), ty = std::clamp(t(y, y0, y1, logY), 0.0, 1.0);
    return cv::Point2d(area.x + tx * area.width, area.y + area.height - ty * area.height);
  }
  cv::Point Map(double x, double y) const {
    const cv::Point2d p = MapExact(x, y);
    return cv::Point(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
  }
};

void DrawMarker(cv::Mat& img, cv::Point p, const Style& style) {
  const int r = 5;
  const cv::Scalar white(255, 255, 255);
  switch (style.marker) {
    case Marker::kCircle:
      cv::circle(img, p, r, white, cv::FILLED, cv::LINE_AA);
      cv::circle(img, p, r, style.colour, 2, cv::LINE_AA);
      break;
    case Marker::kSquare:
      cv::rectangle(img, p - cv::Point(r - 1, r - 1), p + cv::Point(r - 1, r - 1), white, cv::FILLED);
      cv::rectangle(img, p - cv::Point(r - 1, r - 1), p + cv::Point(r - 1, r - 1), style.colour, 2, cv::LINE_AA);
      break;
    case Marker::kTriangle:
    case Marker::kDiamond: {
      std::vector<cv::Point> corners =
          style.marker == Marker::kTriangle
              ? std::vector<cv::Point>{p + cv::Point(0, -r - 1), p + cv::Point(r + 1, r), p + cv::Point(-r - 1, r)}
              : std::vector<cv::Point>{p + cv::Point(0, -r - 1), p + cv::Point(r + 1, 0), p + cv::Point(0, r + 1),
                                       p + cv::Point(-r - 1, 0)};
      cv::fillConvexPoly(img, corners, white, cv::LINE_AA);
      cv::polylines(img, corners, true, style.colour, 2, cv::LINE_AA);
      break;
    }
    case Marker::kCross:
      cv::line(img, p + cv::Point(-r, -r), p + cv::Point(r, r), style.colour, 2, cv::LINE_AA);
      cv::line(img, p + cv::Point(-r, r), p + cv::Point(r, -r), style.colour, 2, cv::LINE_AA);
      break;
  }
}

// Draws the line through `pts` in the style's dash pattern, and its markers
// every kMarkerSpacing pixels of length starting at `markerOffset`, so that
// curves lying on top of each other still show every curve's markers.
void DrawStyledLine(cv::Mat& img, const std::vector<cv::Point2d>& pts, const Style& style, double markerOffset) {
  const std::vector<double>& dash = *style.dash;
  double patternLength = 0.0;
  for (double d : dash) patternLength += d;
  double travelled = 0.0;
  std::vector<cv::Point> markers;
  double nextMarker = markerOffset;
  auto toInt = [](cv::Point2d p) { return cv::Point(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y))); };
  for (size_t i = 1; i < pts.size(); ++i) {
    const cv::Point2d a = pts[i - 1], b = pts[i];
    const double length = std::hypot(b.x - a.x, b.y - a.y);
    if (length <= 0) continue;
    auto at = [&](double along) { return a + (b - a) * ((along - travelled) / length); };
    while (nextMarker <= travelled + length) {
      markers.push_back(toInt(at(nextMarker)));
      nextMarker += kMarkerSpacing;
    }
    if (dash.empty()) {
      cv::line(img, toInt(a), toInt(b), style.colour, 2, cv::LINE_AA);
    } else {
      // Walk the pattern from the phase this segment starts in.
      double position = travelled;
      const double end = travelled + length;
      while (position < end) {
        double phase = std::fmod(position, patternLength);
        size_t piece = 0;
        while (phase >= dash[piece]) phase -= dash[piece], ++piece;
        const double stop = std::min(end, position + dash[piece] - phase);
        if (piece % 2 == 0) cv::line(img, toInt(at(position)), toInt(at(stop)), style.colour, 2, cv::LINE_AA);
        position = stop;
      }
    }
    travelled += length;
  }
  for (const cv::Point& p : markers) DrawMarker(img, p, style);
}

// Text turned a quarter to the left, for the vertical axis title.
void PutVerticalText(cv::Mat& img, const std::string& text, cv::Point centre) {
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
  cv::Mat strip(size.height + baseline + 4, size.width + 4, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::putText(strip, text, cv::Point(2, size.height + 2), cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(0, 0, 0), 1,
              cv::LINE_AA);
  cv::Mat turned;
  cv::rotate(strip, turned, cv::ROTATE_90_COUNTERCLOCKWISE);
  cv::Rect at(centre.x - turned.cols / 2, centre.y - turned.rows / 2, turned.cols, turned.rows);
  at &= cv::Rect(0, 0, img.cols, img.rows);
  turned(cv::Rect(0, 0, at.width, at.height)).copyTo(img(at));
}

cv::Mat Canvas(const Axes& a, const std::string& title, const std::string& xLabel, const std::string& yLabel,
               const std::vector<std::pair<double, std::string>>& xTicks,
               const std::vector<std::pair<double, std::string>>& yTicks) {
  cv::Mat img(520, 680, CV_8UC3, cv::Scalar(255, 255, 255));
  const cv::Scalar grid(220, 220, 220), ink(0, 0, 0);
  const auto font = cv::FONT_HERSHEY_SIMPLEX;
  for (const auto& t : xTicks) {
    cv::line(img, a.Map(t.first, a.y0), a.Map(t.first, a.y1), grid, 1);
    const cv::Point p = a.Map(t.first, a.y0);
    cv::line(img, p, p + cv::Point(0, 5), ink, 1);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(t.second, font, 0.45, 1, &baseline);
    cv::putText(img, t.second, p + cv::Point(-size.width / 2, 8 + size.height), font, 0.45, ink, 1, cv::LINE_AA);
  }
  for (const auto& t : yTicks) {
    cv::line(img, a.Map(a.x0, t.first), a.Map(a.x1, t.first), grid, 1);
    const cv::Point p = a.Map(a.x0, t.first);
    cv::line(img, p, p - cv::Point(5, 0), ink, 1);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(t.second, font, 0.45, 1, &baseline);
    cv::putText(img, t.second, p + cv::Point(-9 - size.width, size.height / 2), font, 0.45, ink, 1, cv::LINE_AA);
  }
  cv::rectangle(img, a.area, ink, 1);
  int baseline = 0;
  const cv::Size titleSize = cv::getTextSize(title, font, 0.6, 1, &baseline);
  cv::putText(img, title, cv::Point(a.area.x + (a.area.width - titleSize.width) / 2, 28), font, 0.6, ink, 1,
              cv::LINE_AA);
  const cv::Size xSize = cv::getTextSize(xLabel, font, 0.5, 1, &baseline);
  cv::putText(img, xLabel, cv::Point(a.area.x + (a.area.width - xSize.width) / 2, a.area.y + a.area.height + 45),
              font, 0.5, ink, 1, cv::LINE_AA);
  PutVerticalText(img, yLabel, cv::Point(14, a.area.y + a.area.height / 2));
  return img;
}

void DrawCurves(cv::Mat& img, const Axes& a, const std::vector<NamedCurve>& curves, bool missRate,
                const std::vector<std::string>& legends) {
  for (size_t k = 0; k < curves.size(); ++k) {
    const Curve& c = curves[k].curve;
    std::vector<cv::Point2d> pts;
    for (size_t i = 0; i < c.recall.size(); ++i) {
      if (missRate) {
        if (c.fppi[i] <= 0) continue;  // off a logarithmic axis
        // Steps: the miss rate holds until the next false positive arrives.
        if (!pts.empty()) pts.push_back(a.MapExact(c.fppi[i], c.missRate[i - 1]));
        pts.push_back(a.MapExact(c.fppi[i], c.missRate[i]));
      } else {
        pts.push_back(a.MapExact(c.recall[i], c.precision[i]));
      }
    }
    DrawStyledLine(img, pts, StyleOf(k), 10.0 + 13.0 * static_cast<double>(k % 5));
  }
  if (curves.empty()) return;
  // The legend in a framed white box in the lower left corner of the axes,
  // where both kinds of curve rarely pass.
  const auto font = cv::FONT_HERSHEY_SIMPLEX;
  int width = 0, baseline = 0;
  for (const std::string& text : legends) width = std::max(width, cv::getTextSize(text, font, 0.45, 1, &baseline).width);
  const int rowHeight = 20;
  const cv::Rect box(a.area.x + 10, a.area.y + a.area.height - 10 - rowHeight * static_cast<int>(curves.size()) - 8,
                     std::min(a.area.width - 20, width + 62), rowHeight * static_cast<int>(curves.size()) + 8);
  cv::rectangle(img, box, cv::Scalar(255, 255, 255), cv::FILLED);
  cv::rectangle(img, box, cv::Scalar(120, 120, 120), 1);
  for (size_t k = 0; k < curves.size(); ++k) {
    const Style style = StyleOf(k);
    const cv::Point2d p(box.x + 8, box.y + 14 + rowHeight * static_cast<double>(k));
    DrawStyledLine(img, {p, p + cv::Point2d(40, 0)}, style, 20.0);
    cv::putText(img, legends[k], cv::Point(static_cast<int>(p.x) + 50, static_cast<int>(p.y) + 5), font, 0.45,
                cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
  }
}

void Write(const std::string& path, const cv::Mat& img) {
  std::vector<unsigned char> png;
  bool ok = false;
  try {
    ok = cv::imencode(".png", img, png);
  } catch (const cv::Exception&) {
    ok = false;
  }
  std::string reason;
  if (!ok || !WriteFileAtomically(path, png.data(), png.size(), &reason)) {
    FailPlain(Format("%s: cannot write plot\n", path.c_str()));
  }
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char ch : text) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return quoted + "\"";
}

}  // namespace

void PlotMissRate(const std::vector<NamedCurve>& curves, const std::string& path) {
  const Axes a{cv::Rect(80, 45, 570, 405), 1e-3, 1e1, 0.05, 1.0, true, true};
  cv::Mat img = Canvas(a, "miss rate against false positives per frame", "false positives per frame",
                       "miss rate",
                       {{1e-3, "1e-3"}, {1e-2, "1e-2"}, {1e-1, "1e-1"}, {1, "1"}, {10, "10"}},
                       {{0.05, ".05"}, {0.1, ".10"}, {0.2, ".20"}, {0.3, ".30"}, {0.5, ".50"}, {0.64, ".64"},
                        {0.8, ".80"}, {1.0, "1"}});
  std::vector<std::string> legends;
  for (const auto& c : curves)
    legends.push_back(Format("%.1f%% %s", 100.0 * LogAverageMissRate(c.curve), c.name.c_str()));
  DrawCurves(img, a, curves, true, legends);
  Write(path, img);
}

void PlotPrecisionRecall(const std::vector<NamedCurve>& curves, const std::string& path) {
  const Axes a{cv::Rect(80, 45, 570, 405), 0.0, 1.0, 0.0, 1.0, false, false};
  std::vector<std::pair<double, std::string>> ticks;
  for (int i = 0; i <= 10; i += 2) ticks.push_back({i / 10.0, Format("%.1f", i / 10.0)});
  cv::Mat img = Canvas(a, "precision against recall", "recall", "precision", ticks, ticks);
  std::vector<std::string> legends;
  for (const auto& c : curves) legends.push_back(Format("AP %.3f %s", AveragePrecision(c.curve), c.name.c_str()));
  DrawCurves(img, a, curves, false, legends);
  Write(path, img);
}

void WriteCurvesCsv(const std::vector<NamedCurve>& curves, const std::string& path) {
  std::string text = "detector,threshold,precision,recall,fppi,miss_rate,true_positives,false_positives,ignored\n";
  for (const NamedCurve& named : curves) {
    const Curve& c = named.curve;
    const std::string name = CsvField(named.name);
    for (size_t i = 0; i < c.threshold.size(); ++i) {
      text += Format("%s,%s,%.12g,%.12g,%.12g,%.12g,%d,%d,%d\n", name.c_str(),
                     std::isinf(c.threshold[i]) ? "inf" : Format("%.12g", c.threshold[i]).c_str(), c.precision[i],
                     c.recall[i], c.fppi[i], c.missRate[i], c.truePositives[i], c.falsePositives[i], c.ignored[i]);
    }
  }
  std::string reason;
  if (!WriteFileAtomically(path, text.data(), text.size(), &reason)) {
    FailPlain(Format("%s: cannot write curves (%s)\n", path.c_str(), reason.c_str()));
  }
}

}  // namespace evaluation
}  // namespace pedscan
