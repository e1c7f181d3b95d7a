#include "engine/forest.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <map>
#include <string>
#include <type_traits>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"

namespace canopy {

namespace {

constexpr std::uint32_t kMaxFeature = std::numeric_limits<std::uint32_t>::max();

void add_probabilities(const Tree& tree, const TreeNode& leaf, std::size_t n_classes,
                       PackedTree& p) {
    for_each_leaf_probability(tree, leaf, [&](std::uint64_t cls, double prob) {
        if (cls < n_classes) p.probs.push_back({static_cast<std::uint32_t>(cls), prob});
    });
    if (p.probs.size() >= kMaxFeature) fail_internal("tree has too many class probabilities");
}

// The checked walk for rows shorter than some tested feature.
std::uint32_t find_leaf_checked(const PackedTree& p, const double* row, std::size_t width) {
    std::uint32_t id = 0;
    while (p.nodes[id].right != id) {
        const PackedNode& node = p.nodes[id];
        if (node.feature >= width) {
            fail_internal("prediction row has " + std::to_string(width) +
                          " values but the tree tests feature " + std::to_string(node.feature));
        }
        id = row[node.feature] <= node.threshold ? id + 1 : node.right;
    }
    return id;
}

constexpr std::size_t kMaxTableClasses = 8;

// The table form of a packed tree's class probabilities, or false (leaving p untouched)
// when the leaves have more distinct vectors than two-byte tags can name.
bool build_probability_table(const Tree& tree, std::size_t n_classes, PackedTree& p) {
    const std::size_t n = tree.nodes.size();
    std::map<std::vector<std::uint64_t>, std::uint16_t> rows;  // exact bits -> tag
    std::vector<std::uint64_t> bits(n_classes, 0);
    rows.emplace(bits, 0);  // row 0: all zeros, for internal and weightless nodes
    std::vector<std::uint16_t> tag(n, 0);
    std::vector<double> table(n_classes, 0.0);
    std::vector<double> vec(n_classes);
    for (std::size_t i = 0; i < n; ++i) {
        const TreeNode& t = tree.nodes[i];
        if (!t.is_leaf()) continue;
        std::fill(vec.begin(), vec.end(), 0.0);
        for_each_leaf_probability(tree, t, [&](std::uint64_t cls, double prob) {
            if (cls < n_classes) vec[cls] = prob;
        });
        for (std::size_t c = 0; c < n_classes; ++c) bits[c] = std::bit_cast<std::uint64_t>(vec[c]);
        const auto [it, added] = rows.try_emplace(bits, static_cast<std::uint16_t>(rows.size()));
        if (added) {
            if (rows.size() > std::numeric_limits<std::uint16_t>::max()) return false;
            table.insert(table.end(), vec.begin(), vec.end());
        }
        tag[i] = it->second;
    }
    p.table_classes = n_classes;
    p.prob_tag = std::move(tag);
    p.prob_table = std::move(table);
    return true;
}

}  // namespace

PackedTree PackedTree::pack(const Tree& tree, std::size_t n_classes) {
    PackedTree p;
    const std::size_t n = tree.nodes.size();
    p.nodes.resize(n);
    p.values.resize(n, 0.0);
    p.cover.resize(n);
    p.n_classes = n_classes;
    const bool sparse = n_classes > 0 && !(n_classes <= kMaxTableClasses &&
                                           build_probability_table(tree, n_classes, p));
    if (sparse) p.prob_begin.resize(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const TreeNode& t = tree.nodes[i];
        const auto id = static_cast<std::uint32_t>(i);
        if (sparse) p.prob_begin[i] = static_cast<std::uint32_t>(p.probs.size());
        p.cover[i] = t.n_samples;
        if (t.is_leaf()) {
            p.nodes[i] = {std::numeric_limits<double>::quiet_NaN(), 0, id};
            p.values[i] = t.value;
            if (sparse) add_probabilities(tree, t, n_classes, p);
            continue;
        }
        if (t.left != i + 1 || t.right <= i || t.right >= n || t.feature >= kMaxFeature) {
            fail_internal("tree is not stored in pre-order");
        }
        p.nodes[i] = {t.threshold, static_cast<std::uint32_t>(t.feature), t.right};
        p.min_row_length = std::max(p.min_row_length, t.feature + 1);
    }
    if (sparse) p.prob_begin[n] = static_cast<std::uint32_t>(p.probs.size());
    return p;
}

std::size_t Forest::min_row_length() const {
    std::size_t n = 0;
    for (const PackedTree& t : trees) n = std::max(n, t.min_row_length);
    return n;
}

void require_row_length(std::size_t needed, std::size_t cols, const char* what) {
    if (needed > cols) {
        fail_user(std::string(what) + " has " + std::to_string(cols) +
                  " columns but the model splits on feature " + std::to_string(needed - 1));
    }
}

std::size_t PackedTree::depth() const {
    // Children come after their parent, so one forward pass sees every parent first.
    std::vector<std::size_t> d(nodes.size(), 0);
    std::size_t deepest = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (is_leaf(i)) {
            deepest = std::max(deepest, d[i]);
            continue;
        }
        d[i + 1] = d[i] + 1;
        d[nodes[i].right] = d[i] + 1;
    }
    return deepest;
}

