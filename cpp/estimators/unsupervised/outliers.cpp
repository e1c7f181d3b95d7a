#include "estimators/unsupervised/outliers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

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

std::vector<double> raw_scores(double n, std::span<const double> sums,
                               double (*score)(double, double)) {
    std::vector<double> raw(sums.size());
    for (std::size_t i = 0; i < sums.size(); ++i) raw[i] = score(n, sums[i]);
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
    if (use_sparse && sparse_proximity) return standardise_outlier_scores(sparse_raw_scores(*this));
    // n / sum_j prox(i, j)^2 over the out-of-bag proximities, the diagonal included, from the
    // pairs that share a leaf: the n x n matrix is never formed.
    const std::shared_ptr<const SquareSums> sums = training_square_sums.get_or_make([&] {
        return proximity_square_sums(
            oob_sets, group_rows_by_leaf_oob_first(forest, oob_sets, *x_train), n_samples);
    });
    return standardise_outlier_scores(
        raw_scores(static_cast<double>(n_samples), sums->with_self, raw_score));
}

namespace {

// The training rows' groups serve every later call; the square sums only this reference.
NewRowReference make_new_row_reference(const RandomForestUnsupervised& m) {
    NewRowReference out;
    OobFirstGroups grouped = group_rows_by_leaf_oob_first(m.forest, m.oob_sets, *m.x_train);
    const std::shared_ptr<const SquareSums> sums = m.training_square_sums.get_or_make(
        [&] { return proximity_square_sums(m.oob_sets, grouped, m.n_samples); });
    out.reference = outlier_reference(
        raw_scores(static_cast<double>(m.n_samples), sums->without_self, unmatched_raw_score));
    out.training_groups = std::move(grouped.groups);
    return out;
}

}  // namespace

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
    const std::shared_ptr<const NewRowReference> cached =
        new_row_reference.get_or_make([&] { return make_new_row_reference(*this); });
    const std::vector<double> sums =
        new_row_square_sums(forest, cached->training_groups, n_samples, x_new);
    std::vector<double> out(sums.size());
    for (std::size_t r = 0; r < sums.size(); ++r) {
        out[r] = standardised_score(unmatched_raw_score(static_cast<double>(n_samples), sums[r]),
                                    cached->reference);
    }
    return out;
}

}  // namespace canopy
