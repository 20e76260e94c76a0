#include "support/cpu.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

namespace pedscan {
namespace cpu {
namespace {

// The path kernels run with. Set the first time anything asks, whichever
// static initialiser or thread that is, so that a pin made before (say, from
// a test program's own initialiser) is never overwritten by the detection.
std::atomic<Path>& ActiveSlot() {
  static std::atomic<Path> slot{BestPath()};
  return slot;
}

// The path the compiler's own flags give, for the native build.
constexpr Path CompiledPath() {
#if defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__FMA__)
  return Path::kAvx512;
#elif defined(__AVX2__)
  return Path::kAvx2;
#else
  return Path::kBaseline;
#endif
}

// The instructions the AVX2 kernels are compiled with besides AVX2 itself
// (see the kernel flags in CMakeLists.txt).
bool RunsAvx2Set() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("lzcnt") && __builtin_cpu_supports("popcnt");
}

}  // namespace

const char* PathName(Path path) {
  switch (path) {
    case Path::kAvx2: return "avx2";
    case Path::kAvx512: return "avx512";
    default: return "baseline";
  }
}

bool PathOfName(const char* name, Path* path) {
  for (Path candidate : kAllPaths) {
    if (std::strcmp(name, PathName(candidate)) == 0) {
      *path = candidate;
      return true;
    }
  }
  return false;
}

bool Built(Path path) {
#if defined(PEDSCAN_NATIVE)
  return path == CompiledPath();
#else
  (void)CompiledPath;
  (void)path;
  return true;
#endif
}

bool ProcessorRuns(Path path) {
  // The builtins read CPUID and, for the AVX paths, whether the system saves
  // the wider registers (XGETBV), as libgcc's start-up code found them.
  __builtin_cpu_init();
  switch (path) {
    case Path::kBaseline: return true;
    case Path::kAvx2: return RunsAvx2Set();
    case Path::kAvx512:
      return RunsAvx2Set() && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  }
  return false;
}

Path BestPath() {
  for (Path path : {Path::kAvx512, Path::kAvx2}) {  // widest first
    if (Available(path)) return path;
  }
  return Path::kBaseline;
}

Path ActivePath() { return ActiveSlot().load(std::memory_order_relaxed); }

bool PinPathForTesting(Path path) {
  if (!Available(path)) return false;
  ActiveSlot().store(path, std::memory_order_relaxed);
  return true;
}

}  // namespace cpu
}  // namespace pedscan
