#include "estimators/decision_tree.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

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
    if (is_classification()) {
        // Every entry of y, including any beyond the rows of x.
        std::vector<std::uint64_t> labels(y.size);
        for (std::size_t i = 0; i < y.size; ++i) labels[i] = class_index(y[i]);
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
        new_classes = std::move(labels);
    }

    std::vector<RowIndex> indices(x.rows);
    std::iota(indices.begin(), indices.end(), RowIndex{0});
    Pcg64 rng = seed_rng(config.random_state);
    TreeParams params;
    params.max_depth = config.max_depth;
    params.min_samples_split = config.min_samples_split;
    params.min_samples_leaf = config.min_samples_leaf;
    params.is_classification = is_classification();
    Tree tree = build_node_exact(x, in.y, in.weight, indices, params, rng);
    FlatTree new_flat(tree);

    root = std::move(tree);
    flat = std::move(new_flat);
    classes = std::move(new_classes);
    is_fitted = true;
}

FlatTree::FlatTree(const Tree& tree) {
    nodes.resize(tree.nodes.size());
    values.resize(tree.nodes.size());
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
        const TreeNode& t = tree.nodes[i];
        values[i] = t.value;
        if (t.is_leaf()) {
            nodes[i] = {std::numeric_limits<double>::quiet_NaN(), 0, static_cast<std::uint32_t>(i)};
            continue;
        }
        if (t.left != i + 1 || t.feature >= std::numeric_limits<std::uint32_t>::max()) {
            fail_internal("tree is not stored in pre-order");
        }
        nodes[i] = {t.threshold, static_cast<std::uint32_t>(t.feature), t.right};
        min_row_length = std::max(min_row_length, t.feature + 1);
    }
}

std::vector<std::uint32_t> FlatTree::leaves(const Tree& tree, const MatrixView& x) const {
    const std::size_t n = x.rows;
    std::vector<std::uint32_t> out(n, 0);
    if (nodes.size() <= 1) return out;  // a single leaf: every row lands on the root
    const RowMajor rows(x);
    if (rows.cols() < min_row_length) {
        for (std::size_t r = 0; r < n; ++r) {
            out[r] = static_cast<std::uint32_t>(find_leaf(tree, rows.row(r)));
        }
        return out;
    }
    // Several rows descend together so that their node loads overlap in memory, and the
    // next node is chosen by a mask instead of a data-dependent branch.
    constexpr std::size_t kBlock = 8;
    const PredictNode* nd = nodes.data();
    for (std::size_t r0 = 0; r0 < n; r0 += kBlock) {
        const std::size_t count = std::min(kBlock, n - r0);
        std::uint32_t id[kBlock] = {};
        const double* row[kBlock];
        for (std::size_t j = 0; j < count; ++j) row[j] = rows.row(r0 + j).data();
        std::uint32_t changed = 1;
        while (changed != 0) {
            changed = 0;
            for (std::size_t j = 0; j < count; ++j) {
                const PredictNode& node = nd[id[j]];
                const std::uint32_t left = id[j] + 1;
                const std::uint32_t mask = 0u - static_cast<std::uint32_t>(row[j][node.feature] <= node.threshold);
                const std::uint32_t next = node.right ^ ((left ^ node.right) & mask);
                changed |= next ^ id[j];
                id[j] = next;
            }
        }
        for (std::size_t j = 0; j < count; ++j) out[r0 + j] = id[j];
    }
    return out;
}

const Tree& DecisionTree::fitted_tree() const {
    if (!is_fitted || !root) fail_user("DecisionTree has not been fitted");
    return *root;
}

std::vector<double> DecisionTree::predict(const MatrixView& x) const {
    const Tree& tree = fitted_tree();
    const std::vector<std::uint32_t> leaves = flat.leaves(tree, x);
    std::vector<double> out(leaves.size());
    for (std::size_t r = 0; r < leaves.size(); ++r) out[r] = flat.values[leaves[r]];
    return out;
}

std::vector<std::vector<double>> DecisionTree::predict_proba(const MatrixView& x) const {
    const Tree& tree = fitted_tree();
    if (!is_classification()) fail_user("predict_proba only available for classification");
    const std::vector<std::uint64_t> empty;
    const std::vector<std::uint64_t>& cls = classes ? *classes : empty;
    const std::size_t k = cls.size();
    const std::vector<std::uint32_t> leaves = flat.leaves(tree, x);
    std::vector<std::vector<double>> out(leaves.size());
    std::vector<double> p(k);
    for (std::size_t r = 0; r < leaves.size(); ++r) {
        std::fill(p.begin(), p.end(), 0.0);
        add_leaf_proba(tree, tree.node(leaves[r]), p);
        std::vector<double>& row = out[r];
        row.resize(k);
        for (std::size_t j = 0; j < k; ++j) row[j] = cls[j] < k ? p[cls[j]] : 0.0;
    }
    return out;
}

}  // namespace canopy
