// The kernel path of a benchmark program: --kernels=<path> pins it (see
// support/cpu.h), and the figures carry a "kernels: <path>" line of context,
// so that figures of different paths or builds are never mistaken for each
// other.
#pragma once

#include <cstdio>
#include <cstring>

#include <benchmark/benchmark.h>

#include "support/cpu.h"

namespace pedscan {
namespace bench {

// Takes --kernels=<path> out of the arguments and pins the path; false,
// with a message, when the path is unknown or not available here. Then
// adds the path in use to the benchmark context.
inline bool UseKernelsOption(int* argc, char** argv) {
  constexpr char kOption[] = "--kernels=";
  int kept = 0;
  bool ok = true;
  for (int i = 0; i < *argc; ++i) {
    if (std::strncmp(argv[i], kOption, sizeof(kOption) - 1) != 0) {
      argv[kept++] = argv[i];
      continue;
    }
    const char* name = argv[i] + sizeof(kOption) - 1;
    cpu::Path path;
    if (!cpu::PathOfName(name, &path) || !cpu::PinPathForTesting(path)) {
      std::fprintf(stderr, "kernels: '%s' is not a path available here\n", name);
      ok = false;
    }
  }
  *argc = kept;
  benchmark::AddCustomContext("kernels", cpu::PathName(cpu::ActivePath()));
  return ok;
}

}  // namespace bench
}  // namespace pedscan

// BENCHMARK_MAIN with --kernels=<path>.
#define PEDSCAN_BENCHMARK_MAIN()                                              \
  int main(int argc, char** argv) {                                           \
    if (!pedscan::bench::UseKernelsOption(&argc, argv)) return 2;             \
    benchmark::Initialize(&argc, argv);                                       \
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;         \
    benchmark::RunSpecifiedBenchmarks();                                      \
    benchmark::Shutdown();                                                    \
    return 0;                                                                 \
  }
