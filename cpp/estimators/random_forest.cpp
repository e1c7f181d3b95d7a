#include "estimators/random_forest.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/hist_split.hpp"
#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/row_blocks.hpp"
#include "engine/storage.hpp"
#include "engine/validation.hpp"

namespace canopy {

namespace {

// The pipeline both forests share once their inputs are validated: the growth parameters,
// the per-tree plan from the master generator, one binning of all rows, and the trees grown
// in parallel and packed on the worker that grew them.
Forest grow_bagged_forest(const ForestConfig& config, const MatrixView& x,
                          const SupervisedInput& in, bool classification, std::size_t n_classes,
                          TreeRange range) {
    const std::size_t n = x.rows;
    const std::size_t m = x.cols;
    require_storage(
        "n_estimators=" + std::to_string(range.size()) + " trees on " + std::to_string(n) + " rows",
        forest_fit_bytes(range.size(), n, packed_tree_bytes()));
    const TreeParams params =
        make_tree_params(config.max_depth, config.max_features, m, config.min_samples_split,
                         config.min_samples_leaf, classification);
    Pcg64 master = seed_rng(config.random_state);
    const std::vector<TreeTask> tasks = draw_tree_tasks(master, range, n, config.bootstrap);
    if (tasks.empty()) {
        // Nothing to grow (an empty part checks the inputs only): no binning either.
        Forest none;
        none.n_classes = classification ? n_classes : 0;
        return none;
    }
    const Matrix rows = to_row_major(x);
    HistogramData hist = HistogramData::build(rows.view(), n, m);
    add_row_records(hist, params);
    return grow_forest(rows.view(), in.y, in.weight, tasks, params, &hist,
                       classification ? n_classes : 0);
}

// The part record of a fit over `range`: what a join checks the other parts against.
std::optional<ForestPart> part_of(const std::optional<TreeRange>& range, const MatrixView& x,
                                  const VectorView& y, const SupervisedInput& in) {
    if (!range) return std::nullopt;
    Fingerprint f;
    f.add(x);
    f.add(y);
    f.add(std::span<const double>(in.weight));
    return ForestPart{*range, f.value()};
}

// Checks the parts, then moves their trees out, in order.
template <class Est>
Forest join_parts(std::vector<Est>& parts) {
    std::vector<const std::optional<ForestPart>*> records;
    std::vector<Forest*> forests;
    for (Est& p : parts) {
        records.push_back(&p.part);
        forests.push_back(&p.forest);
    }
    const std::uint64_t n_trees = parts.empty() ? 0 : parts[0].config.n_estimators;
    check_parts(records, n_trees,
                [&](std::size_t i) { return parts[i].config == parts[0].config; });
    return join_forests(std::move(forests));
}

}  // namespace

// ---- Regressor -------------------------------------------------------------------------------

void RandomForestRegressor::fit(const MatrixView& x, const VectorView& y,
                                const std::optional<VectorView>& weight,
                                const std::optional<TreeRange>& range) {
    const TreeRange trees = trees_to_grow(range, config.n_estimators, config.random_state);
    const SupervisedInput in = prepare_supervised(x, y, weight);
    std::optional<ForestPart> grown_part = part_of(range, x, y, in);
    Forest grown = grow_bagged_forest(config, x, in, false, 0, trees);
    forest = std::move(grown);
    part = grown_part;
    is_fitted = true;
}

RandomForestRegressor RandomForestRegressor::join(std::vector<RandomForestRegressor> parts) {
    Forest joined = join_parts(parts);
    RandomForestRegressor out(parts[0].config);
    out.forest = std::move(joined);
    out.is_fitted = true;
    return out;
}

std::vector<double> RandomForestRegressor::predict(const MatrixView& x) const {
    if (!is_fitted) fail_user("RandomForestRegressor has not been fitted");
    const RowMajor rows(x);
    std::vector<double> out(rows.rows());
    const double n_trees = static_cast<double>(forest.size());
    for_row_blocks(rows.rows(), [&](std::size_t begin, std::size_t end) {
        // Per-row sums in tree order, starting at -0.0, whatever the blocking.
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(begin),
                  out.begin() + static_cast<std::ptrdiff_t>(end), -0.0);
        forest.add_values(rows.view(), begin, end, out.data() + begin);
        for (std::size_t r = begin; r < end; ++r) out[r] /= n_trees;
    });
    return out;
}

