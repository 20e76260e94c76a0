#include "numeric/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace pedscan {
namespace {

// The four-lane sum written out as its definition, one product at a time.
float FourLaneReference(const float* a, const float* b, int n) {
  float lane[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const int body = n - n % 4;
  for (int i = 0; i < body; ++i) lane[i % 4] += a[i] * b[i];
  for (int i = body; i < n; ++i) lane[0] += a[i] * b[i];
  return ((lane[1] + lane[0]) + lane[2]) + lane[3];
}

float SequentialReference(const float* a, const float* b, int n) {
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

bool SameBits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

std::vector<float> RandomValues(std::mt19937& rng, int n) {
  // Mixed magnitudes make every reordering of the sum visible in the bits.
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-8, 8);
  std::vector<float> values(static_cast<size_t>(n));
  for (float& v : values) v = std::ldexp(mantissa(rng), exponent(rng));
  return values;
}

TEST(DotProduct, FourLaneFormMatchesItsDefinitionBitForBit) {
  std::mt19937 rng(11);
  for (int n = 0; n <= 300; ++n) {
    for (int trial = 0; trial < 3; ++trial) {
      // Offsets by one float make the loads unaligned as they are in a block.
      const std::vector<float> a = RandomValues(rng, n + 1);
      const std::vector<float> b = RandomValues(rng, n + 1);
      const float expected = FourLaneReference(a.data() + 1, b.data() + 1, n);
      const float actual = DotProduct(a.data() + 1, b.data() + 1, n);
      ASSERT_TRUE(SameBits(actual, expected)) << "n = " << n << ": " << actual << " vs "
                                              << expected;
    }
  }
}

TEST(DotProduct, EmptyIsZeroAndTheFifthProductGoesToLaneZero) {
  EXPECT_TRUE(SameBits(DotProduct(nullptr, nullptr, 0), 0.0f));
  // Lane 0 holds 1e8 and then takes -1e8 from the tail, so the lanes fold
  // to 3. Adding the tail after folding would lose the small lanes to 1e8.
  const float a[5] = {1e8f, 1.0f, 1.0f, 1.0f, -1e8f};
  const float b[5] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
  EXPECT_EQ(DotProduct(a, b, 5), 3.0f);
  EXPECT_EQ(DotProductScalar(a, b, 5), 0.0f);
}

TEST(DotProduct, ScalarFormIsOneSumInIndexOrder) {
  std::mt19937 rng(12);
  for (int n = 0; n <= 64; ++n) {
    const std::vector<float> a = RandomValues(rng, n);
    const std::vector<float> b = RandomValues(rng, n);
    ASSERT_TRUE(SameBits(DotProductScalar(a.data(), b.data(), n),
                         SequentialReference(a.data(), b.data(), n)))
        << "n = " << n;
  }
}

TEST(DotProduct, ColumnFormGivesTheBitsOfOneCallPerColumn) {
  std::mt19937 rng(13);
  for (int rows : {0, 3, 4, 5, 48, 131}) {
    for (int count : {0, 1, 3, 4, 5, 9}) {
      const std::vector<float> x = RandomValues(rng, rows);
      const std::vector<float> columns = RandomValues(rng, rows * count);
      std::vector<float> out(static_cast<size_t>(count) + 1, -7.0f);
      DotProductColumns(x.data(), columns.data(), rows, count, rows, out.data());
      for (int c = 0; c < count; ++c) {
        ASSERT_TRUE(SameBits(out[c], DotProduct(x.data(), columns.data() + c * rows, rows)))
            << rows << " rows, column " << c << " of " << count;
      }
      EXPECT_EQ(out[count], -7.0f);  // nothing past the last column
    }
  }
}

}  // namespace
}  // namespace pedscan
