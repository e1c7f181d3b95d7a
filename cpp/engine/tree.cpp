#include "engine/tree.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/errors.hpp"

namespace canopy {

std::uint32_t Tree::add_node() {
    if (nodes.size() >= kNoChild) fail_internal("tree has too many nodes");
    nodes.emplace_back();
    return static_cast<std::uint32_t>(nodes.size() - 1);
}

void Tree::set_split(std::uint32_t id, std::size_t feature, double threshold, std::uint32_t l,
                     std::uint32_t r) {
    TreeNode& n = nodes[id];
    n.feature = feature;
    n.threshold = threshold;
    n.left = l;
    n.right = r;
    n.value = 0.0;
    n.has_counts = false;
    n.counts_size = 0;
}

void Tree::set_leaf_counts(std::uint32_t id, std::span<const ClassCount> sorted) {
    if (counts.size() + sorted.size() > std::numeric_limits<std::uint32_t>::max()) {
        fail_internal("tree has too many class counts");
    }
    TreeNode& n = nodes[id];
    n.counts_begin = static_cast<std::uint32_t>(counts.size());
    n.counts_size = static_cast<std::uint32_t>(sorted.size());
    n.has_counts = true;
    counts.insert(counts.end(), sorted.begin(), sorted.end());
}

std::uint64_t class_index(double label) {
    if (!(label > 0.0)) return 0;  // negatives, zero and NaN
    if (label >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(label);
}

void sort_distinct(std::vector<std::uint64_t>& classes) {
    std::sort(classes.begin(), classes.end());
    classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
}

double majority_class(std::span<const ClassCount> sorted) {
    double best_weight = 0.0;
    std::uint64_t best = 0;
    bool first = true;
    for (const ClassCount& c : sorted) {
        if (first || c.weight > best_weight) {
            best = c.cls;
            best_weight = c.weight;
            first = false;
        }
    }
    return static_cast<double>(best);
}

void create_leaf(Tree& tree, std::uint32_t id, std::span<const double> y,
                 std::span<const double> sample_weight, std::span<const RowIndex> indices,
                 bool is_classification) {
    TreeNode& n = tree.nodes[id];
    n.feature = 0;
    n.threshold = 0.0;
    n.left = n.right = kNoChild;
    n.n_samples = indices.size();
    if (!is_classification) {
        double w_sum = 0.0;
        double wy_sum = 0.0;
        for (RowIndex i : indices) {
            w_sum += sample_weight[i];
            wy_sum += sample_weight[i] * y[i];
        }
        n.value = w_sum > 0.0 ? wy_sum / w_sum : 0.0;
        n.has_counts = false;
        return;
    }
    std::vector<ClassCount> counts;
    for (RowIndex i : indices) {
        const std::uint64_t c = class_index(y[i]);
        auto it = std::lower_bound(counts.begin(), counts.end(), c,
                                   [](const ClassCount& a, std::uint64_t b) { return a.cls < b; });
        if (it == counts.end() || it->cls != c) it = counts.insert(it, ClassCount{c, 0.0});
        it->weight += sample_weight[i];
    }
    tree.nodes[id].value = majority_class(counts);
    tree.set_leaf_counts(id, counts);
}

}  // namespace canopy
