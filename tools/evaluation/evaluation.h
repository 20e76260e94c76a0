// Scores detector result files against ground truth over many frames.
//
// Detections of all frames are ranked together, highest score first; each
// takes the ground-truth box of its own frame that it overlaps most, and is a
// true positive when that overlap (intersection over union) reaches the
// match threshold and the box is not taken yet. Everything else — weak
// overlaps and second detections of an already found person — is a false
// positive. Detections with equal scores enter the curves together: one
// threshold cannot separate them, so no curve point lies between them.
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
};

// One point per distinct score threshold, in descending threshold order,
// preceded by the point of no detection at all (threshold +infinity).
struct Curve {
  std::vector<double> threshold;
  std::vector<double> precision;  // 1 where nothing is detected yet
  std::vector<double> recall;
  std::vector<double> fppi;       // false positives per frame
  std::vector<double> missRate;   // 1 - recall
  int positives = 0;
  int frames = 0;
};

struct Summary {
  double precision = 0, recall = 0;  // at the requested threshold
  int truePositives = 0, falsePositives = 0, positives = 0;
  double averagePrecision = 0;
  double logAverageMissRate = 0;
};

double Iou(const Box& a, const Box& b);

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
// (the best precision at this or any higher recall), summed over recall steps.
double AveragePrecision(const Curve& curve);

// Geometric mean of the miss rate at 9 false-positives-per-frame points
// evenly spaced in log space from 1e-2 to 1e0. At each point the curve's miss
// rate at the largest FPPI not above it counts (the no-detection point, miss
// rate 1, when the curve starts above it).
double LogAverageMissRate(const Curve& curve);

// Precision and recall of the detections scoring at least threshold, plus
// the two summary figures.
Summary Summarise(const std::vector<Frame>& frames, double threshold, double matchIou = 0.5);

struct NamedCurve {
  std::string name;
  Curve curve;
};

// Miss rate against FPPI (both axes logarithmic) and precision against
// recall, one coloured line per curve with a legend. Throws Failure when the
// image cannot be written.
void PlotMissRate(const std::vector<NamedCurve>& curves, const std::string& path);
void PlotPrecisionRecall(const std::vector<NamedCurve>& curves, const std::string& path);

}  // namespace evaluation
}  // namespace pedscan
