#include "numeric/projection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace pedscan {
namespace {

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<float> Uniform(std::mt19937& rng, size_t n, float low, float high) {
  std::uniform_real_distribution<float> value(low, high);
  std::vector<float> values(n);
  for (float& v : values) v = value(rng);
  return values;
}

// DotProduct((x - mean) / std, column) written as its definition: lane
// i mod 4 sums in index order, the tail goes into lane 0, then
// ((lane1 + lane0) + lane2) + lane3.
float PlainStandardizedDot(const float* x, const float* mean, const float* std,
                           const float* column, int m) {
  float lane[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const int body = m - m % 4;
  for (int i = 0; i < body; ++i) lane[i % 4] += (x[i] - mean[i]) / std[i] * column[i];
  for (int i = body; i < m; ++i) lane[0] += (x[i] - mean[i]) / std[i] * column[i];
  return ((lane[1] + lane[0]) + lane[2]) + lane[3];
}

TEST(FusedProjection, PackedAndUnpackedColumnsGiveThePlainBits) {
  std::mt19937 rng(29);
  for (int m : {1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 48, 131}) {
    for (int count = 1; count <= kFusedFactorLimit; ++count) {
      SCOPED_TRACE(testing::Message() << m << " features, " << count << " columns");
      // One float in front of every array makes the loads unaligned, as they
      // are for a block's slice of a window.
      const std::vector<float> x = Uniform(rng, m + 1, -2.0f, 2.0f);
      const std::vector<float> mean = Uniform(rng, m + 1, -1.0f, 1.0f);
      const std::vector<float> deviation = Uniform(rng, m + 1, 0.1f, 3.0f);
      const std::vector<float> columns = Uniform(rng, static_cast<size_t>(m) * count + 1, -1.0f, 1.0f);
      std::vector<float> packed(static_cast<size_t>(m) * count + 1);
      PackColumns(columns.data() + 1, m, count, packed.data() + 1);
      std::vector<float> unpackedOut(count), packedOut(count);
      ProjectStandardizedColumns(x.data() + 1, mean.data() + 1, deviation.data() + 1,
                                 columns.data() + 1, m, count, unpackedOut.data());
      ProjectPackedColumns(x.data() + 1, mean.data() + 1, deviation.data() + 1, packed.data() + 1,
                           m, count, packedOut.data());
      for (int k = 0; k < count; ++k) {
        const float plain = PlainStandardizedDot(x.data() + 1, mean.data() + 1,
                                                 deviation.data() + 1, &columns[1 + k * m], m);
        EXPECT_TRUE(SameBits(unpackedOut[k], plain)) << k;
        EXPECT_TRUE(SameBits(packedOut[k], plain)) << k;
      }
    }
  }
}

TEST(FusedProjection, PackingPairsColumnsPerQuadThenAppendsTheTails) {
  // Three columns of six features; value 10 * column + feature.
  std::vector<float> columns;
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 6; ++i) columns.push_back(static_cast<float>(10 * c + i));
  }
  std::vector<float> packed(columns.size());
  PackColumns(columns.data(), 6, 3, packed.data());
  const std::vector<float> expected = {0, 1, 2, 3, 10, 11, 12, 13,  // columns 0 and 1
                                       20, 21, 22, 23,              // column 2 alone
                                       4, 5, 14, 15, 24, 25};       // the tails
  EXPECT_EQ(packed, expected);
}

TEST(FusedProjection, MatchesThePlsProjectionBitForBit) {
  std::mt19937 rng(31);
  for (int m : {1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 39, 48, 1155}) {
    for (int factors : {1, 2, 3, 4, 5, 7, 8, 10, 11, 13}) {
      SCOPED_TRACE(testing::Message() << m << " features, " << factors << " factors");
      PLS pls;
      auto mean = std::make_unique<Vector>(m);
      auto deviation = std::make_unique<Vector>(m);
      auto wstar = std::make_unique<Matrix>(m, factors);
      const std::vector<float> means = Uniform(rng, m, -1.4f, 1.5f);
      const std::vector<float> deviations = Uniform(rng, m, 0.1f, 3.0f);
      const std::vector<float> weights = Uniform(rng, static_cast<size_t>(m) * factors, -1.0f, 1.0f);
      std::copy(means.begin(), means.end(), mean->data());
      std::copy(deviations.begin(), deviations.end(), deviation->data());
      std::copy(weights.begin(), weights.end(), wstar->data());
      pls.SetModel(nullptr, nullptr, std::move(wstar), std::move(mean), std::move(deviation),
                   nullptr);
      for (int r = 0; r < 4; ++r) {
        const std::vector<float> x = Uniform(rng, m, -2.0f, 2.5f);
        // More factors than kept, all kept, and one fewer (none when factors is 1).
        for (int K : {factors + 3, factors, factors - 1}) {
          std::vector<float> expected(factors + 1, 0.0f), fused(factors + 1, 0.0f);
          const int count = pls.ProjectSample(x.data(), expected.data(), K);
          ASSERT_EQ(count, std::min(K, factors));
          ASSERT_EQ(ProjectSampleFused(pls, x.data(), fused.data(), K), count);
          for (int k = 0; k < count; ++k) {
            EXPECT_TRUE(SameBits(fused[k], expected[k])) << k;
            EXPECT_TRUE(SameBits(fused[k], PlainStandardizedDot(x.data(), pls.XMean->data(),
                                                                pls.XStd->data(),
                                                                pls.Wstar->Column(k), m)))
                << k;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace pedscan
