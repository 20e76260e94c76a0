// libFuzzer harness for the model-file reader: each input is written to a
// file and read as a model, as the object manager reads the file of a model
// line. A hostile file may only end in the reader's fatal report; a hang, a
// crash, a sanitizer finding or any other exception is a finding.
//
// Seed corpus: data/models/*.yml.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "model/Storage.h"
#include "support/failure.h"

namespace {

std::string ScratchPath() {
  static const std::string path = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/pedscan-model-fuzz-" +
           std::to_string(getpid()) + ".yml";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = ScratchPath();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  try {
    std::unique_ptr<pedscan::Model> model = pedscan::Storage().ReadModel(path);
  } catch (const pedscan::Failure&) {
    // The reader's report: the expected end for a damaged file.
  }
  return 0;
}
