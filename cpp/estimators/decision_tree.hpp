// A single classification or regression tree grown with the exact split search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/tree.hpp"
#include "engine/views.hpp"

namespace canopy {

struct DecisionTreeConfig {
    std::optional<std::uint64_t> max_depth;
    std::string criterion = "entropy";  // kept verbatim; the search does not read it
    std::string task = "classification";
    std::optional<std::uint64_t> random_state;
    std::uint64_t min_samples_split = 2;
    std::uint64_t min_samples_leaf = 1;
};

struct DecisionTree {
    DecisionTreeConfig config;
    std::optional<Tree> root;                          // absent until the first fit
    std::optional<std::vector<std::uint64_t>> classes;  // classification fits only
    bool is_fitted = false;

    // Aborts (InternalError) unless task is exactly "classification" or "regression".
    explicit DecisionTree(DecisionTreeConfig config);

    bool is_classification() const { return config.task == "classification"; }
    std::size_t n_classes() const { return classes ? classes->size() : 0; }
    std::size_t get_depth() const { return root ? root->depth() : 0; }
    std::size_t get_n_leaves() const { return root ? root->n_leaves() : 0; }
};

}  // namespace canopy
