#include "engine/forest_part.hpp"

#include <bit>
#include <iterator>

#include "engine/errors.hpp"

namespace canopy {

namespace {

std::string range_text(const TreeRange& r) {
    std::string text = "[";
    text += std::to_string(r.begin);
    text += ", ";
    text += std::to_string(r.end);
    text += ")";
    return text;
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

}  // namespace

TreeRange trees_to_grow(const std::optional<TreeRange>& range, std::uint64_t n_trees,
                        const std::optional<std::uint64_t>& random_state) {
    if (!range) return TreeRange{0, n_trees};
    if (range->begin > range->end || range->end > n_trees) {
        fail_user("tree_range " + range_text(*range) + " is not inside the forest's trees [0, " +
                  std::to_string(n_trees) + ")");
    }
    if (!random_state) {
        fail_user(
            "tree_range needs a fixed random_state: parts seeded from fresh entropy "
            "would belong to different forests");
    }
    return *range;
}

// Each word goes through a full-avalanche mix (the splitmix64 finaliser) before it is folded
// in, and the fold multiplies by an odd constant, so order and position both count.
void Fingerprint::add(std::uint64_t word) {
    std::uint64_t z = word + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    state_ = (state_ ^ z) * 0x100000001b3ULL + 0x27d4eb2f165667c5ULL;
}

void Fingerprint::add(const MatrixView& x) {
    add(static_cast<std::uint64_t>(x.rows));
    add(static_cast<std::uint64_t>(x.cols));
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t c = 0; c < x.cols; ++c) add(bits(x(r, c)));
    }
}

void Fingerprint::add(const VectorView& v) {
    add(static_cast<std::uint64_t>(v.size));
    for (std::size_t i = 0; i < v.size; ++i) add(bits(v[i]));
}

void Fingerprint::add(std::span<const double> values) {
    add(static_cast<std::uint64_t>(values.size()));
    for (double v : values) add(bits(v));
}

void check_parts(std::span<const std::optional<ForestPart>* const> parts, std::uint64_t n_trees,
                 const std::function<bool(std::size_t)>& same_config) {
    if (parts.empty()) fail_user("join needs at least one part");
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string name = "part " + std::to_string(i);
        if (!*parts[i]) fail_user(name + " was not fitted with a tree_range");
        const ForestPart& part = **parts[i];
        if (!same_config(i)) fail_user(name + " was made with other parameters than part 0");
        if (part.data_fingerprint != (*parts[0])->data_fingerprint) {
            fail_user(name + " was fitted on other data than part 0");
        }
        if (part.range.begin != next) {
            fail_user(name + " holds trees " + range_text(part.range) + " where trees from " +
                      std::to_string(next) + " on were expected next");
        }
        next = part.range.end;
    }
    if (next != n_trees) {
        fail_user("the parts hold trees [0, " + std::to_string(next) + ") of a forest of " +
                  std::to_string(n_trees));
    }
}

Forest join_forests(std::vector<Forest*> parts) {
    Forest out;
    if (!parts.empty()) out.n_classes = parts[0]->n_classes;
    std::size_t total = 0;
    for (const Forest* f : parts) total += f->size();
    out.trees.reserve(total);
    for (Forest* f : parts) {
        std::move(f->trees.begin(), f->trees.end(), std::back_inserter(out.trees));
        f->trees.clear();
    }
    return out;
}

}  // namespace canopy
