#include "estimators/boosting/export.hpp"

#include <cmath>
#include <limits>

#include "engine/errors.hpp"

namespace canopy {

std::int64_t flatten_tree(const Tree& tree, std::size_t node, ExportedTree& out) {
    struct Pending {
        std::size_t node;
        std::size_t parent;  // flat id of the parent, or npos for the subtree root
        bool is_left;
    };
    constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();
    const auto first = static_cast<std::int64_t>(out.size());
    std::vector<Pending> stack{{node, npos, false}};
    while (!stack.empty()) {
        const Pending p = stack.back();
        stack.pop_back();
        const TreeNode& n = tree.node(p.node);
        const std::size_t id = out.size();
        out.children_left.push_back(-1);
        out.children_right.push_back(-1);
        out.feature.push_back(-1);
        out.threshold.push_back(std::numeric_limits<double>::quiet_NaN());
        out.value.push_back(n.value);
        if (p.parent != npos) {
            auto& slot = p.is_left ? out.children_left : out.children_right;
            slot[p.parent] = static_cast<std::int64_t>(id);
        }
        if (!n.is_leaf() && n.right != kNoChild) {
            out.feature[id] = static_cast<std::int64_t>(n.feature);
            out.threshold[id] = n.threshold;
            // Right pushed first so the whole left subtree takes the ids before it.
            stack.push_back({n.right, id, false});
            stack.push_back({n.left, id, true});
        }
    }
    return first;
}

ExportedRounds build_rounds(const std::vector<InternalRF>& forests, std::size_t per_round) {
    ExportedRounds rounds;
    if (per_round == 0 || per_round > forests.size()) return rounds;
    const std::size_t n_rounds = std::max<std::size_t>(forests.size() / per_round, 1);
    rounds.resize(n_rounds);
    for (std::size_t r = 0; r < n_rounds; ++r) {
        rounds[r].resize(per_round);
        for (std::size_t k = 0; k < per_round; ++k) {
            const InternalRF& forest = forests[r * per_round + k];
            auto& trees = rounds[r][k];
            trees.resize(forest.trees.size());
            for (std::size_t t = 0; t < forest.trees.size(); ++t) {
                if (!forest.trees[t].empty()) flatten_tree(forest.trees[t], 0, trees[t]);
            }
        }
    }
    return rounds;
}

std::vector<double> compute_feature_importances(const std::vector<InternalRF>& forests,
                                                std::size_t n_features) {
    std::vector<double> imp(n_features, 0.0);
    double total = 0.0;
    // Nodes are stored in pre-order, so storage order is the visiting order.
    for (const InternalRF& forest : forests) {
        for (const Tree& tree : forest.trees) {
            for (const TreeNode& n : tree.nodes) {
                if (n.is_leaf()) continue;
                if (n.feature >= imp.size()) {
                    fail_internal("a split tests a feature beyond the data");
                }
                const auto count = static_cast<double>(n.n_samples);
                imp[n.feature] += count;
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
