#include "estimators/boosting/export.hpp"

#include <cmath>
#include <limits>

#include "engine/errors.hpp"

namespace canopy {

std::int64_t flatten_tree(const PackedTree& tree, ExportedTree& out) {
    const auto first = static_cast<std::int64_t>(out.size());
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const bool leaf = tree.is_leaf(i);
        const auto id = [&](std::size_t node) { return first + static_cast<std::int64_t>(node); };
        out.children_left.push_back(leaf ? -1 : id(i + 1));
        out.children_right.push_back(leaf ? -1 : id(tree.nodes[i].right));
        out.feature.push_back(leaf ? -1 : static_cast<std::int64_t>(tree.nodes[i].feature));
        out.threshold.push_back(leaf ? std::numeric_limits<double>::quiet_NaN()
                                     : tree.nodes[i].threshold);
        out.value.push_back(tree.values[i]);
    }
    return first;
}

ExportedRounds build_rounds(const std::vector<Forest>& forests, std::size_t per_round) {
    ExportedRounds rounds;
    if (per_round == 0 || per_round > forests.size()) return rounds;
    const std::size_t n_rounds = std::max<std::size_t>(forests.size() / per_round, 1);
    rounds.resize(n_rounds);
    for (std::size_t r = 0; r < n_rounds; ++r) {
        rounds[r].resize(per_round);
        for (std::size_t k = 0; k < per_round; ++k) {
            const Forest& forest = forests[r * per_round + k];
            auto& trees = rounds[r][k];
            trees.resize(forest.size());
            for (std::size_t t = 0; t < forest.size(); ++t) flatten_tree(forest.trees[t], trees[t]);
        }
    }
    return rounds;
}

std::vector<double> compute_feature_importances(const std::vector<Forest>& forests,
                                                std::size_t n_features) {
    std::vector<double> imp(n_features, 0.0);
    double total = 0.0;
    // Nodes are stored in pre-order, so storage order is the visiting order.
    for (const Forest& forest : forests) {
        for (const PackedTree& tree : forest.trees) {
            for (std::size_t i = 0; i < tree.size(); ++i) {
                if (tree.is_leaf(i)) continue;
                const std::size_t f = tree.nodes[i].feature;
                if (f >= imp.size()) fail_internal("a split tests a feature beyond the data");
                const auto count = static_cast<double>(tree.cover[i]);
                imp[f] += count;
                total += count;
            }
        }
    }
    if (total > 0.0) {
        for (double& v : imp) v /= total;
    }
    return imp;
}

}  // namespace canopy
