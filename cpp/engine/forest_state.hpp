// Fitted forests in the state format (engine/state_io.hpp): each packed tree as its arrays,
// read back with the checks that make a loaded tree as safe to query as a grown one.
#pragma once

#include <cstddef>
#include <optional>

#include "engine/forest.hpp"
#include "engine/state_io.hpp"

namespace canopy {

void write_forest(StateWriter& w, const Forest& forest);

// Reads a forest and checks every tree: the nodes form one binary tree in pre-order (left
// child next, right child after the left subtree, every node reached once), leaves go "right"
// to themselves with a NaN threshold, class probabilities are within their tables and
// columns, and, when n_features is given, every split tests a feature below it. The forest
// must have n_classes probability columns (what its estimator's classes say). `what` names
// the forest in messages ("the forest", "boosted forest 3").
Forest read_forest(StateReader& r, std::optional<std::size_t> n_features, std::size_t n_classes,
                   const std::string& what);

}  // namespace canopy
