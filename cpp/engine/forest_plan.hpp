// How every forest grows its trees: per-tree tasks drawn from one master generator,
// the feature-count rule, and the drivers that grow one tree on a gathered sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/forest.hpp"
#include "engine/forest_part.hpp"
#include "engine/hist_split.hpp"
#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

struct TreeTask {
    std::vector<RowIndex> sample_indices;  // rows in draw order, repeats allowed
    std::uint64_t seed = 0;
    std::size_t tree_index = 0;
};

// Tree by tree: with bootstrap n_rows uniform draws below n_rows, otherwise 0..n_rows-1;
// then the seed (next_u64).
std::vector<TreeTask> draw_tree_tasks(Pcg64& master, std::size_t n_trees, std::size_t n_rows,
                                      bool bootstrap);
// The tasks of trees [range.begin, range.end) only, each identical to the same tree's task
// of a whole plan: the draws of the trees before the range are made and dropped, those
// after it are not made.
std::vector<TreeTask> draw_tree_tasks(Pcg64& master, TreeRange range, std::size_t n_rows,
                                      bool bootstrap);

// Resolves a max_features text ("sqrt", "log2", a fraction or a count) against n_features.
std::uint64_t resolve_max_features(const std::optional<std::string>& max_features,
                                   std::size_t n_features);

// The TreeParams every forest builds: max_features stored only when below n_features.
TreeParams make_tree_params(std::optional<std::uint64_t> max_depth,
                            const std::optional<std::string>& max_features, std::size_t n_features,
                            std::uint64_t min_samples_split, std::uint64_t min_samples_leaf,
                            bool is_classification);

// Gathers the sample into contiguous storage (rows, targets, weights and, for the histogram
// variant, the sample's bin codes) and grows one tree on it.
Tree build_tree_on_bootstrap(const MatrixView& x, std::span<const double> y,
                             std::span<const double> sample_weight,
                             std::span<const RowIndex> sample_indices, const TreeParams& params,
                             Pcg64& rng, const HistogramData& hist, ScratchPool* pool = nullptr);
Tree build_tree_on_bootstrap_exact(const MatrixView& x, std::span<const double> y,
                                   std::span<const double> sample_weight,
                                   std::span<const RowIndex> sample_indices,
                                   const TreeParams& params, Pcg64& rng);

// One task: its own generator seed_from_u64(seed), then the driver (the histogram search
// when `hist` is given, the exact search otherwise). The histogram search takes its working
// storage from `pool` when given; the trees of one fit share one.
Tree grow_tree(const MatrixView& x, std::span<const double> y,
               std::span<const double> sample_weight, const TreeTask& task,
               const TreeParams& params, const HistogramData* hist, ScratchPool* pool = nullptr);

// Grows one tree per task in parallel on the worker pool and packs each, with n_classes
// probability columns, on the worker that grew it, so the full trees are never all held at
// once. Trees stand in task order whatever the number of workers.
Forest grow_forest(const MatrixView& x, std::span<const double> y,
                   std::span<const double> sample_weight, const std::vector<TreeTask>& tasks,
                   const TreeParams& params, const HistogramData* hist, std::size_t n_classes = 0);

}  // namespace canopy
