// Evaluates detector results against ground truth.
//
//   evaluate <truth> [-t threshold] [-p plotPrefix] [-c class]...
//            [name=]<results>[@threshold]...
//
// <truth> is a folder of pedscan text files (<frame>.txt, "x y w h" per
// person), a folder of Pascal VOC XML or labelme JSON files, an imglab XML
// file or a COCO JSON file (see inputs.h). Each <results> is a folder with
// <frame>.txt ("x y w h score" per box) for every frame, or a COCO results
// file. Prints, per detector, precision and recall of the boxes scoring at
// least its threshold (@threshold, else -t, else every box), the average
// precision and the log-average miss rate, then the AP averaged over IoU
// 0.50-0.95 and the detections ignored at the threshold. With -p
// writes <prefix>-missrate.png, <prefix>-pr.png and <prefix>-curves.csv with
// every detector's curve.
#include <tclap/CmdLine.h>

#include <cstdio>
#include <string>
#include <vector>

#include "evaluation.h"
#include "inputs.h"
#include "support/failure.h"

using namespace pedscan;
using namespace pedscan::evaluation;

namespace {

int Run(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Evaluates detector results against ground truth: per detector, precision and recall "
      "at the threshold, average precision and log-average miss rate.",
      ' ', "0.1.0");
  TCLAP::MultiArg<std::string> classArg(
      "c", "class", "evaluate only objects and detections of this class (repeatable) [every class]",
      false, "class");
  cmd.add(classArg);
  TCLAP::ValueArg<std::string> prefixArg(
      "p", "plots",
      "write <prefix>-missrate.png and <prefix>-pr.png with every detector's curve, and the curves' "
      "points as <prefix>-curves.csv",
      false, "", "plotPrefix");
  cmd.add(prefixArg);
  TCLAP::ValueArg<double> thresholdArg(
      "t", "threshold", "count the boxes scoring at least this [every box]", false, -1e300,
      "threshold");
  cmd.add(thresholdArg);
  TCLAP::UnlabeledValueArg<std::string> truthArg(
      "truthDir",
      "the ground truth: a folder of <frame>.txt with \"x y w h\" lines, of Pascal VOC XML or of "
      "labelme JSON files, an imglab XML file or a COCO JSON file",
      true, "", "truthDir");
  cmd.add(truthArg);
  TCLAP::UnlabeledMultiArg<std::string> detectorsArg(
      "resultDir",
      "[name=]<resultDir>[@threshold]: a detector's result files, <frame>.txt with \"x y w h score\" "
      "lines for every frame, or a COCO results JSON file; shown under name (default: the path), "
      "counted at threshold (default: -t)",
      true, "[name=]resultDir[@threshold]");
  cmd.add(detectorsArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  const std::string prefix = prefixArg.getValue();
  std::vector<DetectorArgument> detectors;
  for (const std::string& a : detectorsArg.getValue())
    detectors.push_back(ParseDetectorArgument(a, thresholdArg.getValue()));
  std::vector<NamedCurve> curves;
  std::printf("%-14s %6s %6s %9s %9s %7s %9s", "detector", "frames", "people", "precision", "recall", "AP",
              "log-av MR");
  std::printf(" %8s %7s", "AP.5:.95", "ignored");
  std::printf("\n");
  const Truth truth = ReadTruth(truthArg.getValue(), classArg.getValue());
  for (const DetectorArgument& d : detectors) {
    const std::vector<Frame> frames = LoadFrames(truth, d.path);
    const Summary s = Summarise(frames, d.threshold);
    std::printf("%-14s %6zu %6d %9.3f %9.3f %7.3f %8.2f%%", d.name.c_str(), frames.size(), s.positives,
                s.precision, s.recall, s.averagePrecision, 100.0 * s.logAverageMissRate);
    std::printf(" %8.3f %7d", s.averagePrecisionOverIous, s.ignored);
    std::printf("\n");
    curves.push_back({d.name, ComputeCurve(frames)});
  }
  if (!prefix.empty()) {
    PlotMissRate(curves, prefix + "-missrate.png");
    PlotPrecisionRecall(curves, prefix + "-pr.png");
    std::printf("plots: %s-missrate.png %s-pr.png\n", prefix.c_str(), prefix.c_str());
    WriteCurvesCsv(curves, prefix + "-curves.csv");
    std::printf("curves: %s-curves.csv\n", prefix.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const Failure& f) {
    return ReportFailure(f);
  }
}
