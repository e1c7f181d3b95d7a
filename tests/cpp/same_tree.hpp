// Node-by-node comparison of two trees, to the bit, for the tests that grow a tree two ways.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "engine/forest.hpp"
#include "engine/tree.hpp"

namespace canopy {

inline ::testing::AssertionResult same_tree(const Tree& a, const Tree& b) {
    if (a.nodes.size() != b.nodes.size()) {
        return ::testing::AssertionFailure()
               << a.nodes.size() << " nodes against " << b.nodes.size();
    }
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    for (std::size_t i = 0; i < a.nodes.size(); ++i) {
        const TreeNode &p = a.nodes[i], &q = b.nodes[i];
        bool same = p.feature == q.feature && bits(p.threshold) == bits(q.threshold) &&
                    p.left == q.left && p.right == q.right && bits(p.value) == bits(q.value) &&
                    p.n_samples == q.n_samples && p.has_counts == q.has_counts;
        const auto ca = a.class_counts(p), cb = b.class_counts(q);
        same = same && ca.size() == cb.size();
        for (std::size_t k = 0; same && k < ca.size(); ++k) {
            same = ca[k].cls == cb[k].cls && bits(ca[k].weight) == bits(cb[k].weight);
        }
        if (!same) return ::testing::AssertionFailure() << "node " << i << " differs";
    }
    return ::testing::AssertionSuccess();
}

// The same for packed trees: nodes, leaf values and covers.
inline ::testing::AssertionResult same_tree(const PackedTree& a, const PackedTree& b) {
    if (a.size() != b.size()) {
        return ::testing::AssertionFailure() << a.size() << " nodes against " << b.size();
    }
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    for (std::size_t i = 0; i < a.size(); ++i) {
        const PackedNode &p = a.nodes[i], &q = b.nodes[i];
        if (p.feature != q.feature || p.right != q.right ||
            bits(p.threshold) != bits(q.threshold) || bits(a.values[i]) != bits(b.values[i]) ||
            a.cover[i] != b.cover[i]) {
            return ::testing::AssertionFailure() << "node " << i << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace canopy
