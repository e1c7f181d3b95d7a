// The histogram split search: bin boundaries instead of every pair of neighbouring values.
#pragma once

#include <span>

#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

// Grows a whole tree over `indices` (repeats allowed) at depth 0, reading the bin codes of
// `hist` (built over the rows of x, or gathered to them) and partitioning by the raw values
// of x. Pre-order nodes; the generator is used only when features are subsampled.
Tree build_node(const MatrixView& x, std::span<const double> y,
                std::span<const double> sample_weight, std::span<const RowIndex> indices,
                const TreeParams& params, Pcg64& rng, const HistogramData& hist);

}  // namespace canopy
