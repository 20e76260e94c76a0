// The instruction sets the hot kernels are built for, and the one this
// process runs them with.
//
// The portable build compiles everything for baseline x86-64 (SSE2) and the
// hot kernels twice more, for AVX2 and for AVX-512; the path is chosen once,
// from the processor's features, the first time a kernel is called. Every
// path gives the same bits, so the choice only changes the speed. The native
// build (PEDSCAN_NATIVE) compiles one path, the compiler's, for the build
// machine.
#pragma once

namespace pedscan {
namespace cpu {

enum class Path { kBaseline = 0, kAvx2 = 1, kAvx512 = 2 };
constexpr int kPathCount = 3;
constexpr Path kAllPaths[kPathCount] = {Path::kBaseline, Path::kAvx2, Path::kAvx512};

// "baseline", "avx2", "avx512".
const char* PathName(Path path);
// The path of a name PathName gives; false for any other name.
bool PathOfName(const char* name, Path* path);

// Whether this build holds kernels for the path.
bool Built(Path path);
// Whether the processor (and the system, which must save the wider
// registers) runs the path's instructions.
bool ProcessorRuns(Path path);
// Built and run by the processor.
inline bool Available(Path path) { return Built(path) && ProcessorRuns(path); }

// The fastest available path: what the kernels use unless a test pins one.
Path BestPath();
// The path the kernels use now.
Path ActivePath();

// Makes the kernels use `path` from now on, so that one test machine can
// check every path it runs against the others. Returns false, changing
// nothing, when the path is not available. Not for the programs: they take
// the best path.
bool PinPathForTesting(Path path);

}  // namespace cpu
}  // namespace pedscan
