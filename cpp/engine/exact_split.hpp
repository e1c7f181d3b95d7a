// The exact split search: every boundary between distinct neighbouring values of every
// candidate feature, Gini impurity or weighted variance, midpoint thresholds.
#pragma once

#include <span>

#include "engine/rng.hpp"
#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

// Grows a whole tree over the rows listed in `indices` (repeats allowed) at depth 0.
// Nodes are stored in pre-order and the generator is consumed depth-first, left subtree
// before right subtree; the same inputs and generator state give the same tree.
// x must hold finite values; y, sample_weight have one entry per row of x.
Tree build_node_exact(const MatrixView& x, std::span<const double> y,
                      std::span<const double> sample_weight, std::span<const RowIndex> indices,
                      const TreeParams& params, Pcg64& rng);

}  // namespace canopy
