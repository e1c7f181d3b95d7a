#include "estimators/boosting/inner_forest.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <optional>

#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {

namespace {

constexpr std::size_t kRowChunk = 512;

std::span<const double> row_of(const MatrixView& x, std::size_t r) {
    return {x.data + static_cast<std::ptrdiff_t>(r) * x.row_stride, x.cols};
}

double leaf_value(const Tree& tree, std::span<const double> row) {
    return tree.node(find_leaf(tree, row)).value;
}

// Every task gets its position, whatever the plan filled in.
std::vector<TreeTask> draw_tasks(Pcg64& rng, std::size_t n_trees, std::size_t n_rows,
                                 bool bootstrap) {
    std::vector<TreeTask> tasks = draw_tree_tasks(rng, n_trees, n_rows, bootstrap);
    for (std::size_t t = 0; t < tasks.size(); ++t) tasks[t].tree_index = t;
    return tasks;
}

// The row-major matrix the trees read: x itself when its rows are already packed one after
// another, else a copy.
struct PackedRows {
    Matrix copy;
    MatrixView view;
    explicit PackedRows(const MatrixView& x) {
        if (x.col_stride == 1 && (x.row_stride == static_cast<std::ptrdiff_t>(x.cols) || x.rows <= 1)) {
            view = x;
            view.row_stride = static_cast<std::ptrdiff_t>(x.cols);
        } else {
            copy = to_row_major(x);
            view = copy.view();
        }
    }
};

Tree grow_one(const MatrixView& x, std::span<const double> y, std::span<const double> w,
              const TreeTask& task, const TreeParams& params, const HistogramData* hist) {
    Pcg64 tree_rng = Pcg64::seed_from_u64(task.seed);
    if (hist != nullptr) {
        return build_tree_on_bootstrap(x, y, w, task.sample_indices, params, tree_rng, *hist);
    }
    return build_tree_on_bootstrap_exact(x, y, w, task.sample_indices, params, tree_rng);
}

void check_lengths(const MatrixView& x, std::span<const double> y, std::span<const double> w) {
    if (y.size() < x.rows || w.size() < x.rows) {
        fail_internal("inner forest needs one target and one weight per row");
    }
}

// Adds one tree's leaf values for rows [begin, end) to acc.
void add_tree_leaf_values(const Tree& tree, const PackedTree* packed, const MatrixView& x,
                          std::size_t begin, std::size_t end, double* acc) {
    if (packed == nullptr) {
        for (std::size_t i = begin; i < end; ++i) acc[i - begin] += leaf_value(tree, row_of(x, i));
        return;
    }
    constexpr std::size_t kBatch = 256;
    std::uint32_t leaf[kBatch];
    for (std::size_t b = begin; b < end; b += kBatch) {
        const std::size_t e = std::min(end, b + kBatch);
        packed->find_leaves(x, b, e, leaf);
        for (std::size_t i = b; i < e; ++i) acc[i - begin] += packed->values[leaf[i - b]];
    }
}

}  // namespace

std::optional<PackedTree> pack_tree(const Tree& tree) {
    if (!is_preorder(tree)) return std::nullopt;
    return PackedTree::pack(tree);
}

void pack_forest(InternalRF& forest) {
    std::vector<PackedTree> packed;
    packed.reserve(forest.trees.size());
    for (const Tree& tree : forest.trees) {
        std::optional<PackedTree> p = pack_tree(tree);
        if (!p || tree.empty()) {
            forest.packed.clear();
            return;
        }
        packed.push_back(std::move(*p));
    }
    forest.packed = std::move(packed);
}

void add_forest_leaf_values(const InternalRF& forest, const MatrixView& x, std::size_t begin,
                            std::size_t end, double* acc) {
    const bool use_packed = forest.packed.size() == forest.trees.size();
    for (std::size_t t = 0; t < forest.trees.size(); ++t) {
        add_tree_leaf_values(forest.trees[t], use_packed ? &forest.packed[t] : nullptr, x, begin,
                             end, acc);
    }
}

double forest_predict(const InternalRF& forest, std::span<const double> row) {
    if (forest.trees.empty()) return 0.0;
    double sum = 0.0;
    for (const Tree& tree : forest.trees) sum += leaf_value(tree, row);
    return sum / static_cast<double>(forest.trees.size());
}

