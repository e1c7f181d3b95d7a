#include "estimators/unsupervised/outliers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/errors.hpp"
#include "estimators/unsupervised/forest.hpp"
#include "estimators/unsupervised/proximity.hpp"

namespace canopy {

OutlierReference outlier_reference(std::span<const double> raw) {
    if (raw.empty()) fail_internal("outlier reference of no scores");
    std::vector<double> sorted(raw.begin(), raw.end());
    std::sort(sorted.begin(), sorted.end());
    OutlierReference ref;
    ref.median = sorted[sorted.size() / 2];
    const double cap = kDeviationCapFactor * ref.median;
    double total = 0.0;
    for (double r : raw) total += std::min(std::abs(r - ref.median), cap);
    const double spread = total / static_cast<double>(raw.size());
    ref.spread = spread > 0.0 ? spread : 1.0;
    return ref;
}

double standardised_score(double raw, const OutlierReference& ref) {
    return std::min((raw - ref.median) / ref.spread, kOutlierScoreCap);
}

std::vector<double> standardise_outlier_scores(std::span<const double> raw) {
    const OutlierReference ref = outlier_reference(raw);
    std::vector<double> out(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) out[i] = standardised_score(raw[i], ref);
    return out;
}

namespace {

void require_training_rows(std::size_t n) {
    if (n == 0) {
        fail_user(
            "Outlier scores need at least one training row (the model was fitted on an "
            "empty matrix)");
    }
}

double raw_score(double n, double sum_sq) { return sum_sq > 0.0 ? n / sum_sq : 0.0; }

// A row that shares no leaf with any other row scores the largest finite value.
double unmatched_raw_score(double n, double sum_sq) {
    return sum_sq > 0.0 ? n / sum_sq : std::numeric_limits<double>::max();
}

// n / sum_j prox(i, j)^2 over the dense out-of-bag proximities, the diagonal included or
// left out. Rows are reduced as they are produced, so the n x n matrix is never held.
std::vector<double> dense_raw_scores(const RandomForestUnsupervised& m, bool include_self,
                                     double (*score)(double, double)) {
    const std::size_t n = m.n_samples;
    std::vector<double> raw(n, 0.0);
    for_each_proximity_row(m.forest, m.oob_sets, *m.x_train, true,
                           [&](std::size_t i, std::span<const double> row) {
                               double s = 0.0;
                               for (std::size_t j = 0; j < row.size(); ++j) {
                                   if (include_self || j != i) s += row[j] * row[j];
                               }
                               raw[i] = score(static_cast<double>(n), s);
                           });
    return raw;
}

std::vector<double> sparse_raw_scores(const RandomForestUnsupervised& m) {
    const double n = static_cast<double>(m.n_samples);
    std::vector<double> raw;
    raw.reserve(m.sparse_proximity->size());
    for (const SparseProximityRow& row : *m.sparse_proximity) {
        double s = 0.0;
        for (const auto& pair : row) s += pair.second * pair.second;
        raw.push_back(raw_score(n, s));
    }
    return raw;
}

}  // namespace

std::vector<double> RandomForestUnsupervised::outlier_scores(bool use_sparse) const {
    require_fitted();
    require_training_rows(n_samples);
    const std::vector<double> raw = use_sparse && sparse_proximity
                                        ? sparse_raw_scores(*this)
                                        : dense_raw_scores(*this, true, raw_score);
    return standardise_outlier_scores(raw);
}

// New rows are measured against training rows taken on the same footing: a new row's raw
// score n / sum_j P[r][j]^2 has no proximity to itself, so the reference is each training
// row's raw score against the *other* training rows (out-of-bag proximities, which see a
// training row the way a tree that never trained on it would), with the same robust
// statistics as outlier_scores. A row that shares no leaf with any other row gets the largest
// finite raw score, on both sides, and so the cap.
std::vector<double> RandomForestUnsupervised::predict_outlier_scores(
    const MatrixView& x_new) const {
    require_fitted();
    require_training_rows(n_samples);
    const Matrix p = new_row_proximity(forest, *x_train, x_new);
    const OutlierReference ref =
        outlier_reference(dense_raw_scores(*this, false, unmatched_raw_score));
    std::vector<double> out(p.rows);
    for (std::size_t r = 0; r < p.rows; ++r) {
        double s = 0.0;
        for (double v : p.row(r)) s += v * v;
        out[r] = standardised_score(unmatched_raw_score(static_cast<double>(n_samples), s), ref);
    }
    return out;
}

}  // namespace canopy
