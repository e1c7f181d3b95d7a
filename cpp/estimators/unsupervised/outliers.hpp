// Robust standardisation of the raw outlier measure n / sum(prox^2).
#pragma once

#include <span>
#include <vector>

#include "estimators/unsupervised/proximity.hpp"

namespace canopy {

inline constexpr double kDeviationCapFactor = 5.0;
inline constexpr double kOutlierScoreCap = 20.0;

// Centre and scale of a set of raw scores: the element at position floor(n/2) of the sorted
// scores (the upper middle for an even count) and the mean of the deviations from it, each
// capped at 5 x median; a spread that is not positive becomes 1.0. Needs at least one score.
struct OutlierReference {
    double median = 0.0;
    double spread = 1.0;
};
OutlierReference outlier_reference(std::span<const double> raw);

// (raw - median) / spread, capped above at 20 (no lower bound).
double standardised_score(double raw, const OutlierReference& ref);
std::vector<double> standardise_outlier_scores(std::span<const double> raw);

// The training side of predict_outlier_scores, which depends only on the fitted model: the
// training rows grouped by leaf in every tree (without ranges) and the centre and scale of
// the training rows' leave-self-out raw scores.
struct NewRowReference {
    std::vector<LeafGroups> training_groups;
    OutlierReference reference;
};

}  // namespace canopy
