#include <numeric>

#include "engine/errors.hpp"
#include "engine/rng.hpp"
#include "engine/thread_pool.hpp"
#include "estimators/unsupervised/forest.hpp"

namespace canopy {

namespace {

// Share of a tree's out-of-bag rows (all real) that the tree calls real. `row_of(i, buffer)`
// gives the version of training row i to descend with.
template <class RowOf>
double oob_accuracy(const Tree& tree, const std::vector<RowIndex>& oob, RowOf&& row_of) {
    if (oob.empty()) return 0.0;
    std::size_t correct = 0;
    for (RowIndex i : oob) {
        if (tree.node(find_leaf(tree, row_of(i))).value > 0.5) ++correct;
    }
    return static_cast<double>(correct) / static_cast<double>(oob.size());
}

// Per-tree accuracies on the pool, summed in tree order.
template <class RowOfFactory>
double summed_accuracy(const RandomForestUnsupervised& m, RowOfFactory&& make_row_of) {
    const std::vector<double> acc = parallel_map<double>(m.trees.size(), [&](std::size_t t) {
        return oob_accuracy(m.trees[t], m.oob_sets[t], make_row_of());
    });
    return std::accumulate(acc.begin(), acc.end(), 0.0);
}

}  // namespace

std::vector<double> RandomForestUnsupervised::feature_importances() const {
    require_fitted();
    const Matrix& x = *x_train;
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    const double n_trees = static_cast<double>(trees.size());

    const double baseline =
        summed_accuracy(*this, [&] { return [&](RowIndex i) { return x.row(i); }; });

    Pcg64 rng = seed_rng(config.random_state);
    std::vector<RowIndex> perm(n);
    std::vector<double> raw(p);
    for (std::size_t j = 0; j < p; ++j) {
        std::iota(perm.begin(), perm.end(), RowIndex{0});
        rng.shuffle(std::span<RowIndex>(perm));
        const double shuffled = summed_accuracy(*this, [&] {
            // Each task copies the row it descends with into its own buffer.
            return [&, buffer = std::vector<double>(p)](RowIndex i) mutable {
                const auto row = x.row(i);
                std::copy(row.begin(), row.end(), buffer.begin());
                buffer[j] = x(perm[i], j);
                return std::span<const double>(buffer);
            };
        });
        raw[j] = baseline / n_trees - shuffled / n_trees;
    }

    std::vector<double> clipped(p);
    double total = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        clipped[j] = raw[j] > 0.0 ? raw[j] : 0.0;  // NaN counts as 0
        total += clipped[j];
    }
    if (!(total > 0.0)) return raw;
    for (double& c : clipped) c /= total;
    return clipped;
}

}  // namespace canopy
