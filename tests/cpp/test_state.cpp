#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/rng.hpp"
#include "engine/state_io.hpp"
#include "estimators/state.hpp"

namespace canopy {
namespace {

// ---- Data and helpers ------------------------------------------------------------------------

struct Data {
    Matrix x;
    std::vector<double> y;  // class indices 0..classes-1
    std::vector<double> target;
};

Data make_data(std::size_t n, std::size_t p, std::size_t classes, std::uint64_t seed) {
    Pcg64 g = Pcg64::seed_from_u64(seed);
    Data d{Matrix(n, p), std::vector<double>(n), std::vector<double>(n)};
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < p; ++c) d.x(i, c) = static_cast<double>(g.index_u64(50)) / 7.0;
        d.y[i] = static_cast<double>((static_cast<std::size_t>(d.x(i, 0)) + i % 2) % classes);
        d.target[i] = d.x(i, 1) * 2.0 - d.x(i, 2) + static_cast<double>(g.index_u64(3));
    }
    return d;
}

DecisionTreeConfig tree_config(std::optional<std::uint64_t> max_depth,
                               std::string task = "classification") {
    DecisionTreeConfig c;
    c.max_depth = max_depth;
    c.task = std::move(task);
    return c;
}

VectorView view(const std::vector<double>& v) { return {v.data(), v.size(), 1}; }

template <class T>
std::vector<std::uint64_t> bits(const std::vector<T>& values) {
    std::vector<std::uint64_t> out;
    for (const auto& v : values) {
        if constexpr (std::is_same_v<T, double>) {
            out.push_back(std::bit_cast<std::uint64_t>(v));
        } else {
            for (double d : v) out.push_back(std::bit_cast<std::uint64_t>(d));
        }
    }
    return out;
}

std::vector<std::uint64_t> bits(const Matrix& m) { return bits(m.values); }

// The estimator's state, loaded back; its state must be the same bytes again.
template <class Est>
Est round_trip(const Est& est, WorkerCap n_jobs = std::nullopt) {
    const StateBytes saved = save_state(est, n_jobs);
    Restored<Est> loaded = load_state<Est>(saved);
    EXPECT_EQ(loaded.n_jobs, n_jobs);
    EXPECT_EQ(save_state(loaded.estimator, n_jobs), saved);
    return std::move(loaded.estimator);
}

