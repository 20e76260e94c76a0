#include "numeric/matrix.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "expect_failure.h"

namespace pedscan {
namespace {

// Products and inverses of small integer matrices come back within a few
// float roundings of the exact answer.
constexpr float kSmallMatrixTolerance = 1e-5f;

MatrixPtr FromRows(const std::vector<std::vector<float>>& rows) {
  auto m = CreateMatrix(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
  for (int r = 0; r < m->rows(); ++r) {
    for (int c = 0; c < m->cols(); ++c) (*m)(r, c) = rows[r][c];
  }
  return m;
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

uint32_t LittleEndianAt(const std::vector<unsigned char>& bytes, size_t offset) {
  return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 |
         uint32_t{bytes[offset + 2]} << 16 | uint32_t{bytes[offset + 3]} << 24;
}

float FloatAt(const std::vector<unsigned char>& bytes, size_t offset) {
  const uint32_t bits = LittleEndianAt(bytes, offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "/" + name;
}

TEST(Matrix, StoresElementsColumnByColumnAndStartsAtZero) {
  auto m = FromRows({{1, 2, 3}, {4, 5, 6}});
  const std::vector<float> block(m->data(), m->data() + 6);
  EXPECT_EQ(block, (std::vector<float>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(m->Column(2)[1], 6.0f);

  Matrix zero(3, 4);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(zero.data()[i], 0.0f);
  Vector v(5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(v[i], 0.0f);
}

TEST(Matrix, RefusesElementCountsFromTwoToTheThirtyWithoutWrapping) {
  EXPECT_THROW(Matrix(32768, 32768), std::bad_alloc);
  // 65536 * 65536 wraps to 0 in 32 bits.
  EXPECT_THROW(Matrix(65536, 65536), std::bad_alloc);
  EXPECT_NO_THROW(Matrix(0, 5));
}

TEST(Matrix, WritesTwoCountsThenTheElementsRowByRow) {
  const std::string path = TempPath("two_by_three.matrix");
  WriteMatrixFile(path, *FromRows({{1, 2, 3}, {4, 5, 6}}));
  const std::vector<unsigned char> bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(LittleEndianAt(bytes, 0), 2u);
  EXPECT_EQ(LittleEndianAt(bytes, 4), 3u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(FloatAt(bytes, 8 + 4 * i), float(i + 1));

  // Writing again truncates the old contents.
  WriteMatrixFile(path, Matrix(0, 3));
  const std::vector<unsigned char> empty = ReadBytes(path);
  ASSERT_EQ(empty.size(), 8u);
  EXPECT_EQ(LittleEndianAt(empty, 0), 0u);
  EXPECT_EQ(LittleEndianAt(empty, 4), 3u);
  std::remove(path.c_str());
}

TEST(Matrix, WritesAVectorAsOneRow) {
  const std::string path = TempPath("vector.matrix");
  Vector v(4);
  for (int i = 0; i < 4; ++i) v[i] = 0.5f * i;
  WriteMatrixFile(path, v);
  const std::vector<unsigned char> bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 24u);
  EXPECT_EQ(LittleEndianAt(bytes, 0), 1u);
  EXPECT_EQ(LittleEndianAt(bytes, 4), 4u);
  EXPECT_EQ(FloatAt(bytes, 20), 1.5f);
  std::remove(path.c_str());
}

TEST(Matrix, UnwritableMatrixFileIsAFatalReportNamingThePath) {
  const std::string path = TempPath("no_such_directory/features.matrix");
  const std::string report =
      ".\\matrix.cpp(WriteMatrixFile.212): \n  cannot write matrix file " + path +
      " (No such file or directory)\n";
  ExpectFailure([&] { WriteMatrixFile(path, Matrix(2, 2)); }, report, -1);
  ExpectFailure([&] { WriteMatrixFile(path, Vector(2)); }, report, -1);
}

TEST(Matrix, StackRowsWithoutTopIsAnIndependentCopy) {
  auto bottom = FromRows({{1, 2}, {3, 4}});
  auto copy = StackRows(nullptr, *bottom);
  ASSERT_EQ(copy->rows(), 2);
  ASSERT_EQ(copy->cols(), 2);
  EXPECT_NE(copy->data(), bottom->data());
  (*copy)(0, 0) = 9;
  EXPECT_EQ((*bottom)(0, 0), 1.0f);
  EXPECT_EQ((*copy)(1, 1), 4.0f);
}

TEST(Matrix, StackRowsPutsTopRowsFirst) {
  auto stacked = StackRows(FromRows({{1, 2}, {3, 4}}).get(), *FromRows({{5, 6}}));
  ASSERT_EQ(stacked->rows(), 3);
  const std::vector<float> block(stacked->data(), stacked->data() + 6);
  EXPECT_EQ(block, (std::vector<float>{1, 3, 5, 2, 4, 6}));
  auto withEmpty = StackRows(FromRows({{7, 8}}).get(), Matrix(0, 2));
  EXPECT_EQ(withEmpty->rows(), 1);
  EXPECT_EQ((*withEmpty)(0, 1), 8.0f);
}

TEST(Matrix, ShapeErrorsAndSingularMatricesArePlainFailures) {
  ExpectFailure([] { StackRows(CreateMatrix(3, 5).get(), Matrix(2, 4)); },
                "Incompatible number of columns!\n", 2);
  ExpectFailure([] { MultiplyMatrices(Matrix(2, 3), Matrix(2, 3)); },
                "multiplication of incompatible matrices\n", 2);
  ExpectFailure([] { InvertMatrix(Matrix(2, 3)); }, "matrix must be square to invert\n", 2);
  ExpectFailure([] { InvertMatrix(*FromRows({{1, 2}, {0, 0}})); },
                "error: matrix cannot be inverted\n", 2);
  // Larger matrices go through the elimination rather than the closed form.
  ExpectFailure(
      [] { InvertMatrix(*FromRows({{1, 2, 3, 4}, {2, 1, 0, 1}, {0, 0, 0, 0}, {1, 1, 1, 3}})); },
      "error: matrix cannot be inverted\n", 2);
}

TEST(Matrix, ProductInverseAndTransposeAgreeWithHandResults) {
  auto a = FromRows({{1, 2, 3}, {4, 5, 6}});
  auto b = FromRows({{1, 0}, {0, 1}, {2, -1}});
  auto ab = MultiplyMatrices(*a, *b);
  ASSERT_EQ(ab->rows(), 2);
  ASSERT_EQ(ab->cols(), 2);
  EXPECT_EQ((*ab)(0, 0), 7.0f);
  EXPECT_EQ((*ab)(0, 1), -1.0f);
  EXPECT_EQ((*ab)(1, 0), 16.0f);
  EXPECT_EQ((*ab)(1, 1), -1.0f);

  auto at = TransposeMatrix(*a);
  ASSERT_EQ(at->rows(), 3);
  EXPECT_EQ((*at)(2, 1), 6.0f);
  EXPECT_EQ((*at)(0, 1), 4.0f);

  auto square = FromRows({{4, 1, 0, 2}, {1, 3, 1, 0}, {0, 1, 5, 1}, {2, 0, 1, 6}});
  auto identity = MultiplyMatrices(*square, *InvertMatrix(*square));
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      EXPECT_NEAR((*identity)(r, c), r == c ? 1.0f : 0.0f, kSmallMatrixTolerance);
    }
  }
  EXPECT_EQ(MultiplyMatrices(Matrix(2, 0), Matrix(0, 3))->cols(), 3);
}

TEST(Matrix, InversionFailsOnlyOnAnExactlyZeroPivot) {
  // Small but nonzero pivots invert, whatever the size.
  for (int n : {3, 4, 12}) {
    SCOPED_TRACE(n);
    for (float d : {1e-7f, 1e-20f}) {
      Matrix diagonal(n, n);
      for (int i = 0; i < n; ++i) diagonal(i, i) = d;
      MatrixPtr inverse = InvertMatrix(diagonal);
      for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
          EXPECT_EQ((*inverse)(r, c), r == c ? static_cast<float>(1.0 / d) : 0.0f);
        }
      }
    }
  }
  // A zero column is met as a zero pivot after any row exchange.
  ExpectFailure([] { InvertMatrix(*FromRows({{1, 0, 2}, {3, 0, 4}, {5, 0, 6}})); },
                "error: matrix cannot be inverted\n", 2);
  EXPECT_EQ(InvertMatrix(Matrix(0, 0))->rows(), 0);
}

TEST(Matrix, InverseAgreesWithOpenCVOnWellConditionedMatrices) {
  // Diagonally dominant random matrices: OpenCV's single-precision LU and
  // the double-precision elimination agree to a few float roundings.
  constexpr float kAgreement = 1e-5f;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (int n : {1, 2, 3, 5, 10, 40}) {
    SCOPED_TRACE(n);
    Matrix a(n, n);
    cv::Mat rowMajor(n, n, CV_32F);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) {
        a(r, c) = uniform(rng) + (r == c ? static_cast<float>(n) : 0.0f);
        rowMajor.at<float>(r, c) = a(r, c);
      }
    }
    cv::Mat expected;
    ASSERT_NE(cv::invert(rowMajor, expected, cv::DECOMP_LU), 0.0);
    MatrixPtr inverse = InvertMatrix(a);
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) EXPECT_NEAR((*inverse)(r, c), expected.at<float>(r, c), kAgreement);
    }
  }
}

