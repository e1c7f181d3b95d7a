#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/errors.hpp"
#include "engine/forest_part.hpp"
#include "engine/rng.hpp"
#include "estimators/random_forest.hpp"
#include "estimators/state.hpp"
#include "estimators/unsupervised/forest.hpp"
#include "same_tree.hpp"

namespace canopy {
namespace {

struct Data {
    Matrix x;
    std::vector<double> y;  // three classes, also read as a regression target
};

Data make_data(std::size_t n, std::size_t m, std::uint64_t seed) {
    Pcg64 rng = Pcg64::seed_from_u64(seed);
    Data d{Matrix(n, m), std::vector<double>(n)};
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t c = 0; c < m; ++c) {
            d.x(r, c) = static_cast<double>(rng.index_u64(1000)) / 100.0;
        }
        d.y[r] = static_cast<double>((static_cast<int>(d.x(r, 0)) + rng.index_u64(2)) % 3);
    }
    return d;
}

VectorView view(const std::vector<double>& v) { return {v.data(), v.size(), 1}; }

std::string message_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const UserError& e) {
        return e.what();
    }
    return "no error";
}

void expect_same_forest(const Forest& a, const Forest& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t t = 0; t < a.size(); ++t) EXPECT_TRUE(same_tree(a.trees[t], b.trees[t])) << t;
}

void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i]), std::bit_cast<std::uint64_t>(b[i])) << i;
    }
}

const std::vector<TreeRange> kRanges = {{0, 2}, {2, 2}, {2, 5}, {5, 7}};

template <class Est>
Est fit_in_parts(const ForestConfig& config, const Data& d) {
    std::vector<Est> parts;
    for (const TreeRange& r : kRanges) {
        parts.emplace_back(config);
        parts.back().fit(d.x.view(), view(d.y), std::nullopt, r);
        EXPECT_EQ(parts.back().forest.size(), r.size());
    }
    return Est::join(std::move(parts));
}

// Each part draws (and drops) the plan of the trees before its range, so its trees are those
// of the whole fit, with and without bootstrap draws to skip.
TEST(ForestParts, JoinedPartsAreTheWholeForest) {
    const Data d = make_data(300, 5, 1);
    for (bool bootstrap : {true, false}) {
        ForestConfig config{7, 6, std::string("sqrt"), bootstrap, 11, 2, 1};
        RandomForestRegressor whole_r(config);
        whole_r.fit(d.x.view(), view(d.y), std::nullopt);
        const RandomForestRegressor joined_r = fit_in_parts<RandomForestRegressor>(config, d);
        expect_same_forest(whole_r.forest, joined_r.forest);
        expect_same_bits(whole_r.predict(d.x.view()), joined_r.predict(d.x.view()));
        EXPECT_FALSE(joined_r.part.has_value());

        RandomForestClassifier whole_c(config);
        whole_c.fit(d.x.view(), view(d.y), std::nullopt);
        const RandomForestClassifier joined_c = fit_in_parts<RandomForestClassifier>(config, d);
        expect_same_forest(whole_c.forest, joined_c.forest);
        expect_same_bits(whole_c.predict_proba_flat(d.x.view()),
                         joined_c.predict_proba_flat(d.x.view()));
        EXPECT_EQ(joined_c.classes, whole_c.classes);
        EXPECT_EQ(joined_c.n_classes, 3u);
    }
}

// Parts travel as saved states: loaded back they keep their range and fingerprint, and the
// joined model saves to the very bytes of the whole fit.
TEST(ForestParts, SavedPartsJoinToTheWholeFitsBytes) {
    const Data d = make_data(200, 4, 6);
    const ForestConfig config{6, 5, std::nullopt, true, 21, 2, 1};
    RandomForestClassifier whole(config);
    whole.fit(d.x.view(), view(d.y), std::nullopt);
    std::vector<RandomForestClassifier> loaded;
    for (const TreeRange& r : {TreeRange{0, 4}, TreeRange{4, 6}}) {
        RandomForestClassifier part(config);
        part.fit(d.x.view(), view(d.y), std::nullopt, r);
        loaded.push_back(load_state<RandomForestClassifier>(save_state(part)).estimator);
        EXPECT_EQ(loaded.back().part, part.part);
    }
    const RandomForestClassifier joined = RandomForestClassifier::join(std::move(loaded));
    EXPECT_EQ(save_state(joined), save_state(whole));
}

