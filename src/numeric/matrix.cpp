#include "numeric/matrix.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include <opencv2/core.hpp>

#include "support/atomic_file.h"
#include "support/failure.h"

namespace pedscan {

namespace {

// Element counts from 2^30 on are refused before any allocation, so that a
// product of two int32 counts can never wrap into a small block.
constexpr int64_t kMaxElements = int64_t{1} << 30;

constexpr char kIncompatibleColumns[] = "Incompatible number of columns!\n";
constexpr char kIncompatibleProduct[] = "multiplication of incompatible matrices\n";
constexpr char kNotSquare[] = "matrix must be square to invert\n";
constexpr char kSingular[] = "error: matrix cannot be inverted\n";

constexpr int kWriteMatrixFileLine = 212;  // "cannot write matrix file <path> (<reason>)"

size_t CheckedCount(int rows, int cols) {
  if (rows < 0 || cols < 0) {
    throw std::invalid_argument(Format("Matrix: negative shape %d x %d", rows, cols));
  }
  const int64_t count = int64_t{rows} * cols;
  if (count >= kMaxElements) throw std::bad_alloc();
  return static_cast<size_t>(count);
}

// OpenCV works on row-major blocks; these two copy across the layouts,
// rows in the outer loop and columns in the inner one.
cv::Mat ToRowMajor(const Matrix& m) {
  cv::Mat out(m.rows(), m.cols(), CV_32FC1);
  for (int r = 0; r < m.rows(); ++r) {
    float* row = out.ptr<float>(r);
    for (int c = 0; c < m.cols(); ++c) row[c] = m(r, c);
  }
  return out;
}

MatrixPtr FromRowMajor(const cv::Mat& mat) {
  auto out = std::make_unique<Matrix>(mat.rows, mat.cols);
  for (int r = 0; r < mat.rows; ++r) {
    const float* row = mat.ptr<float>(r);
    for (int c = 0; c < mat.cols; ++c) (*out)(r, c) = row[c];
  }
  return out;
}

// Writes value as four little-endian bytes whatever the host order.
void PutLittleEndian(uint32_t value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value & 0xffu);
  out[1] = static_cast<unsigned char>((value >> 8) & 0xffu);
  out[2] = static_cast<unsigned char>((value >> 16) & 0xffu);
  out[3] = static_cast<unsigned char>((value >> 24) & 0xffu);
}

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

[[noreturn]] void CannotWrite(const std::string& path, const std::string& reason) {
  Fatal("matrix", "WriteMatrixFile", kWriteMatrixFileLine,
        "cannot write matrix file " + path + " (" + reason + ")");
}

// element(r, c) gives the value at row r, column c; written row by row. The
// file appears under `path` only when complete.
template <typename Element>
void WriteRowByRow(const std::string& path, int rows, int cols, Element element) {
  AtomicFile file(path);
  if (!file.Open()) CannotWrite(path, file.error());
  unsigned char header[8];
  PutLittleEndian(static_cast<uint32_t>(rows), header);
  PutLittleEndian(static_cast<uint32_t>(cols), header + 4);
  bool ok = file.Write(header, sizeof header);
  // One row at a time keeps the buffer small for large sample matrices.
  std::vector<unsigned char> row(static_cast<size_t>(cols) * 4);
  for (int r = 0; ok && r < rows; ++r) {
    for (int c = 0; c < cols; ++c) PutLittleEndian(FloatBits(element(r, c)), &row[size_t(c) * 4]);
    ok = file.Write(row.data(), row.size());
  }
  if (!ok || !file.Commit()) CannotWrite(path, file.error());
}

}  // namespace

Vector::Vector(int n) : n_(n) {
  if (n < 0) throw std::invalid_argument(Format("Vector: negative length %d", n));
  values_.assign(static_cast<size_t>(n), 0.0f);
}

std::unique_ptr<Vector> Vector::Copy() const {
  auto out = std::make_unique<Vector>(n_);
  if (n_ > 0) std::memcpy(out->data(), data(), static_cast<size_t>(n_) * sizeof(float));
  return out;
}

Matrix::Matrix(int rows, int cols) : rows_(rows), cols_(cols) {
  values_.assign(CheckedCount(rows, cols), 0.0f);
}

MatrixPtr CreateMatrix(int rows, int cols) { return std::make_unique<Matrix>(rows, cols); }

MatrixPtr CopyMatrix(const Matrix& m) {
  auto out = std::make_unique<Matrix>(m.rows(), m.cols());
  const size_t count = static_cast<size_t>(m.rows()) * m.cols();
  if (count > 0) std::memcpy(out->data(), m.data(), count * sizeof(float));
  return out;
}

MatrixPtr StackRows(const Matrix* top, const Matrix& bottom) {
  if (top == nullptr) return CopyMatrix(bottom);
  if (top->cols() != bottom.cols()) FailPlain(kIncompatibleColumns);
  auto out = std::make_unique<Matrix>(top->rows() + bottom.rows(), top->cols());
  for (int j = 0; j < top->cols(); ++j) {
    for (int i = 0; i < top->rows(); ++i) (*out)(i, j) = (*top)(i, j);
    for (int i = 0; i < bottom.rows(); ++i) (*out)(top->rows() + i, j) = bottom(i, j);
  }
  return out;
}

