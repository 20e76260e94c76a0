// k-fold cross-validation of the number of window PLS factors.
//
// Both classes are shuffled and cut into k folds; for every fold and every
// number of factors from 1 to 20 a fresh model is trained on the other folds
// and its error measured on the held-out one. The pieces are separate
// functions so that the fold split and the choice of the count can be
// checked on their own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "numeric/matrix.h"

namespace pedscan {

// Factor counts tried, 1..kMaxFactors.
inline constexpr int kMaxFactors = 20;
// Accumulated error per factor count; index 0 is unused.
using FactorErrors = std::array<float, kMaxFactors + 1>;

// Fatal report from CrossValidation when k is below 2: with one fold there
// is nothing to train on.
void CheckNumberOfFolds(int k);

// 0..n-1 in an order drawn from the generator seeded with `seed`: for each
// position p from 1 to n - 1 the entry at p is swapped with the one at a
// position drawn uniformly from 0..p.
std::vector<int> ShuffleIndices(int n, uint32_t seed);

// Fold f holds the entries f * s .. (f + 1) * s - 1 of `shuffled`, with
// s = shuffled.size() / k; the last shuffled.size() mod k entries belong to
// no fold. Requires k >= 1.
std::vector<std::vector<int>> SplitIntoFolds(const std::vector<int>& shuffled, int k);

// The fold's error: sqrt((sum over negatives of (1 - v)^2 + sum over
// positives of (1 - v)^2) / (negatives + positives)) in single precision,
// negatives summed first.
float FoldError(const std::vector<float>& negativeValues, const std::vector<float>& positiveValues);

// The count in 1..20 with the smallest accumulated error; ties keep the
// smaller count.
int ChooseNumberOfFactors(const FactorErrors& errors);

// Chooses the number of window PLS factors for the given block outputs
// (one row per sample, the same columns in both) with k folds, printing a
// line per fold and the table of mean errors with "<-" at the chosen count.
// The folds are shuffled from the clock, so a sampling seed does not touch
// them. Each trial model is set up from `configFile`. The folds train on
// `threads` workers (0: every core available), one fold per worker at a
// time; the errors are summed and printed in fold order, so the result and
// the output do not depend on the count. Fatal when k < 2 and, at the
// model, when the rows have more than 1,000,000 columns.
int CrossValidation(const Matrix& positives, const Matrix& negatives, int k,
                    const std::string& configFile, int threads = 1);

}  // namespace pedscan
