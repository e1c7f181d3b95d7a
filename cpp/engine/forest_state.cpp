#include "engine/forest_state.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

namespace canopy {

namespace {

// How a tree keeps its class probabilities.
enum class ProbabilityForm : std::uint8_t { None = 0, Table = 1, Runs = 2 };

// Bytes every node takes at least: the node, its value and its cover.
constexpr std::size_t kNodeBytes = 16 + 8 + 8;

// On a little-endian machine the node array is written as it lies in memory.
constexpr bool kRawNodes = std::endian::native == std::endian::little && sizeof(PackedNode) == 16 &&
                           std::is_trivially_copyable_v<PackedNode>;

void write_nodes(StateWriter& w, const std::vector<PackedNode>& nodes) {
    if constexpr (kRawNodes) {
        w.raw(nodes.data(), nodes.size() * sizeof(PackedNode));
    } else {
        for (const PackedNode& n : nodes) {
            w.f64(n.threshold);
            w.u32(n.feature);
            w.u32(n.right);
        }
    }
}

std::vector<PackedNode> read_nodes(StateReader& r, std::size_t n) {
    std::vector<PackedNode> nodes(n);
    if constexpr (kRawNodes) {
        r.raw(nodes.data(), n * sizeof(PackedNode));
    } else {
        for (PackedNode& node : nodes) {
            node.threshold = r.f64();
            node.feature = r.u32();
            node.right = r.u32();
        }
    }
    return nodes;
}

void write_tree(StateWriter& w, const PackedTree& tree) {
    const std::size_t n = tree.size();
    w.u64(n);
    write_nodes(w, tree.nodes);
    w.elements<double>(tree.values);
    w.elements<std::uint64_t>(tree.cover);
    if (tree.table_classes != 0) {
        w.u8(static_cast<std::uint8_t>(ProbabilityForm::Table));
        w.elements<std::uint16_t>(tree.prob_tag);
        w.f64s(tree.prob_table);
    } else if (!tree.prob_begin.empty()) {
        w.u8(static_cast<std::uint8_t>(ProbabilityForm::Runs));
        w.elements<std::uint32_t>(tree.prob_begin);
        w.u64(tree.probs.size());
        for (const ClassProbability& p : tree.probs) w.u32(p.column);
        for (const ClassProbability& p : tree.probs) w.f64(p.p);
    } else {
        w.u8(static_cast<std::uint8_t>(ProbabilityForm::None));
    }
}

// One binary tree in pre-order: walking it with a stack, the node popped is always the next
// one in storage order, and every node is popped exactly once.
void check_structure(StateReader& r, const PackedTree& tree,
                     std::optional<std::size_t> n_features) {
    const std::size_t n = tree.size();
    std::vector<std::uint32_t> stack{0};
    std::size_t next = 0;
    while (!stack.empty()) {
        const std::uint32_t id = stack.back();
        stack.pop_back();
        if (id != next) {
            r.fail("node " + std::to_string(next) + " is not where the pre-order puts it");
        }
        ++next;
        const PackedNode& node = tree.nodes[id];
        if (node.right == id) {
            if (node.feature != 0 || !std::isnan(node.threshold)) {
                r.fail("leaf " + std::to_string(id) + " tests a feature");
            }
            continue;
        }
        if (node.right <= id + 1 || node.right >= n || id + 1 >= n) {
            r.fail("node " + std::to_string(id) + " has children outside the tree");
        }
        if (node.feature == std::numeric_limits<std::uint32_t>::max() ||
            (n_features && node.feature >= *n_features)) {
            r.fail("node " + std::to_string(id) + " tests feature " + std::to_string(node.feature) +
                   ", beyond the model's features");
        }
        stack.push_back(node.right);
        stack.push_back(id + 1);
    }
    if (next != n) r.fail("nodes after the end of the tree");
}

void read_table(StateReader& r, PackedTree& tree) {
    const std::size_t k = tree.n_classes;
    tree.table_classes = k;
    tree.prob_tag = r.elements<std::uint16_t>(tree.size());
    tree.prob_table = r.f64s();
    const std::size_t rows = tree.prob_table.size() / k;
    if (rows == 0 || rows * k != tree.prob_table.size()) {
        r.fail("the probability table does not hold whole rows of " + std::to_string(k));
    }
    for (std::uint16_t tag : tree.prob_tag) {
        if (tag >= rows) r.fail("a probability tag names a row past the table");
    }
}

void read_runs(StateReader& r, PackedTree& tree) {
    tree.prob_begin = r.elements<std::uint32_t>(tree.size() + 1);
    const std::size_t m = r.count(4 + 8);
    const std::vector<std::uint32_t> columns = r.elements<std::uint32_t>(m);
    const std::vector<double> p = r.elements<double>(m);
    if (tree.prob_begin.front() != 0 || tree.prob_begin.back() != m) {
        r.fail("the probability runs do not cover the probabilities");
    }
    for (std::size_t i = 0; i + 1 < tree.prob_begin.size(); ++i) {
        if (tree.prob_begin[i] > tree.prob_begin[i + 1]) r.fail("a probability run ends early");
    }
    tree.probs.resize(m);
    for (std::size_t e = 0; e < m; ++e) {
        if (columns[e] >= tree.n_classes) r.fail("a probability names a class past the model's");
        tree.probs[e] = {columns[e], p[e]};
    }
}

PackedTree read_tree(StateReader& r, std::size_t n_classes, std::optional<std::size_t> n_features) {
    PackedTree tree;
    const std::size_t n = r.count(kNodeBytes);
    if (n == 0) r.fail("a tree without nodes");
    if (n >= std::numeric_limits<std::uint32_t>::max()) r.fail("a tree with too many nodes");
    tree.nodes = read_nodes(r, n);
    tree.values = r.elements<double>(n);
    tree.cover = r.elements<std::uint64_t>(n);
    tree.n_classes = n_classes;
    const std::uint8_t form = r.u8();
    if (form == static_cast<std::uint8_t>(ProbabilityForm::Table) && n_classes != 0) {
        read_table(r, tree);
    } else if (form == static_cast<std::uint8_t>(ProbabilityForm::Runs) && n_classes != 0) {
        read_runs(r, tree);
    } else if (form != static_cast<std::uint8_t>(ProbabilityForm::None) || n_classes != 0) {
        r.fail("probability form " + std::to_string(form) + " does not fit a forest of " +
               std::to_string(n_classes) + " classes");
    }
    check_structure(r, tree, n_features);
    for (std::size_t i = 0; i < n; ++i) {
        if (!tree.is_leaf(i)) {
            tree.min_row_length =
                std::max<std::size_t>(tree.min_row_length, std::size_t{tree.nodes[i].feature} + 1);
        }
    }
    return tree;
}

}  // namespace

void write_forest(StateWriter& w, const Forest& forest) {
    w.u64(forest.n_classes);
    w.u64(forest.size());
    for (const PackedTree& tree : forest.trees) {
        if (tree.n_classes != forest.n_classes) {
            fail_internal("a tree's class count differs from its forest's");
        }
        write_tree(w, tree);
    }
}

Forest read_forest(StateReader& r, std::optional<std::size_t> n_features, std::size_t n_classes,
                   const std::string& what) {
    r.context(what);
    Forest forest;
    forest.n_classes = n_classes;
    const std::uint64_t columns = r.u64();
    if (columns != n_classes) {
        r.fail("the forest has " + std::to_string(columns) + " probability columns, not the " +
               std::to_string(n_classes) + " of the model's classes");
    }
    const std::size_t n_trees = r.count(8 + kNodeBytes + 1);
    forest.trees.reserve(n_trees);
    for (std::size_t t = 0; t < n_trees; ++t) {
        r.context(what + " tree " + std::to_string(t));
        forest.trees.push_back(read_tree(r, forest.n_classes, n_features));
    }
    return forest;
}

}  // namespace canopy
