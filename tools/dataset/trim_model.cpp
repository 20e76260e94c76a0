// Drops the training-only data from a model file so that it can be bundled.
//
//   trim_model <in.yml> <out.yml>
//
// The model is read and written through Storage, like every model pedscan
// reads and writes, so a damaged input stops with Storage's report instead of
// being copied; the trimmed model gives the same responses (see model_trim.h).
#include <tclap/CmdLine.h>

#include <cstdio>
#include <string>

#include "model_trim.h"
#include "support/failure.h"

int main(int argc, char** argv) {
  TCLAP::CmdLine cmd(
      "Drops the training-only scores and labels from a model file, keeping every record that "
      "detection reads, and prints how many records it trimmed.",
      ' ', "0.1.0");
  TCLAP::UnlabeledValueArg<std::string> inArg("in", "model file to read", true, "", "in.yml");
  cmd.add(inArg);
  TCLAP::UnlabeledValueArg<std::string> outArg("out", "trimmed model file to write", true, "",
                                               "out.yml");
  cmd.add(outArg);
  // A wrong command line ends here with status 1 and the usage; --help with 0.
  cmd.parse(argc, argv);

  const std::string& in = inArg.getValue();
  const std::string& out = outArg.getValue();
  try {
    const int trimmed = pedscan::TrimModelFile(in, out);
    std::printf("%s: trimmed %d training-only records\n", out.c_str(), trimmed);
    return 0;
  } catch (const pedscan::Failure& f) {
    std::fprintf(stderr, "trim_model: cannot trim '%s' into '%s':\n%s", in.c_str(), out.c_str(),
                 f.text().c_str());
    return 1;
  }
}
