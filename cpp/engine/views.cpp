#include "engine/views.hpp"

#include "engine/errors.hpp"

namespace canopy {

Matrix::Matrix(std::size_t r, std::size_t c) : rows(r), cols(c), values(checked_mul(r, c)) {}

Matrix to_row_major(const MatrixView& x) {
    Matrix m(x.rows, x.cols);
    double* out = m.values.data();
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t c = 0; c < x.cols; ++c) *out++ = x(r, c);
    }
    return m;
}

std::vector<double> to_vector(const VectorView& v) {
    std::vector<double> out(v.size);
    for (std::size_t i = 0; i < v.size; ++i) out[i] = v[i];
    return out;
}

RowMajor::RowMajor(const MatrixView& x) {
    if (x.rows_contiguous()) {
        view_ = x;
        view_.col_stride = 1;
    } else {
        copy_ = to_row_major(x);
        view_ = copy_.view();
    }
}

}  // namespace canopy
