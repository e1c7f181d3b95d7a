#include <cmath>
#include <iterator>
#include <string>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/forest_plan.hpp"
#include "engine/hist_split.hpp"
#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/storage.hpp"
#include "estimators/unsupervised/forest.hpp"

namespace canopy {

namespace {

// The stacked matrix holds 2n rows, each of which must be a RowIndex.
void check_row_count(std::size_t n) {
    if (n > kMaxRows / 2) {
        fail_user("X has " + std::to_string(n) + " rows; the unsupervised forest stacks them " +
                  "with as many synthetic rows and supports at most " +
                  std::to_string(kMaxRows / 2) + " rows");
    }
}

// Missing values have no place in the quantile bins; infinities sort normally and pass.
void reject_nan(const MatrixView& x) {
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t c = 0; c < x.cols; ++c) {
            if (std::isnan(x(r, c))) {
                fail_user("X contains NaN at row " + std::to_string(r) + ", column " +
                          std::to_string(c) + ". Impute or drop missing values before fitting.");
            }
        }
    }
}

// Rows 0..n-1 are the real rows, rows n..2n-1 the synthetic copy whose columns are each
// shuffled independently, column by column, with the master generator.
Matrix stack_with_synthetic(const Matrix& x, Pcg64& master) {
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    Matrix z(checked_mul(2, n), p);
    std::copy(x.values.begin(), x.values.end(), z.values.begin());
    std::vector<double> column(n);
    for (std::size_t j = 0; j < p; ++j) {
        poll_interrupt();
        for (std::size_t i = 0; i < n; ++i) column[i] = x(i, j);
        master.shuffle(std::span<double>(column));
        for (std::size_t i = 0; i < n; ++i) z(n + i, j) = column[i];
    }
    return z;
}

struct Job {
    std::vector<TreeTask> tasks;
    std::vector<std::vector<RowIndex>> oob_sets;
};

// Tree by tree: 2n bootstrap draws over the stacked rows, then the tree's seed. The real
// rows that were never drawn are the tree's out-of-bag set. Trees before the range are drawn
// and dropped, so every kept job is the same tree's job of the whole plan.
Job draw_jobs(Pcg64& master, TreeRange range, std::size_t n) {
    const std::size_t rows = 2 * n;
    for (std::uint64_t t = 0; t < range.begin; ++t) {
        poll_interrupt();
        master.skip_indices(rows, rows);
        master.next_u64();
    }
    Job job;
    job.tasks.reserve(static_cast<std::size_t>(range.size()));
    job.oob_sets.reserve(static_cast<std::size_t>(range.size()));
    std::vector<std::uint8_t> in_bag(n);
    for (std::uint64_t t = range.begin; t < range.end; ++t) {
        poll_interrupt();
        TreeTask task;
        task.tree_index = static_cast<std::size_t>(t);
        task.sample_indices.resize(rows);
        std::fill(in_bag.begin(), in_bag.end(), 0);
        master.fill_indices(rows, task.sample_indices.data(), rows);
        for (RowIndex idx : task.sample_indices) {
            if (idx < n) in_bag[idx] = 1;
        }
        task.seed = master.next_u64();
        std::vector<RowIndex> oob;
        for (std::size_t i = 0; i < n; ++i) {
            if (!in_bag[i]) oob.push_back(static_cast<RowIndex>(i));
        }
        job.tasks.push_back(std::move(task));
        job.oob_sets.push_back(std::move(oob));
    }
    return job;
}

}  // namespace

void RandomForestUnsupervised::fit(const MatrixView& x, const std::optional<TreeRange>& range) {
    const TreeRange trees = trees_to_grow(range, config.n_estimators, config.random_state);
    check_row_count(x.rows);
    reject_nan(x);
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    // Each tree keeps its out-of-bag set and at least its root.
    require_storage(
        "n_estimators=" + std::to_string(trees.size()) + " trees on " + std::to_string(2 * n) +
            " stacked rows",
        forest_fit_bytes(trees.size(), 2 * n,
                         sizeof(Tree) + sizeof(TreeNode) + sizeof(std::vector<RowIndex>)));

    Pcg64 master = seed_rng(config.random_state);
    Matrix real = to_row_major(x);
    const Matrix z = stack_with_synthetic(real, master);
    std::vector<double> labels(2 * n, 0.0);
    std::fill(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(n), 1.0);
    const TreeParams params =
        make_tree_params(config.max_depth, config.max_features, p, config.min_samples_split,
                         config.min_samples_leaf, true);
    Job job = draw_jobs(master, trees, n);
    HistogramData hist = HistogramData::build(z.view(), 2 * n, p);
    add_row_records(hist, params);
    const std::vector<double> weights(2 * n, 1.0);
    Forest grown = grow_forest(z.view(), labels, weights, job.tasks, params, &hist);
    std::optional<ForestPart> grown_part;
    if (range) {
        Fingerprint f;
        f.add(x);
        grown_part = ForestPart{*range, f.value()};
    }

    // Everything succeeded: replace the fitted state as a whole.
    forest = std::move(grown);
    oob_sets = std::move(job.oob_sets);
    x_train = std::move(real);
    n_samples = n;
    part = grown_part;
    is_fitted = true;
    sparse_proximity.reset();
    new_row_reference.clear();
    training_square_sums.clear();
}

RandomForestUnsupervised RandomForestUnsupervised::join(
    std::vector<RandomForestUnsupervised> parts) {
    std::vector<const std::optional<ForestPart>*> records;
    std::vector<Forest*> forests;
    for (RandomForestUnsupervised& p : parts) {
        records.push_back(&p.part);
        forests.push_back(&p.forest);
    }
    const std::uint64_t n_trees = parts.empty() ? 0 : parts[0].config.n_estimators;
    check_parts(records, n_trees,
                [&](std::size_t i) { return parts[i].config == parts[0].config; });
    RandomForestUnsupervised out(parts[0].config);
    out.forest = join_forests(std::move(forests));
    for (RandomForestUnsupervised& p : parts) {
        std::move(p.oob_sets.begin(), p.oob_sets.end(), std::back_inserter(out.oob_sets));
    }
    out.x_train = std::move(parts[0].x_train);
    out.n_samples = parts[0].n_samples;
    out.is_fitted = true;
    return out;
}

}  // namespace canopy
