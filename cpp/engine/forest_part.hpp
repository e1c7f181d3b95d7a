// One forest grown in parts. Every tree of a forest depends only on the master generator's
// draws for it, so a contiguous range of tree indices can be grown anywhere (another
// process, another machine) and the parts joined back, in tree order, into exactly the
// forest one fit grows. A part remembers which trees it holds and a fingerprint of the data
// it was grown on, so that a join refuses parts of different fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/forest.hpp"
#include "engine/views.hpp"

namespace canopy {

// Tree indices [begin, end) of a forest's plan.
struct TreeRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;

    std::uint64_t size() const { return end - begin; }
    bool operator==(const TreeRange&) const = default;
};

// What a part knows of the fit it came from.
struct ForestPart {
    TreeRange range;
    std::uint64_t data_fingerprint = 0;

    bool operator==(const ForestPart&) const = default;
};

// The trees a fit grows: `range` when given, otherwise all n_trees. A range must lie inside
// [0, n_trees), and needs a fixed random_state: parts seeded from fresh entropy would each
// follow a different plan. UserError otherwise, before any work.
TreeRange trees_to_grow(const std::optional<TreeRange>& range, std::uint64_t n_trees,
                        const std::optional<std::uint64_t>& random_state);

// A 64-bit fingerprint of training inputs: shapes and the bits of every value, rows in order
// whatever the memory layout. Equal inputs give equal fingerprints; different inputs almost
// surely differ.
class Fingerprint {
  public:
    void add(std::uint64_t word);
    void add(const MatrixView& x);
    void add(const VectorView& v);
    void add(std::span<const double> values);
    std::uint64_t value() const { return state_; }

  private:
    std::uint64_t state_ = 0x6a09e667f3bcc909ULL;
};

// Checks that parts[0..n) are the parts of one fit of n_trees trees, in tree order: each is
// a part, each was made with part 0's configuration (`same_config(i)`) on the same data,
// and their ranges follow one another from 0 to n_trees. UserError naming the first part
// that does not fit.
void check_parts(std::span<const std::optional<ForestPart>* const> parts, std::uint64_t n_trees,
                 const std::function<bool(std::size_t)>& same_config);

// The parts' trees one after another, in part order, moved out of the parts.
Forest join_forests(std::vector<Forest*> parts);

}  // namespace canopy
