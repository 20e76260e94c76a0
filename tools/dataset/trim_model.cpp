// Drops the training-only data from a model file so that it can be bundled.
//
//   trim_model <in.yml> <out.yml>
//
// The trimmed model gives the same responses (see model_trim.h).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "model_trim.h"
#include "support/atomic_file.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: trim_model <in.yml> <out.yml>\n");
    return 1;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "trim_model: cannot open '%s'\n", argv[1]);
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  int trimmed = 0;
  const std::string result = pedscan::TrimModelText(text.str(), &trimmed);
  // Complete or not at all, like every model file pedscan writes.
  std::string reason;
  if (!pedscan::WriteFileAtomically(argv[2], result.data(), result.size(), &reason)) {
    std::fprintf(stderr, "trim_model: cannot write '%s' (%s)\n", argv[2], reason.c_str());
    return 1;
  }
  std::printf("%s: trimmed %d training-only records\n", argv[2], trimmed);
  return 0;
}
