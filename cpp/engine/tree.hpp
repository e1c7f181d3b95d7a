// The tree the split searches grow: growth parameters, nodes stored flat in pre-order (the
// root is node 0, then the whole left subtree, then the right subtree) and leaf
// construction. A grown tree is packed into a Forest (engine/forest.hpp) before anything
// queries it; this form is what the growers build and the reference tests read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace canopy {

// Row numbers inside a fit. Fits refuse inputs with more rows than this type can count.
using RowIndex = std::uint32_t;
inline constexpr std::size_t kMaxRows = std::numeric_limits<RowIndex>::max();

struct TreeParams {
    std::optional<std::uint64_t> max_depth;     // absent: no limit; the root has depth 0
    std::optional<std::uint64_t> max_features;  // absent: every feature at every node
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
    bool is_classification = false;
};

// Summed sample weight of one class in a classification leaf.
struct ClassCount {
    std::uint64_t cls;
    double weight;
};

inline constexpr std::uint32_t kNoChild = std::numeric_limits<std::uint32_t>::max();

struct TreeNode {
    std::size_t feature = 0;  // tested column of an internal node; 0 in a leaf
    double threshold = 0.0;   // rows with value <= threshold go left; 0.0 in a leaf
    std::uint32_t left = kNoChild;
    std::uint32_t right = kNoChild;
    double value = 0.0;         // leaf: weighted mean or majority class index; internal: 0.0
    std::size_t n_samples = 0;  // index entries that reached the node, repeats included
    // Classification leaves only: their counts are Tree::counts[counts_begin, +counts_size),
    // sorted by class index.
    std::uint32_t counts_begin = 0;
    std::uint32_t counts_size = 0;
    bool has_counts = false;

    bool is_leaf() const { return left == kNoChild; }
};

struct Tree {
    std::vector<TreeNode> nodes;
    std::vector<ClassCount> counts;

    bool empty() const { return nodes.empty(); }
    const TreeNode& root() const { return nodes.front(); }
    const TreeNode& node(std::size_t id) const { return nodes[id]; }
    std::span<const ClassCount> class_counts(const TreeNode& n) const {
        return {counts.data() + n.counts_begin, n.counts_size};
    }

    // Appends a blank node and returns its id (checked against the id range).
    std::uint32_t add_node();
    // Turns node `id` into an internal node with the given children.
    void set_split(std::uint32_t id, std::size_t feature, double threshold, std::uint32_t left,
                   std::uint32_t right);
    // Stores the counts of a classification leaf; `sorted` must be ordered by class.
    void set_leaf_counts(std::uint32_t id, std::span<const ClassCount> sorted);
};

// Class index of a label: truncation toward zero, negatives and NaN give 0, saturating.
std::uint64_t class_index(double label);

// The distinct class indices of n labels, ascending; label(i) gives the i-th label.
template <class Label>
std::vector<std::uint64_t> sorted_classes(std::size_t n, Label&& label);

// Fills node `id` of `tree` as a leaf over the rows listed in `indices` (repeats count):
// weighted mean of y (0.0 when the weight sum is not positive), or the class counts and the
// class of largest summed weight (the smallest index among ties; 0.0 when empty).
void create_leaf(Tree& tree, std::uint32_t id, std::span<const double> y,
                 std::span<const double> sample_weight, std::span<const RowIndex> indices,
                 bool is_classification);

// Majority class of sorted counts: largest weight, smallest class among ties, 0 if empty.
double majority_class(std::span<const ClassCount> sorted);

// Calls fn(class, count / total) for every class of a classification leaf whose counts sum
// to a positive total; regression leaves and weightless leaves call nothing.
template <class F>
void for_each_leaf_probability(const Tree& tree, const TreeNode& leaf, F&& fn) {
    if (!leaf.has_counts) return;
    const auto counts = tree.class_counts(leaf);
    double total = 0.0;
    for (const ClassCount& c : counts) total += c.weight;
    if (!(total > 0.0)) return;
    for (const ClassCount& c : counts) fn(c.cls, c.weight / total);
}

// Sorts and removes repeats in place.
void sort_distinct(std::vector<std::uint64_t>& classes);

template <class Label>
std::vector<std::uint64_t> sorted_classes(std::size_t n, Label&& label) {
    std::vector<std::uint64_t> classes(n);
    for (std::size_t i = 0; i < n; ++i) classes[i] = class_index(label(i));
    sort_distinct(classes);
    return classes;
}

}  // namespace canopy