std::vector<double> forest_predict_rows(const InternalRF& forest, const MatrixView& x) {
    if (!x.rows_contiguous()) fail_internal("forest_predict_rows needs contiguous rows");
    std::vector<double> out(x.rows, 0.0);
    if (forest.trees.empty()) return out;
    const std::size_t n_chunks = (x.rows + kRowChunk - 1) / kRowChunk;
    const double count = static_cast<double>(forest.trees.size());
    parallel_for(n_chunks, [&](std::size_t c) {
        const std::size_t begin = c * kRowChunk;
        const std::size_t end = std::min(x.rows, begin + kRowChunk);
        // Tree by tree over the chunk keeps one tree hot in cache; each row still adds its
        // trees in order.
        add_forest_leaf_values(forest, x, begin, end, out.data() + begin);
        for (std::size_t i = begin; i < end; ++i) out[i] /= count;
    });
    return out;
}

InternalRF fit_internal_rf(const MatrixView& x, std::span<const double> y,
                           std::span<const double> sample_weight, std::size_t n_trees,
                           const TreeParams& params, bool bootstrap, Pcg64& rng,
                           bool use_histogram) {
    PackedRows rows(x);
    std::optional<HistogramData> hist;
    if (use_histogram) hist = HistogramData::build(rows.view, rows.view.rows, rows.view.cols);
    return fit_internal_rf_binned(rows.view, y, sample_weight, n_trees, params, bootstrap, rng,
                                  hist ? &*hist : nullptr);
}

InternalRF fit_internal_rf_binned(const MatrixView& x, std::span<const double> y,
                                  std::span<const double> sample_weight, std::size_t n_trees,
                                  const TreeParams& params, bool bootstrap, Pcg64& rng,
                                  const HistogramData* hist) {
    check_lengths(x, y, sample_weight);
    PackedRows rows(x);
    const std::vector<TreeTask> tasks = draw_tasks(rng, n_trees, x.rows, bootstrap);
    InternalRF forest;
    forest.trees = grow_trees(rows.view, y.first(x.rows), sample_weight.first(x.rows), tasks,
                              params, hist);
    pack_forest(forest);
    return forest;
}

bool streaming_should_stop(std::span<const double> latest, std::span<const double> mean,
                           std::span<const double> m2, std::size_t k, bool classification,
                           double tol) {
    const std::size_t n = mean.size();
    const double kf = static_cast<double>(k);
    if (tol > 0.0) {
        double largest = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double previous = (kf * mean[i] - latest[i]) / (kf - 1.0);
            const double change = std::fabs(latest[i] - previous) / kf;
            if (change > largest) largest = change;  // NaN never wins
        }
        return largest < tol;
    }
    std::size_t settled = 0;
    if (!classification) {
        double hi = -INFINITY;
        double lo = INFINITY;
        for (double m : mean) {
            if (std::isnan(m)) continue;
            hi = std::max(hi, m);
            lo = std::min(lo, m);
        }
        double spread = hi - lo;
        if (!(spread >= 1e-10)) spread = 1e-10;
        const double half_target = 0.05 * spread;
        for (std::size_t i = 0; i < n; ++i) {
            if (1.96 * std::sqrt(m2[i] / (kf - 1.0) / kf) < half_target) ++settled;
        }
    } else {
        const double z = 1.96;
        const double z2 = 3.8416;
        const double d = 1.0 + z2 / kf;
        for (std::size_t i = 0; i < n; ++i) {
            double q = 1.0 / (1.0 + std::exp(-mean[i]));
            q = std::clamp(q, 1e-6, 0.999999);
            const double centre = (q + z2 / (2.0 * kf)) / d;
            const double half = z * std::sqrt(q * (1.0 - q) / kf + z2 / (4.0 * kf * kf)) / d;
            const double lower = std::max(centre - half, 0.0);
            const double upper = std::min(centre + half, 1.0);
            if (upper < 0.5 || lower > 0.5) ++settled;
        }
    }
    // n = 0 gives 0/0, which never reaches the threshold.
    return static_cast<double>(settled) / static_cast<double>(n) >= 0.9;
}

