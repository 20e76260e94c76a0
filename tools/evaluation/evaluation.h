// Scores detector result files against ground truth over many frames.
//
// Detections of all frames are ranked together, highest score first. Each
// takes, among the real objects of its own frame that no higher-ranked
// detection has taken (and that carry its class, when both are labelled),
// the one it overlaps most, and is a true positive when that overlap
// (intersection over union) reaches the match threshold. A detection that
// finds no such object is ignored — neither true nor false positive — when it
// lies mostly inside an ignore region of its frame (VOC difficult, COCO crowd,
// imglab ignore, labelme __ignore__): the part of its area inside one region,
// divided by its own area, reaches the match threshold. Everything else —
// weak overlaps and second detections of an already found person — is a
// false positive. Ignore regions are never counted as people, so one that
// no detection covers is not a miss, and any number of detections may be
// ignored by one region (a crowd holds many people). Detections with equal
// scores enter the curves together: one threshold cannot separate them, so
// no curve point lies between them.
#pragma once
#include <string>
#include <vector>

namespace pedscan {
namespace evaluation {

struct Box {
  double x = 0, y = 0, width = 0, height = 0;
};

struct ScoredBox {
  Box box;
  double score = 0;
};

struct Frame {
  std::string name;
  std::vector<Box> truth;
  std::vector<ScoredBox> detections;
  std::vector<Box> ignore;  // regions where a detection counts neither way
  // The class of each box of truth, ignore and detections, index by index;
  // an empty list or an empty label matches every class. Pedscan's own text
  // files carry no class.
  std::vector<std::string> truthLabels, ignoreLabels, detectionLabels;
};

// One point per distinct score threshold, in descending threshold order,
// preceded by the point of no detection at all (threshold +infinity).
struct Curve {
  std::vector<double> threshold;
  std::vector<double> precision;  // 1 where nothing is detected yet
  std::vector<double> recall;
  std::vector<double> fppi;       // false positives per frame
  std::vector<double> missRate;   // 1 - recall
  // Counts of the detections scoring at least each threshold.
  std::vector<int> truePositives, falsePositives, ignored;
  int positives = 0;
  int frames = 0;
};

struct Summary {
  double precision = 0, recall = 0;  // at the requested threshold
  int truePositives = 0, falsePositives = 0, positives = 0;
  int ignored = 0;  // detections at the threshold inside ignore regions
  double averagePrecision = 0;  // at the match threshold given
  // The mean of AveragePrecision at the match thresholds 0.50, 0.55, ...,
  // 0.95 (COCO's "AP"), each the same area as averagePrecision.
  double averagePrecisionOverIous = 0;
  double logAverageMissRate = 0;
};

double Iou(const Box& a, const Box& b);

// The part of `box`'s area that lies inside `region`, from 0 to 1.
double Coverage(const Box& box, const Box& region);

// Reads "x y w h" per line. Blank lines are skipped; any other line that is
// not exactly four numbers with positive width and height throws Failure
// (plain message naming the file and line), as does a file that cannot be
// opened.
std::vector<Box> ReadGroundTruth(const std::string& path);

// Reads "x y w h score" per line with the same rules.
std::vector<ScoredBox> ReadDetections(const std::string& path);

// The names of the ground-truth files <truthDir>/*.txt, sorted ("0400.txt";
// the extension in any case, a frame being the name without it). Throws
// Failure when the directory cannot be opened or holds no such file.
std::vector<std::string> GroundTruthFiles(const std::string& truthDir);

// Frames named by the ground-truth files <truthDir>/*.txt (sorted by name)
// with the detections of <detectionDir>/<same name>. A missing or malformed
// file on either side throws Failure naming it.
std::vector<Frame> LoadFrames(const std::string& truthDir, const std::string& detectionDir);

Curve ComputeCurve(const std::vector<Frame>& frames, double matchIou = 0.5);

// Area under the precision-recall curve with precision made monotone
// (the best precision at this or any higher recall), summed over recall steps:
// every point counts, nothing is sampled at fixed recalls.
double AveragePrecision(const Curve& curve);

// The match thresholds of COCO's averaged AP: 0.50, 0.55, ..., 0.95.
std::vector<double> CocoIous();

// AveragePrecision of the curves at every CocoIous() threshold, averaged.
// The ignore rule follows each threshold too.
double AveragePrecisionOverIous(const std::vector<Frame>& frames);

// Geometric mean of the miss rate at 9 false-positives-per-frame points
// evenly spaced in log space from 1e-2 to 1e0. At each point the curve's miss
// rate at the largest FPPI not above it counts (the no-detection point, miss
// rate 1, when the curve starts above it).
double LogAverageMissRate(const Curve& curve);

// Precision and recall of the detections scoring at least threshold, plus
// the two summary figures.
Summary Summarise(const std::vector<Frame>& frames, double threshold, double matchIou = 0.5);

// One detector of the command line: "[name=]path[@threshold]". The name
// defaults to the path; the threshold, when the text after the last '@' is
// a finite number, overrides `defaultThreshold` (a path that itself ends in
// "@<number>" keeps it by ending in '/').
struct DetectorArgument {
  std::string name, path;
  double threshold = 0;
};
DetectorArgument ParseDetectorArgument(const std::string& text, double defaultThreshold);

struct NamedCurve {
  std::string name;
  Curve curve;
};

// Miss rate against FPPI (both axes logarithmic) and precision against
// recall, one line per curve, told apart by colour, dash pattern and marker
// so that overlapping curves stay readable, with tick labels, axis titles and
// a legend. The image appears complete or not at all (AtomicFile). Throws
// Failure when it cannot be written.
void PlotMissRate(const std::vector<NamedCurve>& curves, const std::string& path);
void PlotPrecisionRecall(const std::vector<NamedCurve>& curves, const std::string& path);

// Every curve's points as CSV with a header line: detector, threshold,
// precision, recall, fppi, miss_rate, true_positives, false_positives,
// ignored. Names holding a comma, quote or line break are quoted as CSV
// quotes them; the first point's threshold is "inf". Written atomically;
// throws Failure naming the file when it cannot be written.
void WriteCurvesCsv(const std::vector<NamedCurve>& curves, const std::string& path);

}  // namespace evaluation
}  // namespace pedscan
