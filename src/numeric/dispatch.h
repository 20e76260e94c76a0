// The hot kernels of numeric/ and features/ as tables of function pointers,
// one table per instruction set they are compiled for (support/cpu.h), so
// that one portable program takes the fastest path of each processor.
//
// A kernel source is compiled once per path with PEDSCAN_KERNEL_NS set to
// the path's name (baseline, avx2, avx512; native in the native build); its
// functions live in pedscan::<that name> and it defines that namespace's
// table. Each entry does a whole row, block or batch, so that the one
// indirect call a table costs stays out of the inner loops.
#pragma once

#include "support/cpu.h"

// The namespace of the path being compiled. Outside a kernel source this is
// the common one of the code compiled for baseline x86-64.
#if defined(PEDSCAN_KERNEL_NS)
#define PEDSCAN_KERNELS PEDSCAN_KERNEL_NS
#else
#define PEDSCAN_KERNELS common
#endif

namespace pedscan {

// The kernels of numeric/kernels.h and numeric/projection.h, same contracts.
struct NumericKernels {
  float (*dotProduct)(const float* a, const float* b, int n);
  void (*dotProductColumns)(const float* x, const float* columns, int stride, int count, int n,
                            float* out);
  void (*projectStandardizedColumns)(const float* x, const float* mean, const float* std,
                                     const float* columns, int m, int count, float* out);
  void (*projectPackedColumns)(const float* x, const float* mean, const float* std,
                               const float* packed, int m, int count, float* out);
};

#if defined(PEDSCAN_NATIVE)
namespace native { extern const NumericKernels kNumericKernels; }
#else
namespace baseline { extern const NumericKernels kNumericKernels; }
namespace avx2 { extern const NumericKernels kNumericKernels; }
namespace avx512 { extern const NumericKernels kNumericKernels; }
#endif

#if defined(PEDSCAN_KERNEL_NS)
// The kernels other kernel sources of the same path call directly.
namespace PEDSCAN_KERNEL_NS {
float DotProduct(const float* a, const float* b, int n);
}  // namespace PEDSCAN_KERNEL_NS
#endif

// The table of a path; requires cpu::Built(path).
inline const NumericKernels& NumericKernelsOf(cpu::Path path) {
#if defined(PEDSCAN_NATIVE)
  (void)path;
  return native::kNumericKernels;
#else
  switch (path) {
    case cpu::Path::kAvx512: return avx512::kNumericKernels;
    case cpu::Path::kAvx2: return avx2::kNumericKernels;
    default: return baseline::kNumericKernels;
  }
#endif
}

// The table of the path the process runs now.
inline const NumericKernels& NumericKernelsNow() { return NumericKernelsOf(cpu::ActivePath()); }

}  // namespace pedscan
