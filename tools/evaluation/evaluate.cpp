// Evaluates detector result files against ground truth.
//
//   evaluate <truthDir> [-t threshold] [-p plotPrefix] [name=]<resultDir>...
//
// Every <truthDir>/*.txt names a frame ("x y w h" per person); each result
// directory must hold the file of the same name ("x y w h score" per box).
// Prints, per detector, precision and recall of the boxes scoring at least
// the threshold (default: every box), the average precision and the
// log-average miss rate; with -p writes <prefix>-missrate.png and
// <prefix>-pr.png with every detector's curve.
#include <tclap/CmdLine.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "evaluation.h"
#include "support/failure.h"

using namespace pedscan;
using namespace pedscan::evaluation;

namespace {

int Run(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Evaluates detector result files against ground truth: per detector, precision and recall "
      "at the threshold, average precision and log-average miss rate.",
      ' ', "0.1.0");
  TCLAP::ValueArg<std::string> prefixArg(
      "p", "plots", "write <prefix>-missrate.png and <prefix>-pr.png with every detector's curve",
      false, "", "plotPrefix");
  cmd.add(prefixArg);
  TCLAP::ValueArg<double> thresholdArg(
      "t", "threshold", "count the boxes scoring at least this [every box]", false, -1e300,
      "threshold");
  cmd.add(thresholdArg);
  TCLAP::UnlabeledValueArg<std::string> truthArg(
      "truthDir", "directory of the ground-truth files, <frame>.txt with \"x y w h\" lines", true,
      "", "truthDir");
  cmd.add(truthArg);
  TCLAP::UnlabeledMultiArg<std::string> detectorsArg(
      "resultDir",
      "[name=]<resultDir>: a detector's result files, <frame>.txt with \"x y w h score\" lines "
      "for every ground-truth file; shown under name (default: the directory)",
      true, "[name=]resultDir");
  cmd.add(detectorsArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  const std::string truth = truthArg.getValue();
  const std::string prefix = prefixArg.getValue();
  const double threshold = thresholdArg.getValue();
  std::vector<std::pair<std::string, std::string>> detectors;
  for (const std::string& a : detectorsArg.getValue()) {
    const size_t eq = a.find('=');
    detectors.push_back(eq == std::string::npos ? std::make_pair(a, a)
                                                : std::make_pair(a.substr(0, eq), a.substr(eq + 1)));
  }
  std::vector<NamedCurve> curves;
  std::printf("%-14s %6s %6s %9s %9s %7s %9s\n", "detector", "frames", "people", "precision", "recall",
              "AP", "log-av MR");
  for (const auto& d : detectors) {
    const std::vector<Frame> frames = LoadFrames(truth, d.second);
    const Summary s = Summarise(frames, threshold);
    std::printf("%-14s %6zu %6d %9.3f %9.3f %7.3f %8.2f%%\n", d.first.c_str(), frames.size(), s.positives,
                s.precision, s.recall, s.averagePrecision, 100.0 * s.logAverageMissRate);
    curves.push_back({d.first, ComputeCurve(frames)});
  }
  if (!prefix.empty()) {
    PlotMissRate(curves, prefix + "-missrate.png");
    PlotPrecisionRecall(curves, prefix + "-pr.png");
    std::printf("plots: %s-missrate.png %s-pr.png\n", prefix.c_str(), prefix.c_str());
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