// Recomputes the header's checksum after a deliberate change of the payload, so that the
// change reaches the structural checks.
void reseal(StateBytes& s) {
    const std::uint32_t crc = crc32(std::span<const std::uint8_t>(s).subspan(kStateHeaderSize));
    for (int i = 0; i < 4; ++i) s[24 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

template <class Est>
std::string load_error(const StateBytes& s) {
    try {
        load_state<Est>(s);
    } catch (const StateError& e) {
        return e.what();
    }
    return "(loaded)";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---- Round trips -----------------------------------------------------------------------------

TEST(StateRoundTrip, TreesAndForestsAnswerWithTheSameBits) {
    const Data d = make_data(300, 5, 3, 1);
    const Data wide = make_data(200, 4, 12, 2);  // > 8 classes: probabilities kept as runs

    DecisionTree tree(tree_config(6));
    tree.fit(wide.x.view(), view(wide.y), std::nullopt);
    const DecisionTree tree2 = round_trip(tree);
    EXPECT_EQ(bits(tree2.predict_proba(wide.x.view())), bits(tree.predict_proba(wide.x.view())));
    EXPECT_EQ(tree2.get_depth(), tree.get_depth());

    DecisionTree reg(tree_config(std::nullopt, "regression"));
    reg.fit(d.x.view(), view(d.target), std::nullopt);
    EXPECT_EQ(bits(round_trip(reg).predict(d.x.view())), bits(reg.predict(d.x.view())));

    ForestConfig fc;
    fc.n_estimators = 7;
    fc.random_state = 3;
    fc.max_features = "sqrt";
    RandomForestClassifier rfc(fc);
    rfc.fit(d.x.view(), view(d.y), std::nullopt);
    const RandomForestClassifier rfc2 = round_trip(rfc, 3);
    EXPECT_EQ(bits(rfc2.predict_proba_flat(d.x.view())), bits(rfc.predict_proba_flat(d.x.view())));
    EXPECT_EQ(*rfc2.classes, *rfc.classes);

    // No trees but twelve classes: the class count is not bounded by the trees' bytes.
    ForestConfig none;
    none.n_estimators = 0;
    RandomForestClassifier empty(none);
    std::vector<double> twelve(wide.y.size());
    for (std::size_t i = 0; i < twelve.size(); ++i) twelve[i] = static_cast<double>(i % 12);
    empty.fit(wide.x.view(), view(twelve), std::nullopt);
    EXPECT_EQ(round_trip(empty).n_classes, 12u);

    RandomForestRegressor rfr(fc);
    rfr.fit(d.x.view(), view(d.target), std::nullopt);
    EXPECT_EQ(bits(round_trip(rfr, -1).predict(d.x.view())), bits(rfr.predict(d.x.view())));
}

TEST(StateRoundTrip, BoostedModelsKeepScoresQuantileAndImportances) {
    const Data d = make_data(250, 4, 3, 4);
    BoostConfig bc;
    bc.n_estimators = 4;
    bc.rf_n_estimators = 3;
    bc.rf_max_depth = 4;
    bc.random_state = 9;
    CanopyRegressor reg(bc, 0.3);
    reg.fit(d.x.view(), view(d.target), std::nullopt);
    const CanopyRegressor reg2 = round_trip(reg);
    EXPECT_EQ(bits(reg2.predict_ci(d.x.view(), 0.1)), bits(reg.predict_ci(d.x.view(), 0.1)));
    EXPECT_EQ(bits(reg2.feature_importances()), bits(reg.feature_importances()));
    EXPECT_EQ(reg2.trees_used, reg.trees_used);

    CanopyClassifier multi(bc);
    multi.fit(d.x.view(), view(d.y), std::nullopt);
    EXPECT_EQ(bits(round_trip(multi).predict_proba(d.x.view())),
              bits(multi.predict_proba(d.x.view())));

    std::vector<double> binary(d.y);
    for (double& v : binary) v = v > 0 ? 1.0 : 0.0;
    CanopyClassifier two(bc);
    two.fit(d.x.view(), view(binary), std::nullopt);
    EXPECT_EQ(bits(round_trip(two).predict_ci(d.x.view(), 0.05)),
              bits(two.predict_ci(d.x.view(), 0.05)));
}

TEST(StateRoundTrip, UnsupervisedForestKeepsRowsOutOfBagSetsAndNeighbourLists) {
    const Data d = make_data(80, 3, 2, 5);
    UnsupervisedConfig uc;
    uc.n_estimators = 12;
    uc.random_state = 1;
    RandomForestUnsupervised m(uc);
    m.fit(d.x.view());
    m.proximity_sparse(5);  // kept: outlier_scores(use_sparse) reads them
    const RandomForestUnsupervised m2 = round_trip(m);
    EXPECT_EQ(bits(m2.proximity_matrix(true)), bits(m.proximity_matrix(true)));
    EXPECT_EQ(bits(m2.outlier_scores(true)), bits(m.outlier_scores(true)));
    EXPECT_EQ(bits(m2.predict_outlier_scores(d.x.view())),
              bits(m.predict_outlier_scores(d.x.view())));
    EXPECT_EQ(bits(m2.transform(2)), bits(m.transform(2)));
    EXPECT_EQ(bits(m2.feature_importances()), bits(m.feature_importances()));
}

TEST(StateRoundTrip, ExplainerAndUnfittedEstimators) {
    const Data d = make_data(120, 4, 3, 6);
    DecisionTree tree(tree_config(4));
    tree.fit(d.x.view(), view(d.y), std::nullopt);
    const TreeShap shap(tree, d.x.view(), "classification");
    const TreeShap shap2 = round_trip(shap);
    const auto a = shap.explain(d.x.view());
    const auto b = shap2.explain(d.x.view());
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t r = 0; r < a.size(); ++r) EXPECT_EQ(bits(a[r]), bits(b[r]));

    // Configuration alone: the loaded estimator is unfitted and fits like the original.
    DecisionTreeConfig config = tree_config(3);
    config.criterion = "gini";
    config.random_state = 8;
    DecisionTree fresh(config);
    DecisionTree loaded = round_trip(fresh);
    EXPECT_FALSE(loaded.is_fitted);
    EXPECT_EQ(loaded.config.criterion, "gini");
    loaded.fit(d.x.view(), view(d.y), std::nullopt);
    fresh.fit(d.x.view(), view(d.y), std::nullopt);
    EXPECT_EQ(bits(loaded.predict(d.x.view())), bits(fresh.predict(d.x.view())));
    EXPECT_FALSE(round_trip(CanopyRegressor(BoostConfig{}, 0.25)).is_fitted);
    EXPECT_FALSE(round_trip(RandomForestUnsupervised(UnsupervisedConfig{})).is_fitted);
}

// ---- Hostile bytes ---------------------------------------------------------------------------

TEST(StateReader, HeaderFaultsAreNamed) {
    const Data d = make_data(60, 3, 2, 7);
    DecisionTree tree(DecisionTreeConfig{});
    tree.fit(d.x.view(), view(d.y), std::nullopt);
    const StateBytes good = save_state(tree);

    StateBytes s = good;
    s[0] = 'P';
    EXPECT_TRUE(contains(load_error<DecisionTree>(s), "not a canopy state"));
    s = good;
    s[8] = 2;
    EXPECT_EQ(load_error<DecisionTree>(s),
              "canopy state: format version 2 is newer than this canopy reads (1); load it with "
              "the canopy release that saved it or a later one");
    EXPECT_EQ(load_error<RandomForestClassifier>(good),
              "canopy state: the state is for DecisionTree, not RandomForestClassifier");
    s = StateBytes(good.begin(), good.end() - 1);
    EXPECT_TRUE(contains(load_error<DecisionTree>(s), "truncated"));
    s = good;
    s.push_back(0);
    EXPECT_TRUE(contains(load_error<DecisionTree>(s), "1 unexpected bytes"));
    s = good;
    s[kStateHeaderSize + 40] ^= 0x10;
    EXPECT_EQ(load_error<DecisionTree>(s),
              "canopy state: checksum mismatch: the state is corrupted");
    // Every prefix fails cleanly.
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_NE(load_error<DecisionTree>(StateBytes(good.begin(), good.begin() + n)), "(loaded)");
    }
}

TEST(StateReader, StructureIsCheckedBeforeAnyQueryCanTrustIt) {
    const Data d = make_data(60, 3, 2, 8);
    DecisionTree tree(tree_config(3));
    tree.fit(d.x.view(), view(d.y), std::nullopt);
    const StateBytes good = save_state(tree);
    const PackedTree& t = *tree.tree();
    ASSERT_FALSE(t.is_leaf(0));
    // The payload up to the nodes: cap flag (1), max_depth (9), criterion (8 + 7), task
    // (8 + 14), random_state (1), two counts (16), fitted (1), classes (1 + 8 + 16),
    // n_classes (8), tree count (8), node count (8).
    const std::size_t nodes = kStateHeaderSize + 1 + 9 + 15 + 22 + 1 + 16 + 1 + 25 + 8 + 8 + 8;
    auto with = [&](std::size_t at, const void* value, std::size_t n) {
        StateBytes s = good;
        std::memcpy(s.data() + at, value, n);
        reseal(s);
        return load_error<DecisionTree>(s);
    };
    ASSERT_EQ(std::memcmp(good.data() + nodes, &t.nodes[0], 16), 0);
    const std::uint32_t same = 1;  // the root's right child where its left child is
    EXPECT_TRUE(contains(with(nodes + 12, &same, 4), "children outside the tree"));
    const std::uint32_t self = 0;  // an internal node looping like a leaf
    EXPECT_TRUE(contains(with(nodes + 12, &self, 4), "leaf 0 tests a feature"));
    const std::uint32_t skip = static_cast<std::uint32_t>(t.size() - 1);
    EXPECT_TRUE(contains(with(nodes + 12, &skip, 4), "pre-order"));
    const double finite = 1.0;  // a leaf must never send a row on
    std::size_t first_leaf = 0;
    while (!t.is_leaf(first_leaf)) ++first_leaf;
    EXPECT_TRUE(contains(with(nodes + 16 * first_leaf, &finite, 8), "tests a feature"));
    const std::uint64_t huge = ~std::uint64_t{0} >> 4;  // a count no state can hold
    EXPECT_TRUE(contains(with(nodes - 8, &huge, 8), "does not fit"));
    const std::uint8_t flag = 7;
    EXPECT_TRUE(contains(with(kStateHeaderSize, &flag, 1), "not 0 or 1"));
    // Texts go back to Python as strings: bytes that are not UTF-8 are a corrupt state,
    // whether a stray byte, a sequence cut short or an overlong form.
    const std::size_t criterion = kStateHeaderSize + 1 + 9 + 8;
    for (const char* bad : {"\xFF", "\xC3", "\xC0\xAF", "\xED\xA0\x80"}) {
        EXPECT_TRUE(contains(with(criterion + 1, bad, std::strlen(bad)), "not UTF-8")) << bad;
    }
    // A well-formed two-byte character is a text like any other.
    EXPECT_EQ(with(criterion + 1, "\xC3\xA9", 2), "(loaded)");

    // A boosted split on a feature the model was not fitted on.
    BoostConfig bc;
    bc.n_estimators = 1;
    bc.rf_n_estimators = 1;
    bc.random_state = 1;
    CanopyRegressor reg(bc, 0.2);
    reg.fit(d.x.view(), view(d.target), std::nullopt);
    reg.n_features = 1;  // as if the state claimed fewer features than the splits use
    const StateBytes narrowed = save_state(reg);
    EXPECT_TRUE(contains(load_error<CanopyRegressor>(narrowed), "beyond the model's features"));
}

TEST(StateReader, ResealedMutationsNeverEscapeAsAnythingButStateErrors) {
    const Data d = make_data(40, 3, 3, 9);
    RandomForestClassifier rfc([] {
        ForestConfig c;
        c.n_estimators = 3;
        c.random_state = 2;
        return c;
    }());
    rfc.fit(d.x.view(), view(d.y), std::nullopt);
    const StateBytes good = save_state(rfc);
    Pcg64 g = Pcg64::seed_from_u64(11);
    std::size_t loaded = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        StateBytes s = good;
        const std::size_t at = kStateHeaderSize + g.index_u64(s.size() - kStateHeaderSize);
        s[at] = static_cast<std::uint8_t>(trial % 3 == 0 ? 0xFF : g.index_u64(256));
        reseal(s);
        try {
            const RandomForestClassifier m = load_state<RandomForestClassifier>(s).estimator;
            m.predict_proba_flat(d.x.view());  // a loaded model must be safe to query
            ++loaded;
        } catch (const StateError&) {
        } catch (const InternalError&) {  // a row narrower than a tested feature, say
        }
    }
    // Changed thresholds and values still load: the checks reject structure, not numbers.
    EXPECT_GT(loaded, 0u);
}

}  // namespace
}  // namespace canopy
