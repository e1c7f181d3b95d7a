// The histogram split search: bin boundaries instead of every pair of neighbouring values.
#pragma once

#include <span>

#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

// Grows a whole tree over `indices` (repeats allowed) at depth 0 from the bin codes of
// `hist`, which must be those of the rows of x: a split sends a row left when its value is
// at most the threshold, and the codes tell exactly that without reading x. Pre-order
// nodes; the generator is used only when features are subsampled.
Tree build_node(const MatrixView& x, std::span<const double> y,
                std::span<const double> sample_weight, std::span<const RowIndex> indices,
                const TreeParams& params, Pcg64& rng, const HistogramData& hist);

}  // namespace canopy
