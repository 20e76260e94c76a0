// Dense single-precision containers of the numerical core.
//
// A Matrix stores its elements column by column: element (r, c) lives at
// data()[r + c * rows()], so one column is contiguous and can be handed to a
// vector kernel as a plain float array. Model files store the element block
// in this same order. Both types are move-only; copies are explicit
// (CopyMatrix, Vector::Copy) so that no large block is copied by accident.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace pedscan {

class Vector {
 public:
  // A zero-filled vector of n elements (n >= 0).
  explicit Vector(int n = 0);
  Vector(Vector&&) = default;
  Vector& operator=(Vector&&) = default;
  Vector(const Vector&) = delete;
  Vector& operator=(const Vector&) = delete;

  std::unique_ptr<Vector> Copy() const;

  int n() const { return n_; }
  float* data() { return values_.data(); }
  const float* data() const { return values_.data(); }
  float& operator[](int i) { return values_[static_cast<size_t>(i)]; }
  float operator[](int i) const { return values_[static_cast<size_t>(i)]; }

 private:
  std::vector<float> values_;
  int n_ = 0;
};

class Matrix {
 public:
  // A zero-filled rows x cols matrix. A count of 2^30 elements or more throws
  // std::bad_alloc instead of allocating a wrapped-around size.
  Matrix(int rows, int cols);
  Matrix(Matrix&&) = default;
  Matrix& operator=(Matrix&&) = default;
  Matrix(const Matrix&) = delete;
  Matrix& operator=(const Matrix&) = delete;

  int rows() const { return rows_; }
  int cols() const { return cols_; }
  float* data() { return values_.data(); }
  const float* data() const { return values_.data(); }
  float* Column(int c) { return values_.data() + static_cast<size_t>(c) * rows_; }
  const float* Column(int c) const { return values_.data() + static_cast<size_t>(c) * rows_; }
  float& operator()(int r, int c) { return values_[r + static_cast<size_t>(c) * rows_]; }
  float operator()(int r, int c) const { return values_[r + static_cast<size_t>(c) * rows_]; }

 private:
  std::vector<float> values_;
  int rows_ = 0;
  int cols_ = 0;
};

using MatrixPtr = std::unique_ptr<Matrix>;
using VectorPtr = std::unique_ptr<Vector>;

// Every producer returns a new object owned by the caller; none modifies its
// inputs. Shape errors and a singular matrix throw the plain Failure
// (status 2) with the messages below.
MatrixPtr CreateMatrix(int rows, int cols);
MatrixPtr CopyMatrix(const Matrix& m);
// top may be null (a copy of bottom). "Incompatible number of columns!\n".
MatrixPtr StackRows(const Matrix* top, const Matrix& bottom);
// "multiplication of incompatible matrices\n".
MatrixPtr MultiplyMatrices(const Matrix& a, const Matrix& b);
// Gaussian elimination with partial pivoting in double precision, rounded
// to float. "matrix must be square to invert\n"; "error: matrix cannot be
// inverted\n" when a pivot is exactly zero.
MatrixPtr InvertMatrix(const Matrix& a);
MatrixPtr TransposeMatrix(const Matrix& a);
// a.cols() singular values in descending order.
VectorPtr SingularValues(const Matrix& a);
MatrixPtr SelectColumns(const Matrix& m, const std::vector<int>& index);
VectorPtr SelectElements(const Vector& v, const std::vector<int>& index);

// Binary .matrix file: int32 rows, int32 cols, then the elements row by row
// as float32, all little-endian. A Vector is written as one row. The file
// appears under `path` only when complete (see AtomicFile); one that cannot
// be written throws the fatal report naming the path and the reason.
void WriteMatrixFile(const std::string& path, const Matrix& m);
void WriteMatrixFile(const std::string& path, const Vector& v);

}  // namespace pedscan