MatrixPtr MultiplyMatrices(const Matrix& a, const Matrix& b) {
  if (a.cols() != b.rows()) FailPlain(kIncompatibleProduct);
  // An empty operand gives the (zero) product of the right shape; OpenCV
  // refuses empty operands.
  if (a.rows() == 0 || a.cols() == 0 || b.cols() == 0) return CreateMatrix(a.rows(), b.cols());
  cv::Mat product;
  cv::gemm(ToRowMajor(a), ToRowMajor(b), 1.0, cv::noArray(), 0.0, product);
  return FromRowMajor(product);
}

MatrixPtr InvertMatrix(const Matrix& a) {
  if (a.rows() != a.cols()) FailPlain(kNotSquare);
  const int n = a.rows();
  // Gauss-Jordan elimination with partial pivoting in double precision. A
  // matrix is singular only when a pivot is exactly zero: a threshold would
  // refuse well-defined inverses of matrices with small entries (the
  // scaled triangular factors of tightly clustered scores, for one).
  const size_t size = static_cast<size_t>(n);
  std::vector<double> m(size * size);      // row-major copy of a
  std::vector<double> inv(size * size, 0.0);  // row-major, starts as I
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) m[r * size + c] = a(r, c);
    inv[r * size + r] = 1.0;
  }
  for (size_t k = 0; k < size; ++k) {
    size_t pivot = k;
    for (size_t r = k + 1; r < size; ++r) {
      if (std::fabs(m[r * size + k]) > std::fabs(m[pivot * size + k])) pivot = r;
    }
    if (m[pivot * size + k] == 0.0) FailPlain(kSingular);
    if (pivot != k) {
      std::swap_ranges(m.begin() + k * size, m.begin() + (k + 1) * size, m.begin() + pivot * size);
      std::swap_ranges(inv.begin() + k * size, inv.begin() + (k + 1) * size,
                       inv.begin() + pivot * size);
    }
    const double scale = 1.0 / m[k * size + k];
    for (size_t c = 0; c < size; ++c) {
      m[k * size + c] *= scale;
      inv[k * size + c] *= scale;
    }
    for (size_t r = 0; r < size; ++r) {
      const double factor = m[r * size + k];
      if (r == k || factor == 0.0) continue;
      for (size_t c = 0; c < size; ++c) {
        m[r * size + c] -= factor * m[k * size + c];
        inv[r * size + c] -= factor * inv[k * size + c];
      }
    }
  }
  auto out = std::make_unique<Matrix>(n, n);
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) (*out)(r, c) = static_cast<float>(inv[r * size + c]);
  }
  return out;
}

MatrixPtr TransposeMatrix(const Matrix& a) {
  // Column-major a read row by row is its transpose column by column.
  auto out = std::make_unique<Matrix>(a.cols(), a.rows());
  for (int r = 0; r < a.rows(); ++r) {
    for (int c = 0; c < a.cols(); ++c) (*out)(c, r) = a(r, c);
  }
  return out;
}

VectorPtr SingularValues(const Matrix& a) {
  auto out = std::make_unique<Vector>(a.cols());
  if (a.rows() == 0 || a.cols() == 0) return out;
  cv::Mat scratch = ToRowMajor(a);
  cv::Mat values;
  cv::SVD::compute(scratch, values, cv::SVD::NO_UV | cv::SVD::MODIFY_A);
  const int count = std::min(a.cols(), static_cast<int>(values.total()));
  for (int i = 0; i < count; ++i) (*out)[i] = values.at<float>(i);
  return out;
}

MatrixPtr SelectColumns(const Matrix& m, const std::vector<int>& index) {
  const int count = static_cast<int>(index.size());
  auto out = std::make_unique<Matrix>(m.rows(), count);
  for (int i = 0; i < count; ++i) {
    const int c = index.at(static_cast<size_t>(i));
    if (c < 0 || c >= m.cols()) {
      throw std::out_of_range(Format("SelectColumns: column %d of %d", c, m.cols()));
    }
    if (m.rows() > 0) {
      std::memcpy(out->Column(i), m.Column(c), static_cast<size_t>(m.rows()) * sizeof(float));
    }
  }
  return out;
}

VectorPtr SelectElements(const Vector& v, const std::vector<int>& index) {
  const int count = static_cast<int>(index.size());
  auto out = std::make_unique<Vector>(count);
  for (int i = 0; i < count; ++i) {
    const int e = index.at(static_cast<size_t>(i));
    if (e < 0 || e >= v.n()) {
      throw std::out_of_range(Format("SelectElements: element %d of %d", e, v.n()));
    }
    (*out)[i] = v[e];
  }
  return out;
}

void WriteMatrixFile(const std::string& path, const Matrix& m) {
  WriteRowByRow(path, m.rows(), m.cols(), [&m](int r, int c) { return m(r, c); });
}

void WriteMatrixFile(const std::string& path, const Vector& v) {
  WriteRowByRow(path, 1, v.n(), [&v](int, int c) { return v[c]; });
}

}  // namespace pedscan
