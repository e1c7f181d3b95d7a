#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/errors.hpp"
#include "estimators/boosting/canopy.hpp"
#include "estimators/decision_tree.hpp"
#include "estimators/unsupervised/forest.hpp"

namespace canopy {
namespace {

TEST(Constructors, ConformalFractionIsClampedButNaNPasses) {
    EXPECT_EQ(CanopyRegressor({}, 0.05).conformal_fraction, 0.1);
    EXPECT_EQ(CanopyRegressor({}, 0.9).conformal_fraction, 0.5);
    EXPECT_EQ(CanopyRegressor({}, 0.3).conformal_fraction, 0.3);
    EXPECT_EQ(CanopyRegressor({}, -std::numeric_limits<double>::infinity()).conformal_fraction, 0.1);
    EXPECT_TRUE(std::isnan(CanopyRegressor({}, std::nan("")).conformal_fraction));
}

TEST(Constructors, CanopyChoosesItsInnerEstimatorByExactTask) {
    EXPECT_TRUE(Canopy({}, "classification").is_classifier());
    for (const char* task : {"regression", "Classification", "classification ", ""}) {
        const Canopy c({}, task);
        ASSERT_FALSE(c.is_classifier()) << task;
        EXPECT_EQ(std::get<CanopyRegressor>(c.inner).conformal_fraction, 0.2);
    }
    BoostConfig config;
    config.n_estimators = 7;
    config.tol = 0.5;
    const Canopy c(config, "classification");
    EXPECT_EQ(std::get<CanopyClassifier>(c.inner).config.n_estimators, 7u);
    EXPECT_EQ(std::get<CanopyClassifier>(c.inner).config.tol, 0.5);
}

TEST(Constructors, DecisionTreeTaskCheckAndUnfittedState) {
    DecisionTreeConfig bad;
    bad.task = "Regression";
    EXPECT_THROW(DecisionTree{bad}, InternalError);
    DecisionTreeConfig config;
    config.criterion = "gini";
    config.task = "regression";
    const DecisionTree t(config);
    EXPECT_FALSE(t.is_classification());
    EXPECT_EQ(t.config.criterion, "gini");
    EXPECT_FALSE(t.is_fitted);
    EXPECT_EQ(t.get_depth(), 0u);
    EXPECT_EQ(t.get_n_leaves(), 0u);
}

TEST(Constructors, UnsupervisedUnfittedState) {
    const RandomForestUnsupervised u(UnsupervisedConfig{});
    EXPECT_EQ(u.config.n_neighbors, 0u);
    EXPECT_EQ(u.n_samples, 0u);
    EXPECT_THROW(u.n_features(), UserError);
    EXPECT_THROW(u.require_fitted(), UserError);
}

}  // namespace
}  // namespace canopy
