// Projections of one sample onto a few PLS factors, with the standardisation
// fused into the four-lane dot products of DotProduct: the standardised
// sample never goes through memory and all factors share one pass over it.
// Every result has the bits of DotProduct((x - mean) / std, column), so a
// fused projection can stand in for PLS::ProjectSample anywhere. None of these
// allocates.
#pragma once

#include "numeric/pls.h"

namespace pedscan {

// The most factors the fused projections below take in one pass.
constexpr int kFusedFactorLimit = 10;

// out[k] = DotProduct((x - mean) / std, column k) for k < count, where column
// k starts at columns + k * m (the column-major layout of Wstar).
// Requires 1 <= count <= kFusedFactorLimit; another count writes nothing.
void ProjectStandardizedColumns(const float* x, const float* mean, const float* std,
                                const float* columns, int m, int count, float* out);

// The columns of ProjectStandardizedColumns (count of them, m values each)
// rearranged for ProjectPackedColumns: for each group of four features, the
// four values of columns 0 and 1, then of 2 and 3, and so on (the last
// column alone when count is odd); then each column's last m mod 4 values.
// Writes m * count values to packed.
void PackColumns(const float* columns, int m, int count, float* packed);

// ProjectStandardizedColumns, bit for bit, on columns laid out by
// PackColumns: two columns share each eight-lane multiply and add.
// Requires 1 <= count <= kFusedFactorLimit; another count writes nothing.
void ProjectPackedColumns(const float* x, const float* mean, const float* std,
                          const float* packed, int m, int count, float* out);

// PLS::ProjectSample with the same bits, fused as above for up to
// kFusedFactorLimit factors (the factor counts of real block and window
// models) and through PLS::ProjectSample beyond. Projects onto the first
// min(K, factors kept) columns of Wstar, writes that many values to out and
// returns the count. Requires a trained or loaded PLS.
int ProjectSampleFused(PLS& pls, const float* x, float* out, int K);

}  // namespace pedscan