std::size_t PackedTree::n_leaves() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) n += is_leaf(i) ? 1 : 0;
    return n;
}

void PackedTree::find_leaves(const MatrixView& rows, std::size_t begin, std::size_t end,
                             std::uint32_t* leaf) const {
    auto row_at = [&](std::size_t r) {
        return rows.data + static_cast<std::ptrdiff_t>(r) * rows.row_stride;
    };
    if (nodes.size() <= 1) {  // a single leaf: every row lands on the root
        std::fill(leaf, leaf + (end - begin), 0u);
        return;
    }
    if (rows.cols < min_row_length) {
        for (std::size_t r = begin; r < end; ++r) {
            leaf[r - begin] = find_leaf_checked(*this, row_at(r), rows.cols);
        }
        return;
    }
    // Several rows descend together so that their node loads overlap in memory, and the
    // next node is chosen by a mask instead of a data-dependent branch. Full groups have a
    // fixed lane count, so their loop is unrolled completely; a leaf goes "right" to itself,
    // so lanes that arrive early just stay, and the group ends when no lane moves.
    constexpr std::size_t kLanes = 8;
    const PackedNode* nd = nodes.data();
    const auto descend = [&](auto lanes_c, std::size_t r0, std::size_t lanes) {
        constexpr std::size_t kFixed = decltype(lanes_c)::value;
        const std::size_t n_lanes = kFixed != 0 ? kFixed : lanes;
        std::uint32_t id[kLanes] = {};
        const double* row[kLanes];
        for (std::size_t j = 0; j < n_lanes; ++j) row[j] = row_at(r0 + j);
        const auto step = [&](std::size_t j) {
            const PackedNode& node = nd[id[j]];
            const std::uint32_t left = id[j] + 1;
            const bool goes_left = row[j][node.feature] <= node.threshold;
            const std::uint32_t mask = 0u - static_cast<std::uint32_t>(goes_left);
            return node.right ^ ((left ^ node.right) & mask);
        };
        std::uint32_t changed = 1;
        while (changed != 0) {
            // Two steps per check: the first moves every lane, the second tells whether any
            // lane still moves.
            for (std::size_t j = 0; j < n_lanes; ++j) id[j] = step(j);
            changed = 0;
            for (std::size_t j = 0; j < n_lanes; ++j) {
                const std::uint32_t next = step(j);
                changed |= next ^ id[j];
                id[j] = next;
            }
        }
        for (std::size_t j = 0; j < n_lanes; ++j) leaf[r0 + j - begin] = id[j];
    };
    std::size_t r0 = begin;
    for (; r0 + kLanes <= end; r0 += kLanes) {
        descend(std::integral_constant<std::size_t, kLanes>{}, r0, kLanes);
    }
    if (r0 < end) descend(std::integral_constant<std::size_t, 0>{}, r0, end - r0);
}

// ---- Forest ------------------------------------------------------------------------------------

namespace {
// Rows walked through one tree at a time: the leaf ids of a batch stay on the stack.
constexpr std::size_t kWalkBatch = 256;
}  // namespace

void Forest::add_values(const MatrixView& rows, std::size_t begin, std::size_t end,
                        double* acc) const {
    std::uint32_t leaf[kWalkBatch];
    for (const PackedTree& tree : trees) {
        poll_interrupt();
        for (std::size_t b = begin; b < end; b += kWalkBatch) {
            const std::size_t e = std::min(end, b + kWalkBatch);
            tree.find_leaves(rows, b, e, leaf);
            for (std::size_t r = b; r < e; ++r) acc[r - begin] += tree.values[leaf[r - b]];
        }
    }
}

void Forest::add_probabilities(const MatrixView& rows, std::size_t begin, std::size_t end,
                               double* acc) const {
    std::uint32_t leaf[kWalkBatch];
    for (const PackedTree& tree : trees) {
        poll_interrupt();
        for (std::size_t b = begin; b < end; b += kWalkBatch) {
            const std::size_t e = std::min(end, b + kWalkBatch);
            tree.find_leaves(rows, b, e, leaf);
            for (std::size_t r = b; r < e; ++r) {
                tree.add_proba(leaf[r - b], acc + (r - begin) * n_classes);
            }
        }
    }
}

}  // namespace canopy
