// Every estimator's configuration and fitted state as bytes of the one state format
// (engine/state_io.hpp, docs/state_format.md), and back.
//
// A loaded estimator answers every query with the bits the saved one gives. An unfitted
// estimator saves its configuration alone and loads back unfitted. The worker-pool request
// of the constructors (BoostConfig::n_jobs, UnsupervisedConfig::n_jobs) is a property of the
// process, not of the model: it is not saved, and loading never sizes the pool. What a
// binding keeps beside the estimator, the per-call worker cap, is saved with it.
//
// Loading throws StateError (never anything worse) for bytes that are not such a state,
// belong to another estimator, come from a newer format, are cut short, corrupted, or
// describe a model no fit could have made in a way a query would trip over.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "estimators/boosting/classifier.hpp"
#include "estimators/boosting/regressor.hpp"
#include "estimators/decision_tree.hpp"
#include "estimators/random_forest.hpp"
#include "estimators/tree_shap.hpp"
#include "estimators/unsupervised/forest.hpp"

namespace canopy {

// A binding's default worker cap for the estimator's calls: none, -1 or a positive count.
using WorkerCap = std::optional<std::int64_t>;

template <class Est>
struct Restored {
    Est estimator;
    WorkerCap n_jobs;
};

using StateBytes = std::vector<std::uint8_t>;

StateBytes save_state(const DecisionTree& est, WorkerCap n_jobs = std::nullopt);
StateBytes save_state(const RandomForestRegressor& est, WorkerCap n_jobs = std::nullopt);
StateBytes save_state(const RandomForestClassifier& est, WorkerCap n_jobs = std::nullopt);
StateBytes save_state(const CanopyRegressor& est, WorkerCap n_jobs = std::nullopt);
StateBytes save_state(const CanopyClassifier& est, WorkerCap n_jobs = std::nullopt);
StateBytes save_state(const RandomForestUnsupervised& est, WorkerCap n_jobs = std::nullopt);
StateBytes save_state(const TreeShap& est, WorkerCap n_jobs = std::nullopt);

template <class Est>
Restored<Est> load_state(std::span<const std::uint8_t> bytes);

template <>
Restored<DecisionTree> load_state(std::span<const std::uint8_t> bytes);
template <>
Restored<RandomForestRegressor> load_state(std::span<const std::uint8_t> bytes);
template <>
Restored<RandomForestClassifier> load_state(std::span<const std::uint8_t> bytes);
template <>
Restored<CanopyRegressor> load_state(std::span<const std::uint8_t> bytes);
template <>
Restored<CanopyClassifier> load_state(std::span<const std::uint8_t> bytes);
template <>
Restored<RandomForestUnsupervised> load_state(std::span<const std::uint8_t> bytes);
template <>
Restored<TreeShap> load_state(std::span<const std::uint8_t> bytes);

}  // namespace canopy
