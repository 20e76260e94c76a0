// The main of the test programs that run once per kernel path: CTest runs
// each with --kernels=<path>, which pins the path before any test. On a
// path this machine cannot run, nothing runs and the program says why in
// the words CTest takes for a skipped test.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/cpu.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  namespace cpu = pedscan::cpu;
  constexpr char kOption[] = "--kernels=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kOption, sizeof(kOption) - 1) != 0) continue;
    const char* name = argv[i] + sizeof(kOption) - 1;
    cpu::Path path;
    if (!cpu::PathOfName(name, &path)) {
      std::fprintf(stderr, "unknown kernel path '%s'\n", name);
      return 2;
    }
    std::string reason;
    if (!cpu::Built(path)) {
      reason = std::string("kernels: ") + name + " not built in this configuration";
    } else if (!cpu::ProcessorRuns(path)) {
      reason = std::string("kernels: ") + name + " not run by this processor";
    } else {
      cpu::PinPathForTesting(path);
    }
    if (!reason.empty()) {
      std::printf("[  SKIPPED ] %s\n", reason.c_str());
      return 0;
    }
  }
  std::printf("kernels: %s\n", cpu::PathName(cpu::ActivePath()));
  return RUN_ALL_TESTS();
}