// ---- Classifier ------------------------------------------------------------------------------

void RandomForestClassifier::fit(const MatrixView& x, const VectorView& y,
                                 const std::optional<VectorView>& weight,
                                 const std::optional<TreeRange>& range) {
    const TreeRange trees = trees_to_grow(range, config.n_estimators, config.random_state);
    const SupervisedInput in = prepare_supervised(x, y, weight);
    // Every entry of y names a class, also entries beyond the rows of x.
    std::vector<std::uint64_t> seen = sorted_classes(y.size, [&](std::size_t i) { return y[i]; });
    if (auto message = validate_classes(seen)) fail_user(*message);
    const std::size_t k = seen.size();
    std::optional<ForestPart> grown_part = part_of(range, x, y, in);
    Forest grown = grow_bagged_forest(config, x, in, true, k, trees);
    forest = std::move(grown);
    classes = std::move(seen);
    n_classes = k;
    part = grown_part;
    is_fitted = true;
}

RandomForestClassifier RandomForestClassifier::join(std::vector<RandomForestClassifier> parts) {
    // The fingerprint covers all of y, and with it the classes.
    Forest joined = join_parts(parts);
    RandomForestClassifier out(parts[0].config);
    out.forest = std::move(joined);
    out.classes = std::move(parts[0].classes);
    out.n_classes = parts[0].n_classes;
    out.is_fitted = true;
    return out;
}

std::vector<double> RandomForestClassifier::predict_proba_flat(const MatrixView& x) const {
    if (!is_fitted) fail_user("RandomForestClassifier has not been fitted");
    const RowMajor rows(x);
    const std::size_t k = n_classes;
    std::vector<double> out(checked_mul(rows.rows(), k), 0.0);
    if (k == 0) return out;  // no columns to fill (a fit on an empty y)
    const double n_trees = static_cast<double>(forest.size());
    for_row_blocks(rows.rows(), [&](std::size_t begin, std::size_t end) {
        forest.add_probabilities(rows.view(), begin, end, out.data() + begin * k);
        for (std::size_t i = begin * k; i < end * k; ++i) out[i] /= n_trees;
    });
    return out;
}

std::vector<std::vector<double>> RandomForestClassifier::predict_proba(const MatrixView& x) const {
    const std::vector<double> flat = predict_proba_flat(x);
    const std::size_t k = n_classes;
    const std::size_t n = k == 0 ? x.rows : flat.size() / k;
    std::vector<std::vector<double>> out(n);
    for (std::size_t r = 0; r < n; ++r) {
        out[r].assign(flat.begin() + static_cast<std::ptrdiff_t>(r * k),
                      flat.begin() + static_cast<std::ptrdiff_t>((r + 1) * k));
    }
    return out;
}

std::vector<double> RandomForestClassifier::predict(const MatrixView& x) const {
    const std::vector<double> flat = predict_proba_flat(x);
    const std::size_t k = n_classes;
    std::vector<double> out(x.rows, 0.0);
    for (std::size_t r = 0; r < x.rows; ++r) {
        const double* p = flat.data() + r * k;
        if (std::any_of(p, p + k, [](double v) { return std::isnan(v); })) {
            out[r] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        if (k < 2) continue;
        std::size_t best = 0;
        for (std::size_t c = 1; c < k; ++c) {
            if (p[c] >= p[best]) best = c;
        }
        out[r] = static_cast<double>(best);
    }
    return out;
}

double RandomForestClassifier::score(const MatrixView& x, const VectorView& y) const {
    const std::vector<double> predicted = predict(x);
    const std::vector<double> truth = to_vector(y);
    const std::size_t n = std::min(predicted.size(), truth.size());
    std::size_t correct = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isnan(predicted[i]) && class_index(predicted[i]) == class_index(truth[i])) {
            ++correct;
        }
    }
    return static_cast<double>(correct) / static_cast<double>(truth.size());
}

}  // namespace canopy
