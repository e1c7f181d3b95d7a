// One boosting round's random forest (a Forest per round and output): the plain fit (trees
// in task order, independent of the number of workers), the streaming fit that stops adding
// trees once the forest's training predictions have settled, and the forest's average
// prediction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/forest.hpp"
#include "engine/histogram.hpp"
#include "engine/rng.hpp"
#include "engine/views.hpp"

namespace canopy {

// Mean over the trees, in order, of the leaf value the row reaches. A forest without trees
// predicts 0.0: it adds nothing to the boosted score.
double forest_predict(const Forest& forest, std::span<const double> row);

// forest_predict for every row of x (rows contiguous), in row order. Rows are spread over
// the pool; each row's sum is taken in tree order, so the result is what forest_predict
// gives row by row.
std::vector<double> forest_predict_rows(const Forest& forest, const MatrixView& x);

// Draws n_trees tasks from rng (which continues from round to round) and grows the trees on
// the pool with the histogram search (use_histogram) or the exact search. The result
// depends only on the inputs and the state of rng.
Forest fit_internal_rf(const MatrixView& x, std::span<const double> y,
                       std::span<const double> sample_weight, std::size_t n_trees,
                       const TreeParams& params, bool bootstrap, Pcg64& rng, bool use_histogram);

// The same with a histogram built by the caller on the same rows of x (the bins depend on x
// only, so a boosting fit bins its matrix once). hist == nullptr grows with the exact search.
Forest fit_internal_rf_binned(const MatrixView& x, std::span<const double> y,
                              std::span<const double> sample_weight, std::size_t n_trees,
                              const TreeParams& params, bool bootstrap, Pcg64& rng,
                              const HistogramData* hist);

struct StreamedForest {
    Forest forest;                          // the accepted trees, by increasing tree index
    std::vector<double> train_predictions;  // the forest's mean prediction per training row
};

// Grows the trees as scoped jobs and keeps running per-row statistics of their training
// predictions; once at least max(2, min_trees) trees are in and the stop test succeeds, jobs
// that have not started yet grow nothing. Trees that were already growing are kept.
// `classification` picks the stop rule used when tol is not positive.
StreamedForest fit_internal_rf_streaming(const MatrixView& x, std::span<const double> y,
                                         std::span<const double> sample_weight, std::size_t n_trees,
                                         const TreeParams& params, bool bootstrap, Pcg64& rng,
                                         bool use_histogram, std::size_t min_trees,
                                         bool classification, double tol);
StreamedForest fit_internal_rf_streaming_binned(const MatrixView& x, std::span<const double> y,
                                                std::span<const double> sample_weight,
                                                std::size_t n_trees, const TreeParams& params,
                                                bool bootstrap, Pcg64& rng,
                                                const HistogramData* hist, std::size_t min_trees,
                                                bool classification, double tol);

// The stop test on the statistics after k >= 2 trees: `latest` holds the training
// predictions of the tree just folded in, `mean` and `m2` the updated running moments.
bool streaming_should_stop(std::span<const double> latest, std::span<const double> mean,
                           std::span<const double> m2, std::size_t k, bool classification,
                           double tol);

}  // namespace canopy
