#include "estimators/decision_tree.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/exact_split.hpp"
#include "engine/rng.hpp"
#include "engine/validation.hpp"

namespace canopy {

DecisionTree::DecisionTree(DecisionTreeConfig c) : config(std::move(c)) {
    if (config.task != "classification" && config.task != "regression") {
        fail_internal("task must be 'classification' or 'regression'");
    }
}

void DecisionTree::fit(const MatrixView& x, const VectorView& y,
                       const std::optional<VectorView>& sample_weight) {
    const SupervisedInput in = prepare_supervised(x, y, sample_weight);

    std::optional<std::vector<std::uint64_t>> new_classes;
    // Every entry of y names a class, including any beyond the rows of x.
    if (is_classification())
        new_classes = sorted_classes(y.size, [&](std::size_t i) { return y[i]; });

    std::vector<RowIndex> indices(x.rows);
    std::iota(indices.begin(), indices.end(), RowIndex{0});
    Pcg64 rng = seed_rng(config.random_state);
    TreeParams params;
    params.max_depth = config.max_depth;
    params.min_samples_split = config.min_samples_split;
    params.min_samples_leaf = config.min_samples_leaf;
    params.is_classification = is_classification();
    Forest grown;
    grown.n_classes = new_classes ? new_classes->size() : 0;
    grown.trees.push_back(PackedTree::pack(
        build_node_exact(x, in.y, in.weight, indices, params, rng), grown.n_classes));

    forest = std::move(grown);
    classes = std::move(new_classes);
    is_fitted = true;
}

std::vector<std::uint32_t> DecisionTree::leaves(const MatrixView& x) const {
    const RowMajor rows(x);
    std::vector<std::uint32_t> out(rows.rows());
    // In blocks, so that a long prediction can be interrupted between them.
    constexpr std::size_t kBlock = std::size_t{1} << 14;
    for (std::size_t begin = 0; begin < rows.rows(); begin += kBlock) {
        poll_interrupt();
        forest.leaves(0, rows.view(), begin, std::min(rows.rows(), begin + kBlock),
                      out.data() + begin);
    }
    return out;
}

const PackedTree& DecisionTree::fitted_tree() const {
    if (!is_fitted || forest.empty()) fail_user("DecisionTree has not been fitted");
    return forest.trees.front();
}

std::vector<double> DecisionTree::predict(const MatrixView& x) const {
    const PackedTree& tree = fitted_tree();
    const std::vector<std::uint32_t> leaf = leaves(x);
    std::vector<double> out(leaf.size());
    for (std::size_t r = 0; r < leaf.size(); ++r) out[r] = tree.values[leaf[r]];
    return out;
}

std::vector<std::vector<double>> DecisionTree::predict_proba(const MatrixView& x) const {
    const PackedTree& tree = fitted_tree();
    if (!is_classification()) fail_user("predict_proba only available for classification");
    const std::vector<std::uint64_t> empty;
    const std::vector<std::uint64_t>& cls = classes ? *classes : empty;
    const std::size_t k = cls.size();
    const std::vector<std::uint32_t> leaf = leaves(x);
    std::vector<std::vector<double>> out(leaf.size());
    std::vector<double> p(k);
    for (std::size_t r = 0; r < leaf.size(); ++r) {
        std::fill(p.begin(), p.end(), 0.0);
        tree.add_proba(leaf[r], p.data());
        std::vector<double>& row = out[r];
        row.resize(k);
        for (std::size_t j = 0; j < k; ++j) row[j] = cls[j] < k ? p[cls[j]] : 0.0;
    }
    return out;
}

}  // namespace canopy
