// One boosting round's random forest.
#pragma once

#include <vector>

#include "engine/tree.hpp"

namespace canopy {

struct InternalRF {
    std::vector<Tree> trees;
};

}  // namespace canopy
