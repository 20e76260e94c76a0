// The pedscan command: parse the command line, run exactly one mode, and
// turn any failure into its report and exit status.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include <opencv2/core/utility.hpp>

#include "app/input_parameters.h"
#include "app/mode_options.h"
#include "detection/detection_mode.h"
#include "support/failure.h"
#include "support/parallel.h"
#include "training/training_mode.h"

namespace {

// The record lives until the process ends.
pedscan::InputParameters* parameters = nullptr;

}  // namespace

int main(int argc, char** argv) {
  try {
    parameters = new pedscan::InputParameters();
    parameters->ParseCommandLine(argc, argv);
    // The image library's own threads follow the option too, so that -j 1
    // runs on one thread only; never beyond the cores, which its pool
    // refuses with a warning.
    cv::setNumThreads(
        std::min(pedscan::ResolveThreads(parameters->threads), pedscan::AvailableCores()));

    // Exactly one mode flag is set after parsing; detection is tested first.
    if (parameters->detection) {
      pedscan::RunDetection(parameters->configfile, pedscan::DetectionOptionsOf(*parameters));
    } else if (parameters->training) {
      pedscan::RunTraining(parameters->configfile, pedscan::TrainingOptionsOf(*parameters));
    } else if (parameters->features) {
      pedscan::RunFeatureExtraction(parameters->configfile,
                                    pedscan::ExtractionOptionsOf(*parameters));
    }
  } catch (const pedscan::Failure& failure) {
    // -1 for a fatal report: the shell sees 255.
    return pedscan::ReportFailure(failure);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "error: out of memory\n");
    return -1;
  } catch (const std::exception& error) {
    // Anything else is a fault of ours or of a library; end with a message,
    // never with an abort.
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", error.what());
    return -1;
  }
  std::fflush(stdout);
  return 0;
}