TEST(Matrix, SingularValuesComeInDescendingOrder) {
  auto m = FromRows({{3, 0, 0}, {0, -5, 0}, {0, 0, 1}});
  auto s = SingularValues(*m);
  ASSERT_EQ(s->n(), 3);
  EXPECT_NEAR((*s)[0], 5.0f, kSmallMatrixTolerance);
  EXPECT_NEAR((*s)[1], 3.0f, kSmallMatrixTolerance);
  EXPECT_NEAR((*s)[2], 1.0f, kSmallMatrixTolerance);
  EXPECT_EQ((*m)(1, 1), -5.0f);  // the input is left alone
}

TEST(Matrix, SelectionCopiesTheNamedColumnsAndElementsAndChecksBounds) {
  auto m = FromRows({{1, 2, 3}, {4, 5, 6}});
  auto picked = SelectColumns(*m, {2, 0, 2});
  ASSERT_EQ(picked->cols(), 3);
  EXPECT_EQ((*picked)(1, 0), 6.0f);
  EXPECT_EQ((*picked)(0, 1), 1.0f);
  EXPECT_EQ(SelectColumns(*m, {})->cols(), 0);
  EXPECT_THROW(SelectColumns(*m, {3}), std::out_of_range);
  EXPECT_THROW(SelectColumns(*m, {-1}), std::out_of_range);

  Vector v(3);
  v[0] = 10;
  v[1] = 20;
  v[2] = 30;
  auto elements = SelectElements(v, {1, 1, 0});
  ASSERT_EQ(elements->n(), 3);
  EXPECT_EQ((*elements)[0], 20.0f);
  EXPECT_EQ((*elements)[2], 10.0f);
  EXPECT_THROW(SelectElements(v, {3}), std::out_of_range);

  auto copy = v.Copy();
  (*copy)[0] = 0;
  EXPECT_EQ(v[0], 10.0f);
  EXPECT_EQ((*copy)[2], 30.0f);
}

}  // namespace
}  // namespace pedscan
