// Read-only views of caller-owned float64 data with arbitrary strides, and an owned
// row-major matrix. Strides are counted in elements, not bytes.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace canopy {

struct VectorView {
    const double* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = 1;

    double operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
    bool contiguous() const { return stride == 1 || size <= 1; }
};

struct MatrixView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    double operator()(std::size_t r, std::size_t c) const {
        return data[static_cast<std::ptrdiff_t>(r) * row_stride +
                    static_cast<std::ptrdiff_t>(c) * col_stride];
    }
    // Each row is one contiguous run of `cols` values.
    bool rows_contiguous() const { return col_stride == 1 || cols <= 1; }
    VectorView row(std::size_t r) const {
        return {data + static_cast<std::ptrdiff_t>(r) * row_stride, cols, col_stride};
    }
};

// Owned matrix, rows stored one after another.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> values;

    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols);

    double operator()(std::size_t r, std::size_t c) const { return values[r * cols + c]; }
    double& operator()(std::size_t r, std::size_t c) { return values[r * cols + c]; }
    std::span<const double> row(std::size_t r) const { return {values.data() + r * cols, cols}; }
    MatrixView view() const {
        return {values.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    }
};

// Copies any view into row-major order.
Matrix to_row_major(const MatrixView& x);
std::vector<double> to_vector(const VectorView& v);

// A view whose rows are contiguous: the input itself when it already is, otherwise a
// row-major copy held by this object.
class RowMajor {
public:
    explicit RowMajor(const MatrixView& x);
    const MatrixView& view() const { return view_; }
    std::span<const double> row(std::size_t r) const {
        return {view_.data + static_cast<std::ptrdiff_t>(r) * view_.row_stride, view_.cols};
    }
    std::size_t rows() const { return view_.rows; }
    std::size_t cols() const { return view_.cols; }

private:
    Matrix copy_;
    MatrixView view_;
};

}  // namespace canopy
