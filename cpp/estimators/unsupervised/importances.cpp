#include <numeric>

#include "engine/errors.hpp"
#include "engine/rng.hpp"
#include "engine/thread_pool.hpp"
#include "estimators/unsupervised/forest.hpp"

namespace canopy {

namespace {

// Share of tree t's out-of-bag rows (all real) that the tree calls real. With `perm`, the
// rows descend with column j taken from row perm[i] instead of row i.
double oob_accuracy(const RandomForestUnsupervised& m, std::size_t t,
                    const std::vector<RowIndex>* perm, std::size_t j) {
    const std::vector<RowIndex>& oob = m.oob_sets[t];
    if (oob.empty()) return 0.0;
    const Matrix& x = *m.x_train;
    Matrix rows(oob.size(), x.cols);
    for (std::size_t k = 0; k < oob.size(); ++k) {
        const auto row = x.row(oob[k]);
        std::copy(row.begin(), row.end(), rows.values.begin() + k * x.cols);
        if (perm != nullptr) rows(k, j) = x((*perm)[oob[k]], j);
    }
    std::vector<std::uint32_t> leaf(oob.size());
    m.forest.leaves(t, rows.view(), 0, rows.rows, leaf.data());
    const PackedTree& tree = m.forest.trees[t];
    std::size_t correct = 0;
    for (std::uint32_t id : leaf) correct += tree.values[id] > 0.5 ? 1 : 0;
    return static_cast<double>(correct) / static_cast<double>(oob.size());
}

// Per-tree accuracies on the pool, summed in tree order.
double summed_accuracy(const RandomForestUnsupervised& m, const std::vector<RowIndex>* perm,
                       std::size_t j) {
    const std::vector<double> acc = parallel_map<double>(
        m.forest.size(), [&](std::size_t t) { return oob_accuracy(m, t, perm, j); });
    return std::accumulate(acc.begin(), acc.end(), 0.0);
}

}  // namespace

std::vector<double> RandomForestUnsupervised::feature_importances() const {
    require_fitted();
    const Matrix& x = *x_train;
    const std::size_t n = x.rows;
    const std::size_t p = x.cols;
    const double n_trees = static_cast<double>(forest.size());

    const double baseline = summed_accuracy(*this, nullptr, 0);

    Pcg64 rng = seed_rng(config.random_state);
    std::vector<RowIndex> perm(n);
    std::vector<double> raw(p);
    for (std::size_t j = 0; j < p; ++j) {
        std::iota(perm.begin(), perm.end(), RowIndex{0});
        rng.shuffle(std::span<RowIndex>(perm));
        const double shuffled = summed_accuracy(*this, &perm, j);
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
