#include "estimators/state.hpp"

#include <algorithm>
#include <string>

#include "engine/forest_state.hpp"
#include "engine/state_io.hpp"
#include "engine/storage.hpp"
#include "engine/validation.hpp"

namespace canopy {

namespace {

// ---- Shared fields ----------------------------------------------------------------------------

void write_cap(StateWriter& w, WorkerCap n_jobs) { w.opt_i64(n_jobs); }

WorkerCap read_cap(StateReader& r) {
    r.context("the worker cap");
    const WorkerCap n_jobs = r.opt_i64();
    if (n_jobs && *n_jobs != -1 && *n_jobs <= 0) {
        r.fail("n_jobs " + std::to_string(*n_jobs) + " is not -1 or a positive count");
    }
    return n_jobs;
}

// A size that sets how much a later query allocates (features, rows): refused when that
// much could never be held, so a loaded model cannot make a query ask for unbounded memory.
std::size_t read_extent(StateReader& r, const std::string& what) {
    const std::uint64_t v = r.u64();
    if (bytes_mul(v, sizeof(double)) > memory_budget()) {
        r.fail(what + " " + std::to_string(v) + " is more than this machine could hold");
    }
    return static_cast<std::size_t>(v);
}

void write_matrix(StateWriter& w, const Matrix& m) {
    w.u64(m.rows);
    w.u64(m.cols);
    w.elements<double>(m.values);
}

Matrix read_matrix(StateReader& r, const std::string& what) {
    r.context(what);
    Matrix m;
    m.rows = read_extent(r, what + " rows");
    m.cols = read_extent(r, what + " columns");
    if (m.rows != 0 && m.cols > r.remaining() / sizeof(double) / m.rows) {
        r.fail("truncated: " + what + " of " + std::to_string(m.rows) + " x " +
               std::to_string(m.cols) + " values does not fit in the bytes left");
    }
    m.values = r.elements<double>(m.rows * m.cols);
    return m;
}

void write_classes(StateWriter& w, const std::optional<std::vector<std::uint64_t>>& classes) {
    w.boolean(classes.has_value());
    if (classes) w.u64s(*classes);
}

std::optional<std::vector<std::uint64_t>> read_classes(StateReader& r) {
    r.context("the classes");
    if (!r.boolean()) return std::nullopt;
    return r.u64s();
}

// Whether the configuration is followed by a fitted model.
bool read_fitted(StateReader& r) {
    r.context("the fitted flag");
    return r.boolean();
}

// ---- DecisionTree -----------------------------------------------------------------------------

void write_decision_tree(StateWriter& w, const DecisionTree& e) {
    const DecisionTreeConfig& c = e.config;
    w.opt_u64(c.max_depth);
    w.text(c.criterion);
    w.text(c.task);
    w.opt_u64(c.random_state);
    w.u64(c.min_samples_split);
    w.u64(c.min_samples_leaf);
    w.boolean(e.is_fitted);
    if (!e.is_fitted) return;
    write_classes(w, e.classes);
    write_forest(w, e.forest);
}

DecisionTree read_decision_tree(StateReader& r) {
    r.context("the DecisionTree configuration");
    DecisionTreeConfig c;
    c.max_depth = r.opt_u64();
    c.criterion = r.text();
    c.task = r.text();
    if (c.task != "classification" && c.task != "regression") {
        r.fail("task '" + c.task + "' is neither 'classification' nor 'regression'");
    }
    c.random_state = r.opt_u64();
    c.min_samples_split = r.u64();
    c.min_samples_leaf = r.u64();
    DecisionTree e(std::move(c));
    if (!read_fitted(r)) return e;
    e.classes = read_classes(r);
    if (e.classes.has_value() != e.is_classification()) {
        r.fail("the classes do not match the tree's task");
    }
    e.forest = read_forest(r, std::nullopt, e.n_classes(), "the tree");
    if (e.forest.size() != 1) r.fail("a DecisionTree holds one tree");
    e.is_fitted = true;
    return e;
}

// ---- Random forests ---------------------------------------------------------------------------

void write_forest_config(StateWriter& w, const ForestConfig& c) {
    w.u64(c.n_estimators);
    w.opt_u64(c.max_depth);
    w.opt_text(c.max_features);
    w.boolean(c.bootstrap);
    w.opt_u64(c.random_state);
    w.u64(c.min_samples_split);
    w.u64(c.min_samples_leaf);
}

ForestConfig read_forest_config(StateReader& r) {
    r.context("the forest configuration");
    ForestConfig c;
    c.n_estimators = r.u64();
    c.max_depth = r.opt_u64();
    c.max_features = r.opt_text();
    c.bootstrap = r.boolean();
    c.random_state = r.opt_u64();
    c.min_samples_split = r.u64();
    c.min_samples_leaf = r.u64();
    return c;
}

// ---- Boosting ---------------------------------------------------------------------------------

void write_boost_config(StateWriter& w, const BoostConfig& c) {
    w.u64(c.n_estimators);
    w.f64(c.learning_rate);
    w.u64(c.rf_n_estimators);
    w.opt_u64(c.rf_max_depth);
    w.opt_text(c.rf_max_features);
    w.boolean(c.bootstrap);
    w.opt_u64(c.random_state);
    w.u64(c.min_samples_split);
    w.u64(c.min_samples_leaf);
    w.boolean(c.use_histogram);
    w.boolean(c.async_mode);
    w.f64(c.tol);
}

BoostConfig read_boost_config(StateReader& r) {
    r.context("the boosting configuration");
    BoostConfig c;
    c.n_estimators = r.u64();
    c.learning_rate = r.f64();
    c.rf_n_estimators = r.u64();
    c.rf_max_depth = r.opt_u64();
    c.rf_max_features = r.opt_text();
    c.bootstrap = r.boolean();
    c.random_state = r.opt_u64();
    c.min_samples_split = r.u64();
    c.min_samples_leaf = r.u64();
    c.use_histogram = r.boolean();
    c.async_mode = r.boolean();
    c.tol = r.f64();
    return c;  // n_jobs, the pool request, stays unset
}

void write_rounds(StateWriter& w, const std::vector<Forest>& forests) {
    w.u64(forests.size());
    for (const Forest& f : forests) write_forest(w, f);
}

// Regression forests over n_features features.
std::vector<Forest> read_rounds(StateReader& r, std::size_t n_features) {
    r.context("the boosting rounds");
    const std::size_t n = r.count(16);
    std::vector<Forest> forests;
    forests.reserve(n);
    for (std::size_t j = 0; j < n; ++j) {
        forests.push_back(read_forest(r, n_features, 0, "boosted forest " + std::to_string(j)));
    }
    return forests;
}

// ---- Forest parts -----------------------------------------------------------------------------

// The record of a part grown with a tree range (absent for a whole forest): the trees
// [begin, end) it holds and the fingerprint of its training data, which join compares.
void write_part(StateWriter& w, const std::optional<ForestPart>& part) {
    w.boolean(part.has_value());
    if (!part) return;
    w.u64(part->range.begin);
    w.u64(part->range.end);
    w.u64(part->data_fingerprint);
}

std::optional<ForestPart> read_part(StateReader& r, std::uint64_t n_estimators,
                                    std::size_t n_trees) {
    r.context("the part record");
    if (!r.boolean()) return std::nullopt;
    ForestPart part;
    part.range.begin = r.u64();
    part.range.end = r.u64();
    part.data_fingerprint = r.u64();
    if (part.range.begin > part.range.end || part.range.end > n_estimators) {
        r.fail("the part's trees are not inside its forest");
    }
    if (part.range.size() != n_trees) r.fail("the part holds another number of trees");
    return part;
}

// ---- Unsupervised forest ----------------------------------------------------------------------

void write_unsupervised_config(StateWriter& w, const UnsupervisedConfig& c) {
    w.u64(c.n_estimators);
    w.opt_u64(c.max_depth);
    w.opt_text(c.max_features);
    w.opt_u64(c.random_state);
    w.u64(c.min_samples_split);
    w.u64(c.min_samples_leaf);
    w.u64(c.n_neighbors);
}

UnsupervisedConfig read_unsupervised_config(StateReader& r) {
    r.context("the unsupervised forest configuration");
    UnsupervisedConfig c;
    c.n_estimators = r.u64();
    c.max_depth = r.opt_u64();
    c.max_features = r.opt_text();
    c.random_state = r.opt_u64();
    c.min_samples_split = r.u64();
    c.min_samples_leaf = r.u64();
    c.n_neighbors = r.u64();
    return c;
}

void write_oob_sets(StateWriter& w, const std::vector<std::vector<RowIndex>>& sets) {
    w.u64(sets.size());
    for (const auto& s : sets) w.u32s(s);
}

std::vector<std::vector<RowIndex>> read_oob_sets(StateReader& r, std::size_t n_rows) {
    r.context("the out-of-bag sets");
    std::vector<std::vector<RowIndex>> sets(r.count(8));
    for (auto& s : sets) {
        s = r.u32s();
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] >= n_rows || (i > 0 && s[i] <= s[i - 1])) {
                r.fail("an out-of-bag set is not a sorted list of training rows");
            }
        }
    }
    return sets;
}

