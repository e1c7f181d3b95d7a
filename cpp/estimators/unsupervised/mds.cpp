#include "estimators/unsupervised/mds.hpp"

#include <algorithm>
#include <cmath>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/row_blocks.hpp"
#include "engine/storage.hpp"
#include "estimators/unsupervised/forest.hpp"
#include "estimators/unsupervised/proximity.hpp"

namespace canopy {

namespace {

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

// w = B u with B = 1/2 (P - r 1' - 1 r' + g 1 1') never formed. Each w(i) is one sequential
// sum, so spreading the rows over workers leaves every value unchanged.
class CentredProduct {
  public:
    explicit CentredProduct(const Matrix& p) : p_(p), n_(p.rows), r_(n_) {
        for (std::size_t i = 0; i < n_; ++i) {
            poll_interrupt();
            double s = 0.0;
            for (double v : p_.row(i)) s += v;
            r_[i] = s / static_cast<double>(n_);
        }
        double s = 0.0;
        for (double v : r_) s += v;
        g_ = s / static_cast<double>(n_);
    }

    void apply(const std::vector<double>& u, std::vector<double>& w) const {
        double sum_u = 0.0;
        for (double v : u) sum_u += v;
        const double r_dot_u = dot(r_, u);
        for_row_blocks(n_, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                poll_interrupt();
                const double* row = p_.values.data() + i * n_;
                double pu = 0.0;
                for (std::size_t j = 0; j < n_; ++j) pu += row[j] * u[j];
                w[i] = 0.5 * (pu - (r_[i] - g_) * sum_u - r_dot_u);
            }
        });
    }

  private:
    const Matrix& p_;
    std::size_t n_;
    std::vector<double> r_;
    double g_ = 0.0;
};

}  // namespace

Embedding mds_embedding(const Matrix& proximity, std::size_t n_components) {
    if (proximity.rows != proximity.cols) fail_internal("proximity matrix must be square");
    const std::size_t n = proximity.rows;
    Embedding out;
    out.coordinates = Matrix(n, n_components);
    out.eigenvalues.assign(n_components, 0.0);
    out.found.assign(n_components, false);
    if (n == 0) return out;
    const CentredProduct b(proximity);
    std::vector<std::vector<double>> vectors;  // unit eigenvectors of the found components
    std::vector<double> values;
    std::vector<double> v(n), u(n), w(n);
    for (std::size_t c = 0; c < std::min(n_components, n); ++c) {
        for (std::size_t i = 0; i < n; ++i) v[i] = i % 2 == 0 ? 1.0 : -1.0;
        for (std::size_t products = 0;;) {
            const double norm = std::sqrt(dot(v, v));
            if (norm < kMdsNormFloor) break;
            for (std::size_t i = 0; i < n; ++i) u[i] = v[i] / norm;
            ++products;
            b.apply(u, w);
            for (std::size_t k = 0; k < vectors.size(); ++k) {
                const double coef = values[k] * dot(vectors[k], u);
                for (std::size_t i = 0; i < n; ++i) w[i] -= coef * vectors[k][i];
            }
            const double lambda = dot(u, w);
            double residual = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double d = w[i] - lambda * u[i];
                residual += d * d;
            }
            if (residual < std::abs(lambda) * kMdsTolerance) {
                out.eigenvalues[c] = lambda;
                out.found[c] = true;
                const double scale = std::sqrt(std::abs(lambda));
                for (std::size_t i = 0; i < n; ++i) out.coordinates(i, c) = scale * u[i];
                vectors.push_back(u);
                values.push_back(lambda);
                break;
            }
            if (products >= kMdsMaxProducts) break;
            v.swap(w);
        }
    }
    return out;
}

void require_embedding_storage(std::size_t n_rows, std::size_t n_components) {
    require_storage("n_components=" + std::to_string(n_components) + " components of " +
                        std::to_string(n_rows) + " rows",
                    bytes_mul(n_components, bytes_add(bytes_mul(n_rows, 2 * sizeof(double)),
                                                      sizeof(double) + sizeof(bool))));
}

Matrix RandomForestUnsupervised::transform(std::size_t n_components) const {
    require_fitted();
    require_embedding_storage(n_samples, n_components);
    const Matrix p = dense_proximity(forest, oob_sets, *x_train, true);
    return mds_embedding(p, n_components).coordinates;
}

Matrix RandomForestUnsupervised::fit_transform(const MatrixView& x, std::size_t n_components) {
    require_embedding_storage(x.rows, n_components);  // before any work starts
    // Fitted aside: a failure or an interrupt while embedding keeps the previous model.
    RandomForestUnsupervised next(config);
    next.fit(x);
    Matrix embedding = next.transform(n_components);
    *this = std::move(next);
    return embedding;
}

}  // namespace canopy
