// Exact Shapley attributions for a fitted DecisionTree against a background matrix.
#pragma once

namespace canopy {

struct TreeShap {};

}  // namespace canopy