void write_sparse_rows(StateWriter& w, const std::optional<std::vector<SparseProximityRow>>& rows) {
    w.boolean(rows.has_value());
    if (!rows) return;
    w.u64(rows->size());
    for (const SparseProximityRow& row : *rows) {
        w.u64(row.size());
        for (const auto& pair : row) w.u64(pair.first);
        for (const auto& pair : row) w.f64(pair.second);
    }
}

std::optional<std::vector<SparseProximityRow>> read_sparse_rows(StateReader& r,
                                                                std::size_t n_rows) {
    r.context("the kept neighbour lists");
    if (!r.boolean()) return std::nullopt;
    std::vector<SparseProximityRow> rows(r.count(8));
    if (rows.size() != n_rows) r.fail("the neighbour lists are not one per training row");
    for (SparseProximityRow& row : rows) {
        const std::size_t m = r.count(16);
        const std::vector<std::uint64_t> index = r.elements<std::uint64_t>(m);
        const std::vector<double> value = r.elements<double>(m);
        row.resize(m);
        for (std::size_t i = 0; i < m; ++i) {
            if (index[i] >= n_rows) r.fail("a neighbour is not a training row");
            row[i] = {static_cast<std::size_t>(index[i]), value[i]};
        }
    }
    return rows;
}

template <class Read>
auto load_with(std::span<const std::uint8_t> bytes, StateKind kind, Read read) {
    StateReader r(bytes, kind);
    const WorkerCap n_jobs = read_cap(r);
    auto estimator = read(r);
    r.finish();
    return Restored<decltype(estimator)>{std::move(estimator), n_jobs};
}

}  // namespace