StreamedForest fit_internal_rf_streaming(const MatrixView& x, std::span<const double> y,
                                         std::span<const double> sample_weight,
                                         std::size_t n_trees, const TreeParams& params,
                                         bool bootstrap, Pcg64& rng, bool use_histogram,
                                         std::size_t min_trees, bool classification, double tol) {
    PackedRows rows(x);
    std::optional<HistogramData> hist;
    if (use_histogram) hist = HistogramData::build(rows.view, rows.view.rows, rows.view.cols);
    return fit_internal_rf_streaming_binned(rows.view, y, sample_weight, n_trees, params,
                                            bootstrap, rng, hist ? &*hist : nullptr, min_trees,
                                            classification, tol);
}

namespace {

struct StreamedTree {
    std::size_t tree_index;
    Tree tree;
    std::vector<double> train_predictions;
};

// Shared by the jobs of one streaming fit. Lock order: mean_mutex, then m2_mutex; both are
// released before list_mutex is taken.
struct StreamState {
    explicit StreamState(std::size_t n_rows, std::size_t n_trees)
        : running_mean(n_rows, 0.0), running_m2(n_rows, 0.0) {
        accepted.reserve(n_trees);
    }
    std::atomic<bool> stop_flag{false};
    std::mutex mean_mutex;  // guards running_mean and completed
    std::size_t completed = 0;
    std::vector<double> running_mean;
    std::mutex m2_mutex;
    std::vector<double> running_m2;
    std::mutex list_mutex;
    std::vector<StreamedTree> accepted;
};

}  // namespace

StreamedForest fit_internal_rf_streaming_binned(const MatrixView& x, std::span<const double> y,
                                                std::span<const double> sample_weight,
                                                std::size_t n_trees, const TreeParams& params,
                                                bool bootstrap, Pcg64& rng,
                                                const HistogramData* hist, std::size_t min_trees,
                                                bool classification, double tol) {
    check_lengths(x, y, sample_weight);
    PackedRows rows(x);
    const MatrixView& xv = rows.view;
    const std::size_t n = xv.rows;
    const std::vector<TreeTask> tasks = draw_tasks(rng, n_trees, n, bootstrap);
    const auto yv = y.first(n);
    const auto wv = sample_weight.first(n);

    StreamState state(n, n_trees);
    auto job = [&](const TreeTask& task) {
        if (state.stop_flag.load(std::memory_order_acquire)) return;
        Tree tree = grow_one(xv, yv, wv, task, params, hist);
        if (state.stop_flag.load(std::memory_order_acquire)) return;
        std::vector<double> p(n, 0.0);
        const std::optional<PackedTree> packed = pack_tree(tree);
        add_tree_leaf_values(tree, packed ? &*packed : nullptr, xv, 0, n, p.data());
        {
            std::lock_guard mean_lock(state.mean_mutex);
            std::lock_guard m2_lock(state.m2_mutex);
            const std::size_t k = ++state.completed;
            const double kf = static_cast<double>(k);
            for (std::size_t i = 0; i < n; ++i) {
                const double d = p[i] - state.running_mean[i];
                state.running_mean[i] = state.running_mean[i] + d / kf;
                state.running_m2[i] = state.running_m2[i] + d * (p[i] - state.running_mean[i]);
            }
            if (k >= 2 && k >= min_trees &&
                streaming_should_stop(p, state.running_mean, state.running_m2, k, classification,
                                      tol)) {
                state.stop_flag.store(true, std::memory_order_release);
            }
        }  // m2_lock, then mean_lock, released in reverse order of taking
        std::lock_guard list_lock(state.list_mutex);
        state.accepted.push_back(StreamedTree{task.tree_index, std::move(tree), std::move(p)});
    };
    {
        Scope scope;
        for (const TreeTask& task : tasks) scope.spawn([&job, &task] { job(task); });
        scope.wait();
    }

    std::stable_sort(state.accepted.begin(), state.accepted.end(),
                     [](const StreamedTree& a, const StreamedTree& b) {
                         return a.tree_index < b.tree_index;
                     });
    StreamedForest out;
    out.train_predictions.assign(n, 0.0);
    out.forest.trees.reserve(state.accepted.size());
    for (StreamedTree& s : state.accepted) {
        for (std::size_t i = 0; i < n; ++i) out.train_predictions[i] += s.train_predictions[i];
        out.forest.trees.push_back(std::move(s.tree));
    }
    pack_forest(out.forest);
    if (!state.accepted.empty()) {
        const double count = static_cast<double>(state.accepted.size());
        for (double& v : out.train_predictions) v /= count;
    }
    return out;
}

}  // namespace canopy
