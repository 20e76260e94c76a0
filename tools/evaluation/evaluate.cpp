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
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "evaluation.h"
#include "support/failure.h"

using namespace pedscan;
using namespace pedscan::evaluation;

int main(int argc, char** argv) {
  try {
    std::string truth, prefix;
    double threshold = -1e300;
    std::vector<std::pair<std::string, std::string>> detectors;
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if ((a == "-t" || a == "-p") && i + 1 < argc) {
        if (a == "-t") {
          char* end = nullptr;
          threshold = std::strtod(argv[++i], &end);
          if (*end != '\0') FailPlain(Format("evaluate: invalid threshold '%s'\n", argv[i]));
        } else {
          prefix = argv[++i];
        }
      } else if (truth.empty()) {
        truth = a;
      } else {
        const size_t eq = a.find('=');
        detectors.push_back(eq == std::string::npos ? std::make_pair(a, a)
                                                    : std::make_pair(a.substr(0, eq), a.substr(eq + 1)));
      }
    }
    if (truth.empty() || detectors.empty())
      FailPlain("usage: evaluate <truthDir> [-t threshold] [-p plotPrefix] [name=]<resultDir>...\n");
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
  } catch (const Failure& f) {
    return ReportFailure(f);
  }
}