// ---- Saving -----------------------------------------------------------------------------------

StateBytes save_state(const DecisionTree& e, WorkerCap n_jobs) {
    StateWriter w(StateKind::DecisionTree);
    write_cap(w, n_jobs);
    write_decision_tree(w, e);
    return std::move(w).finish();
}

StateBytes save_state(const RandomForestRegressor& e, WorkerCap n_jobs) {
    StateWriter w(StateKind::RandomForestRegressor);
    write_cap(w, n_jobs);
    write_forest_config(w, e.config);
    w.boolean(e.is_fitted);
    if (!e.is_fitted) return std::move(w).finish();
    write_forest(w, e.forest);
    write_part(w, e.part);
    return std::move(w).finish();
}

StateBytes save_state(const RandomForestClassifier& e, WorkerCap n_jobs) {
    StateWriter w(StateKind::RandomForestClassifier);
    write_cap(w, n_jobs);
    write_forest_config(w, e.config);
    w.boolean(e.is_fitted);
    if (!e.is_fitted) return std::move(w).finish();
    write_classes(w, e.classes);
    write_forest(w, e.forest);
    write_part(w, e.part);
    return std::move(w).finish();
}

StateBytes save_state(const CanopyRegressor& e, WorkerCap n_jobs) {
    StateWriter w(StateKind::CanopyRegressor);
    write_cap(w, n_jobs);
    write_boost_config(w, e.config);
    w.f64(e.conformal_fraction);
    w.boolean(e.is_fitted);
    if (!e.is_fitted) return std::move(w).finish();
    w.u64(e.n_features);
    w.f64(e.init_prediction);
    w.f64(e.conformal_quantile);
    w.u64s(e.trees_used);
    write_rounds(w, e.forests);
    return std::move(w).finish();
}

StateBytes save_state(const CanopyClassifier& e, WorkerCap n_jobs) {
    StateWriter w(StateKind::CanopyClassifier);
    write_cap(w, n_jobs);
    write_boost_config(w, e.config);
    w.boolean(e.is_fitted);
    if (!e.is_fitted) return std::move(w).finish();
    w.u64(e.n_features);
    w.u64(e.n_classes);
    w.f64s(e.init_scores);
    w.u64s(e.trees_used);
    write_rounds(w, e.forests);
    return std::move(w).finish();
}

StateBytes save_state(const RandomForestUnsupervised& e, WorkerCap n_jobs) {
    StateWriter w(StateKind::RandomForestUnsupervised);
    write_cap(w, n_jobs);
    write_unsupervised_config(w, e.config);
    w.boolean(e.is_fitted);
    if (!e.is_fitted) return std::move(w).finish();
    if (!e.x_train || e.x_train->rows != e.n_samples) {
        fail_internal("a fitted unsupervised forest keeps its training rows");
    }
    write_matrix(w, *e.x_train);
    write_oob_sets(w, e.oob_sets);
    write_forest(w, e.forest);
    write_sparse_rows(w, e.sparse_proximity);
    write_part(w, e.part);
    return std::move(w).finish();
}

StateBytes save_state(const TreeShap& e, WorkerCap n_jobs) {
    StateWriter w(StateKind::TreeShap);
    write_cap(w, n_jobs);
    write_decision_tree(w, e.tree);
    w.text(e.model_type);
    write_matrix(w, e.x_train);
    return std::move(w).finish();
}

// ---- Loading ----------------------------------------------------------------------------------

template <>
Restored<DecisionTree> load_state(std::span<const std::uint8_t> bytes) {
    return load_with(bytes, StateKind::DecisionTree, read_decision_tree);
}

