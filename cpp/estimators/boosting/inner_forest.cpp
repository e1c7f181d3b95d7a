#include "estimators/boosting/inner_forest.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <optional>

#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/hist_split.hpp"
#include "engine/row_blocks.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {

namespace {

void check_lengths(const MatrixView& x, std::span<const double> y, std::span<const double> w) {
    if (y.size() < x.rows || w.size() < x.rows) {
        fail_internal("inner forest needs one target and one weight per row");
    }
}

}  // namespace

double forest_predict(const Forest& forest, std::span<const double> row) {
    if (forest.empty()) return 0.0;
    const MatrixView one{row.data(), 1, row.size(), static_cast<std::ptrdiff_t>(row.size()), 1};
    double sum = 0.0;
    forest.add_values(one, 0, 1, &sum);
    return sum / static_cast<double>(forest.size());
}

std::vector<double> forest_predict_rows(const Forest& forest, const MatrixView& x) {
    if (!x.rows_contiguous()) fail_internal("forest_predict_rows needs contiguous rows");
    std::vector<double> out(x.rows, 0.0);
    if (forest.empty()) return out;
    const double count = static_cast<double>(forest.size());
    for_row_blocks(x.rows, [&](std::size_t begin, std::size_t end) {
        // Tree by tree over the block keeps one tree hot in cache; each row still adds its
        // trees in order.
        forest.add_values(x, begin, end, out.data() + begin);
        for (std::size_t i = begin; i < end; ++i) out[i] /= count;
    });
    return out;
}

Forest fit_internal_rf(const MatrixView& x, std::span<const double> y,
                       std::span<const double> sample_weight, std::size_t n_trees,
                       const TreeParams& params, bool bootstrap, Pcg64& rng, bool use_histogram) {
    const RowMajor rows(x);
    std::optional<HistogramData> hist;
    if (use_histogram) {
        hist = HistogramData::build(rows.view(), rows.rows(), rows.cols());
        add_row_records(*hist, params);
    }
    return fit_internal_rf_binned(rows.view(), y, sample_weight, n_trees, params, bootstrap, rng,
                                  hist ? &*hist : nullptr);
}

Forest fit_internal_rf_binned(const MatrixView& x, std::span<const double> y,
                              std::span<const double> sample_weight, std::size_t n_trees,
                              const TreeParams& params, bool bootstrap, Pcg64& rng,
                              const HistogramData* hist) {
    check_lengths(x, y, sample_weight);
    const RowMajor rows(x);
    const std::vector<TreeTask> tasks = draw_tree_tasks(rng, n_trees, x.rows, bootstrap);
    return grow_forest(rows.view(), y.first(x.rows), sample_weight.first(x.rows), tasks, params,
                       hist);
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
                                         std::span<const double> sample_weight, std::size_t n_trees,
                                         const TreeParams& params, bool bootstrap, Pcg64& rng,
                                         bool use_histogram, std::size_t min_trees,
                                         bool classification, double tol) {
    const RowMajor rows(x);
    std::optional<HistogramData> hist;
    if (use_histogram) {
        hist = HistogramData::build(rows.view(), rows.rows(), rows.cols());
        add_row_records(*hist, params);
    }
    return fit_internal_rf_streaming_binned(rows.view(), y, sample_weight, n_trees, params,
                                            bootstrap, rng, hist ? &*hist : nullptr, min_trees,
                                            classification, tol);
}

namespace {

struct StreamedTree {
    std::size_t tree_index;
    PackedTree tree;
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
    const RowMajor rows(x);
    const MatrixView& xv = rows.view();
    const std::size_t n = xv.rows;
    const std::vector<TreeTask> tasks = draw_tree_tasks(rng, n_trees, n, bootstrap);
    const auto yv = y.first(n);
    const auto wv = sample_weight.first(n);

    StreamState state(n, n_trees);
    ScratchPool pool;
    auto job = [&](const TreeTask& task) {
        if (state.stop_flag.load(std::memory_order_acquire)) return;
        Tree grown = grow_tree(xv, yv, wv, task, params, hist, &pool);
        if (state.stop_flag.load(std::memory_order_acquire)) return;
        Forest one;
        one.trees.push_back(PackedTree::pack(grown));
        pool.recycle(std::move(grown));
        std::vector<double> p(n, 0.0);
        one.add_values(xv, 0, n, p.data());
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
        state.accepted.push_back(
            StreamedTree{task.tree_index, std::move(one.trees.front()), std::move(p)});
    };
    {
        Scope scope;
        for (const TreeTask& task : tasks) scope.spawn([&job, &task] { job(task); });
        scope.wait();
    }

    std::stable_sort(
        state.accepted.begin(), state.accepted.end(),
        [](const StreamedTree& a, const StreamedTree& b) { return a.tree_index < b.tree_index; });
    StreamedForest out;
    out.train_predictions.assign(n, 0.0);
    out.forest.trees.reserve(state.accepted.size());
    for (StreamedTree& s : state.accepted) {
        for (std::size_t i = 0; i < n; ++i) out.train_predictions[i] += s.train_predictions[i];
        out.forest.trees.push_back(std::move(s.tree));
    }
    if (!state.accepted.empty()) {
        const double count = static_cast<double>(state.accepted.size());
        for (double& v : out.train_predictions) v /= count;
    }
    return out;
}

}  // namespace canopy
