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

// Fills hist.row_records when trees grown with `params` lay their entries' codes out as one
// record per entry (few of not too many features searched per node): every tree of a forest
// then copies each entry's record from the table instead of gathering its code feature by
// feature. Leaves `hist` as it is otherwise. Trees are the same either way.
void add_row_records(HistogramData& hist, const TreeParams& params);

}  // namespace canopy