template <>
Restored<RandomForestRegressor> load_state(std::span<const std::uint8_t> bytes) {
    return load_with(bytes, StateKind::RandomForestRegressor, [](StateReader& r) {
        RandomForestRegressor e(read_forest_config(r));
        if (!read_fitted(r)) return e;
        e.forest = read_forest(r, std::nullopt, 0, "the forest");
        e.part = read_part(r, e.config.n_estimators, e.forest.size());
        e.is_fitted = true;
        return e;
    });
}

template <>
Restored<RandomForestClassifier> load_state(std::span<const std::uint8_t> bytes) {
    return load_with(bytes, StateKind::RandomForestClassifier, [](StateReader& r) {
        RandomForestClassifier e(read_forest_config(r));
        if (!read_fitted(r)) return e;
        e.classes = read_classes(r);
        if (!e.classes || validate_classes(*e.classes)) {
            r.fail("the classes are not 0, 1, ..., k-1");
        }
        e.n_classes = e.classes->size();
        e.forest = read_forest(r, std::nullopt, e.n_classes, "the forest");
        e.part = read_part(r, e.config.n_estimators, e.forest.size());
        e.is_fitted = true;
        return e;
    });
}

template <>
Restored<CanopyRegressor> load_state(std::span<const std::uint8_t> bytes) {
    return load_with(bytes, StateKind::CanopyRegressor, [](StateReader& r) {
        BoostConfig config = read_boost_config(r);
        const double fraction = r.f64();
        CanopyRegressor e(std::move(config), fraction);
        if (!read_fitted(r)) return e;
        r.context("the boosted model");
        e.n_features = read_extent(r, "n_features");
        e.init_prediction = r.f64();
        e.conformal_quantile = r.f64();
        e.trees_used = r.u64s();
        e.forests = read_rounds(r, e.n_features);
        e.is_fitted = true;
        return e;
    });
}

template <>
Restored<CanopyClassifier> load_state(std::span<const std::uint8_t> bytes) {
    return load_with(bytes, StateKind::CanopyClassifier, [](StateReader& r) {
        CanopyClassifier e(read_boost_config(r));
        if (!read_fitted(r)) return e;
        r.context("the boosted model");
        e.n_features = read_extent(r, "n_features");
        e.n_classes = r.u64();
        e.init_scores = r.f64s();
        if (e.n_classes == 0 || e.init_scores.size() != (e.n_classes == 2 ? 1 : e.n_classes)) {
            r.fail("the start scores are not one per output of " + std::to_string(e.n_classes) +
                   " classes");
        }
        e.trees_used = r.u64s();
        e.forests = read_rounds(r, e.n_features);
        e.is_fitted = true;
        return e;
    });
}

template <>
Restored<RandomForestUnsupervised> load_state(std::span<const std::uint8_t> bytes) {
    return load_with(bytes, StateKind::RandomForestUnsupervised, [](StateReader& r) {
        RandomForestUnsupervised e(read_unsupervised_config(r));
        if (!read_fitted(r)) return e;
        Matrix x = read_matrix(r, "the training rows");
        if (x.rows > kMaxRows / 2) r.fail("more training rows than a fit accepts");
        e.n_samples = x.rows;
        e.oob_sets = read_oob_sets(r, x.rows);
        e.forest = read_forest(r, x.cols, 0, "the forest");
        if (e.forest.size() != e.oob_sets.size()) {
            r.fail("the out-of-bag sets are not one per tree");
        }
        e.sparse_proximity = read_sparse_rows(r, x.rows);
        e.part = read_part(r, e.config.n_estimators, e.forest.size());
        e.x_train = std::move(x);
        e.is_fitted = true;
        return e;
    });
}

template <>
Restored<TreeShap> load_state(std::span<const std::uint8_t> bytes) {
    return load_with(bytes, StateKind::TreeShap, [](StateReader& r) {
        const DecisionTree tree = read_decision_tree(r);
        r.context("the explainer");
        if (!tree.is_fitted) r.fail("the explained tree is not fitted");
        std::string model_type = r.text();
        const Matrix x = read_matrix(r, "the background rows");
        const PackedTree& t = *tree.tree();
        // The explanation table holds an output per class at every node.
        const std::size_t outputs = model_type == "classification" ? tree.n_classes() : 1;
        if (bytes_mul(bytes_mul(t.size(), std::max<std::size_t>(outputs, 2)), sizeof(double)) >
            memory_budget()) {
            r.fail("the explanation table would be more than this machine could hold");
        }
        if (x.rows != 0 && t.min_row_length > x.cols) {
            r.fail("the tree splits on a feature the background rows do not have");
        }
        return TreeShap(tree, x.view(), std::move(model_type));
    });
}

}  // namespace canopy
