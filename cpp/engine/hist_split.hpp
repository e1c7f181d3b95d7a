// The histogram split search: bin boundaries instead of every pair of neighbouring values.
#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/shuffle_lanes.hpp"
#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

// The growers' working storage: node storage and per-entry buffers. Touching a page for the
// first time costs the kernel more than filling it, and a tree's buffers would be fresh pages
// every time; so a forest fit passes one pool to all its trees, and each tree grows in
// storage another tree of the same fit has finished with. Every buffer is filled anew by the
// tree that takes it, so trees are the same with or without a pool. Shared by the threads
// of a fit; everything is freed with the pool.
struct GrowScratch;
class ScratchPool {
public:
    ScratchPool();
    ~ScratchPool();
    ScratchPool(const ScratchPool&) = delete;
    ScratchPool& operator=(const ScratchPool&) = delete;

    // Storage for one tree, with node storage a packed tree has given back when there is one.
    std::unique_ptr<GrowScratch> take();
    void give(std::unique_ptr<GrowScratch> scratch);
    // A grown tree's node storage, once the tree has been packed, for a later tree.
    void recycle(Tree&& tree);

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<GrowScratch>> free_;
    std::vector<std::vector<TreeNode>> nodes_;
};

// Grows a whole tree over `indices` (repeats allowed) at depth 0 from the bin codes of
// `hist`, which must be those of the rows of x: a split sends a row left when its value is
// at most the threshold, and the codes tell exactly that without reading x. Pre-order
// nodes; the generator is used only when features are subsampled. Working storage comes from
// `pool` when given.
Tree build_node(const MatrixView& x, std::span<const double> y,
                std::span<const double> sample_weight, std::span<const RowIndex> indices,
                const TreeParams& params, Pcg64& rng, const HistogramData& hist,
                ScratchPool* pool = nullptr);
// The same, with the nodes' feature shuffles taken from `shuffles`.
Tree build_node(const MatrixView& x, std::span<const double> y,
                std::span<const double> sample_weight, std::span<const RowIndex> indices,
                const TreeParams& params, NodeShuffles& shuffles, const HistogramData& hist,
                ScratchPool* pool = nullptr);

// Fills hist.row_records when trees grown with `params` lay their entries' codes out as one
// record per entry (few of not too many features searched per node): every tree of a forest
// then copies each entry's record from the table instead of gathering its code feature by
// feature. Leaves `hist` as it is otherwise. Trees are the same either way.
void add_row_records(HistogramData& hist, const TreeParams& params);

}  // namespace canopy
