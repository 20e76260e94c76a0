// Feeds arbitrary bytes to the configuration reader as a file: once as a
// detection configuration, whose scale lines then build pyramid levels for
// two model geometries, and once as a model configuration. Every rejection
// must be a Failure; anything else (a crash, a sanitizer report, a hang) is
// a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "detection/obj_manager.h"
#include "model/model.h"
#include "model/parameters.h"
#include "support/failure.h"

namespace {

// Scale lines whose levels are built per input. Each accepted line makes at
// most 65536 levels; this keeps one input to a fraction of a second.
constexpr int kScaleLinesBuilt = 8;

const std::string& ConfigurationPath() {
  static const std::string path = "/tmp/pedscan-configuration-fuzzer-" + std::to_string(getpid());
  return path;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

pedscan::Model Geometry(int windowW, int windowH, int objW, int objH) {
  pedscan::Model model;
  model.windowW = static_cast<int16_t>(windowW);
  model.windowH = static_cast<int16_t>(windowH);
  model.objW = static_cast<int16_t>(objW);
  model.objH = static_cast<int16_t>(objH);
  return model;
}

void ReadDetectionConfiguration(const std::string& path) {
  static const pedscan::Model kPerson = Geometry(64, 128, 48, 96);
  static const pedscan::Model kSmall = Geometry(32, 64, 20, 48);
  pedscan::ParametersExecution configuration;
  try {
    configuration.ParseFile(path);
    pedscan::ObjManager manager;
    int built = 0;
    for (const auto& [name, type] : configuration.objectTypes) {
      for (const auto& scale : type->scales) {
        if (built++ == kScaleLinesBuilt) return;
        const pedscan::Model& model = built % 2 == 0 ? kPerson : kSmall;
        std::set<int> levels;
        manager.AddScaleLevels(name, *scale, model, levels);
      }
    }
  } catch (const pedscan::Failure&) {
  }
}

void ReadModelConfiguration(const std::string& path) {
  pedscan::Parameters configuration;
  try {
    configuration.ParseFile(path);
  } catch (const pedscan::Failure&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::atexit([] { std::remove(ConfigurationPath().c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = ConfigurationPath();
  if (!WriteFile(path, data, size)) return 0;
  ReadDetectionConfiguration(path);
  ReadModelConfiguration(path);
  return 0;
}