TEST(ForestParts, JoinedUnsupervisedPartsAreTheWholeModel) {
    const Data d = make_data(120, 4, 2);
    UnsupervisedConfig config;
    config.n_estimators = 7;
    config.random_state = 5;
    config.max_depth = 5;
    RandomForestUnsupervised whole(config);
    whole.fit(d.x.view());
    std::vector<RandomForestUnsupervised> parts;
    for (const TreeRange& r : kRanges) {
        parts.emplace_back(config);
        parts.back().fit(d.x.view(), r);
    }
    const RandomForestUnsupervised joined = RandomForestUnsupervised::join(std::move(parts));
    expect_same_forest(whole.forest, joined.forest);
    EXPECT_EQ(joined.oob_sets, whole.oob_sets);
    EXPECT_EQ(joined.x_train->values, whole.x_train->values);
    EXPECT_EQ(joined.n_samples, whole.n_samples);
    EXPECT_FALSE(joined.part.has_value());
    expect_same_bits(joined.proximity_matrix(true).values, whole.proximity_matrix(true).values);
    EXPECT_EQ(save_state(joined), save_state(whole));
}

TEST(ForestParts, RangesAndJoinsOfDifferentFitsAreRefused) {
    const Data d = make_data(60, 3, 3);
    const ForestConfig config{4, 3, std::nullopt, true, 8, 2, 1};
    const auto part = [&](TreeRange r, ForestConfig c, const std::vector<double>& y) {
        RandomForestRegressor est(std::move(c));
        est.fit(d.x.view(), view(y), std::nullopt, r);
        return est;
    };
    // A range outside the forest, or without a fixed seed, fails before anything changes.
    RandomForestRegressor est(config);
    EXPECT_EQ(message_of([&] { est.fit(d.x.view(), view(d.y), std::nullopt, TreeRange{3, 5}); }),
              "tree_range [3, 5) is not inside the forest's trees [0, 4)");
    EXPECT_EQ(message_of([&] { est.fit(d.x.view(), view(d.y), std::nullopt, TreeRange{3, 2}); }),
              "tree_range [3, 2) is not inside the forest's trees [0, 4)");
    ForestConfig unseeded = config;
    unseeded.random_state.reset();
    EXPECT_NE(message_of([&] { part({0, 1}, unseeded, d.y); }).find("needs a fixed random_state"),
              std::string::npos);
    EXPECT_FALSE(est.is_fitted);

    std::vector<double> other_y = d.y;
    other_y[7] += 1.0;
    ForestConfig deeper = config;
    deeper.max_depth = 4;
    RandomForestRegressor whole(config);
    whole.fit(d.x.view(), view(d.y), std::nullopt);
    const auto a = part({0, 2}, config, d.y), b = part({2, 4}, config, d.y),
               mid = part({1, 3}, config, d.y), other_data = part({2, 4}, config, other_y),
               other_config = part({2, 4}, deeper, d.y);
    const auto join = [](std::vector<RandomForestRegressor> parts) {
        return message_of([&] { RandomForestRegressor::join(std::move(parts)); });
    };
    EXPECT_EQ(join({}), "join needs at least one part");
    EXPECT_EQ(join({a, whole}), "part 1 was not fitted with a tree_range");
    EXPECT_EQ(join({a, other_config}), "part 1 was made with other parameters than part 0");
    EXPECT_EQ(join({a, other_data}), "part 1 was fitted on other data than part 0");
    EXPECT_EQ(join({b, a}), "part 0 holds trees [2, 4) where trees from 0 on were expected next");
    EXPECT_EQ(join({a, mid}), "part 1 holds trees [1, 3) where trees from 2 on were expected next");
    EXPECT_EQ(join({a}), "the parts hold trees [0, 2) of a forest of 4");
    EXPECT_EQ(join({a, b}), "no error");
}

}  // namespace
}  // namespace canopy
