// The usage printer handed to the command-line parser.
#pragma once

#include <tclap/StdOutput.h>

namespace pedscan {

// The parser's message: worked examples shown at the end of the usage.
// Kept word for word, trailing blanks included, because users copy from it.
inline constexpr char kUsageExamples[] =
    "EXAMPLES:\n"
    "- detection for single frame:\n"
    "   ./pedscan -d -c ExecuteParameters.txt -i wm2.ppm -o output -s -b \n"
    "\n"
    "- detection for a region of interest:\n"
    "   ./pedscan -d -c ExecuteParameters.txt -i wm2.ppm -o output -s -b -r 100,100,200,200\n"
    "\n"
    "- detection for multiple images:\n"
    "   ./pedscan -d -c ExecuteParameters.txt -i input -k *.jpg -o output -s -b\n"
    "\n"
    "- training considering 10-fold cross-validation and retraining: \n"
    "   ./pedscan -t -c TrainingParameters.txt -n negSamples -p posSamples -m testLearning -C -F "
    "10 -R 2\n"
    "\n";

// TCLAP's standard output with our own usage layout: a version banner
// before the library's short and long listings. Version line and failure
// report stay the library's.
class MyOutput : public TCLAP::StdOutput {
 public:
  // Writes the usage on stdout.
  void usage(TCLAP::CmdLineInterface& cmd) override;
};

}  // namespace pedscan
