#include "estimators/decision_tree.hpp"

#include "engine/errors.hpp"

namespace canopy {

DecisionTree::DecisionTree(DecisionTreeConfig c) : config(std::move(c)) {
    if (config.task != "classification" && config.task != "regression") {
        fail_internal("task must be 'classification' or 'regression'");
    }
}

}  // namespace canopy
