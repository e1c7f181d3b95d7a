#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <vector>

#include "engine/errors.hpp"
#include "engine/exact_split.hpp"
#include "engine/forest.hpp"
#include "same_tree.hpp"

namespace canopy {
namespace {

// The search as a plain recursion: one sorted copy per candidate feature per node, map-based
// class counts. Slow and obviously literal; the grower must match it node for node.
class ReferenceGrower {
public:
    ReferenceGrower(const MatrixView& x, std::span<const double> y, std::span<const double> w,
                    const TreeParams& p, Pcg64& rng)
        : x_(x), y_(y), w_(w), p_(p), rng_(rng) {}

    Tree grow(std::vector<RowIndex> indices) {
        node(std::move(indices), 0);
        return std::move(tree_);
    }

private:
    std::uint32_t node(std::vector<RowIndex> idx, std::uint64_t depth) {
        const std::uint32_t id = tree_.add_node();
        const std::size_t n = idx.size();
        auto leaf = [&] {
            create_leaf(tree_, id, y_, w_, idx, p_.is_classification);
            return id;
        };
        if (n < p_.min_samples_split || (p_.max_depth && depth >= *p_.max_depth)) return leaf();
        if (p_.is_classification) {
            bool pure = true;
            for (RowIndex r : idx) pure = pure && class_index(y_[r]) == class_index(y_[idx[0]]);
            if (pure) return leaf();
        } else if (n == 0) {
            return leaf();
        }
        double total = 0.0;
        for (RowIndex r : idx) total += w_[r];
        if (total <= 0.0) return leaf();

        std::vector<std::size_t> features(x_.cols);
        std::iota(features.begin(), features.end(), std::size_t{0});
        rng_.shuffle(std::span<std::size_t>(features));
        std::size_t k = x_.cols;
        if (p_.max_features && *p_.max_features < k) k = *p_.max_features;

        std::map<std::uint64_t, double> counts;
        double s1 = 0.0, s2 = 0.0, parent = 0.0;
        if (p_.is_classification) {
            for (RowIndex r : idx) counts[class_index(y_[r])] += w_[r];
            parent = 1.0 - gini_sum(counts, total);
        } else {
            for (RowIndex r : idx) {
                s1 += w_[r] * y_[r];
                s2 += y_[r] * (w_[r] * y_[r]);
            }
            parent = s2 / total - (s1 / total) * (s1 / total);
        }

        double best_gain = 0.0, best_threshold = 0.0;
        std::size_t best_feature = 0;
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t f = features[j];
            std::vector<RowIndex> sorted = idx;
            std::stable_sort(sorted.begin(), sorted.end(),
                             [&](RowIndex a, RowIndex b) { return x_(a, f) < x_(b, f); });
            double wl = 0.0, s1l = 0.0, s2l = 0.0;
            std::map<std::uint64_t, double> left, right = counts;
            for (std::size_t pos = 0; pos + 1 < n; ++pos) {
                const RowIndex r = sorted[pos];
                wl += w_[r];
                const std::size_t nl = pos + 1;
                if (p_.is_classification) {
                    left[class_index(y_[r])] += w_[r];
                    right[class_index(y_[r])] -= w_[r];
                } else {
                    s1l += w_[r] * y_[r];
                    s2l += y_[r] * (w_[r] * y_[r]);
                }
                const double wr = total - wl;
                const double a = x_(r, f), b = x_(sorted[pos + 1], f);
                if (a == b || nl < p_.min_samples_leaf || n - nl < p_.min_samples_leaf ||
                    !(wl > 0.0) || !(wr > 0.0)) {
                    continue;
                }
                double gain;
                if (p_.is_classification) {
                    const double gl = 1.0 - gini_sum(left, wl), gr = 1.0 - gini_sum(right, wr);
                    gain = parent - (wl * gl + wr * gr) / total;
                } else {
                    const double s1r = s1 - s1l, s2r = s2 - s2l;
                    const double vl = s2l / wl - (s1l / wl) * (s1l / wl);
                    const double vr = s2r / wr - (s1r / wr) * (s1r / wr);
                    gain = parent - (wl * vl + wr * vr) / total;
                }
                if (gain > best_gain) {
                    best_gain = gain;
                    best_feature = f;
                    best_threshold = (a + b) * 0.5;
                }
            }
        }
        if (best_gain <= 0.0) return leaf();
        std::vector<RowIndex> l, r;
        for (RowIndex row : idx) (x_(row, best_feature) <= best_threshold ? l : r).push_back(row);
        if (l.size() < p_.min_samples_leaf || r.size() < p_.min_samples_leaf || l.empty() ||
            r.empty()) {
            return leaf();
        }
        TreeNode& t = tree_.nodes[id];
        t.feature = best_feature;
        t.threshold = best_threshold;
        t.n_samples = n;
        const std::uint32_t lid = node(std::move(l), depth + 1);
        const std::uint32_t rid = node(std::move(r), depth + 1);
        tree_.nodes[id].left = lid;
        tree_.nodes[id].right = rid;
        return id;
    }

    static double gini_sum(const std::map<std::uint64_t, double>& counts, double total) {
        double s = 0.0;
        for (const auto& [c, v] : counts) s += (v / total) * (v / total);
        return s;
    }

    const MatrixView& x_;
    std::span<const double> y_, w_;
    const TreeParams& p_;
    Pcg64& rng_;
    Tree tree_;
};

// A small column-major data set, as the fits see a Fortran-ordered array.
struct Data {
    std::size_t rows, cols;
    std::vector<double> x, y, w;
    MatrixView view() const {
        return {x.data(), rows, cols, 1, static_cast<std::ptrdiff_t>(rows)};
    }
};

Data column(std::vector<double> x, std::vector<double> y) {
    Data d{x.size(), 1, std::move(x), std::move(y), {}};
    d.w.assign(d.rows, 1.0);
    return d;
}

std::vector<RowIndex> all_rows(std::size_t n) {
    std::vector<RowIndex> r(n);
    std::iota(r.begin(), r.end(), RowIndex{0});
    return r;
}

Tree grow(const Data& d, const TreeParams& p, std::uint64_t seed = 7) {
    Pcg64 rng = Pcg64::seed_from_u64(seed);
    return build_node_exact(d.view(), d.y, d.w, all_rows(d.rows), p, rng);
}

TreeParams regression() { return TreeParams{}; }
TreeParams classification() {
    TreeParams p;
    p.is_classification = true;
    return p;
}

TEST(ExactSplit, MatchesReferenceOnRandomData) {
    Pcg64 gen = Pcg64::seed_from_u64(2024);
    auto uniform = [&] { return static_cast<double>(gen.next_u64() >> 11) * 0x1.0p-53; };
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t rows = 1 + gen.index_u64(trial % 10 == 0 ? 400 : 60);
        const std::size_t cols = 1 + gen.index_u64(4);
        const bool coarse = trial % 2 == 0;  // few distinct values: many ties
        Data d{rows, cols, {}, {}, {}};
        for (std::size_t i = 0; i < rows * cols; ++i) {
            d.x.push_back(coarse ? static_cast<double>(gen.index_u64(4)) : uniform() * 10 - 5);
        }
        TreeParams p;
        p.is_classification = trial % 3 != 0;
        for (std::size_t i = 0; i < rows; ++i) {
            const double target = trial % 4 == 0 ? uniform() * 8 - 4 : std::round(uniform() * 8);
            d.y.push_back(p.is_classification ? static_cast<double>(gen.index_u64(3)) * 1.5
                                              : target);
            const auto pick = gen.index_u64(5);
            d.w.push_back(pick == 0 ? 0.0 : pick == 1 ? 0.1 : pick == 2 ? uniform() : 1.0);
        }
        p.min_samples_leaf = gen.index_u64(4);
        p.min_samples_split = gen.index_u64(5);
        if (trial % 4 == 1) p.max_depth = gen.index_u64(5);
        if (trial % 5 == 2) p.max_features = gen.index_u64(cols + 1);
        // Bootstrap-style lists: repeats, arbitrary order, not all rows.
        std::vector<RowIndex> idx = all_rows(rows);
        if (trial % 2 == 1) {
            for (auto& r : idx) r = static_cast<RowIndex>(gen.index_u64(rows));
        }
        const std::uint64_t seed = gen.next_u64();
        Pcg64 fast_rng = Pcg64::seed_from_u64(seed), ref_rng = Pcg64::seed_from_u64(seed);
        // Half of the fits read a row-major copy: the layout must not matter.
        std::vector<double> row_major(rows * cols);
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) row_major[r * cols + c] = d.view()(r, c);
        }
        const MatrixView by_rows{row_major.data(), rows, cols,
                                 static_cast<std::ptrdiff_t>(cols), 1};
        const Tree fast =
            build_node_exact(trial % 4 < 2 ? by_rows : d.view(), d.y, d.w, idx, p, fast_rng);
        const Tree ref = ReferenceGrower(d.view(), d.y, d.w, p, ref_rng).grow(idx);
        SCOPED_TRACE(trial);
        EXPECT_TRUE(same_tree(fast, ref));
        EXPECT_EQ(fast_rng.next_u64(), ref_rng.next_u64());  // same draws consumed
    }
}

TEST(ExactSplit, MidpointOnTheUpperValue) {
    // (a + b) * 0.5 rounds onto b here, so the partition sends both rows left.
    const double below_one = std::nextafter(1.0, 0.0);
    ASSERT_EQ((below_one + 1.0) * 0.5, 1.0);
    Tree t = grow(column({below_one, 1.0}, {0, 1}), classification());
    EXPECT_EQ(t.nodes.size(), 1u);

    // The midpoint of 1e308 and 1.5e308 overflows to infinity. Without a minimum leaf size
    // the empty side must still end the growth instead of repeating the same node.
    TreeParams p = regression();
    p.min_samples_leaf = 0;
    p.max_depth = 40;  // bounds a faulty grower; a sound one stops at the root
    t = grow(column({1e308, 1.5e308}, {0, 1}), p);
    ASSERT_EQ(t.nodes.size(), 1u);
    EXPECT_EQ(t.root().value, 0.5);
    p.max_depth.reset();
    t = grow(column({1e308, 1.5e308, 1.5e308}, {0, 1, 2}), p);
    EXPECT_EQ(t.nodes.size(), 1u);
    EXPECT_EQ(t.root().n_samples, 3u);
}

TEST(ExactSplit, DeepChainWithoutRecursion) {
    // Alternating classes along one feature: every split peels off one row, so the tree is
    // as deep as it has rows.
    const std::size_t n = 4000;
    std::vector<double> x(n), y(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<double>(i);
        y[i] = static_cast<double>(i % 2);
    }
    const Tree t = grow(column(x, y), classification());
    const PackedTree packed = PackedTree::pack(t);
    EXPECT_EQ(packed.depth(), n - 1);
    EXPECT_EQ(packed.n_leaves(), n);
}

TEST(ExactSplit, RejectsIndicesOutsideTheData) {
    Data d = column({1, 2}, {0, 1});
    Pcg64 rng = Pcg64::seed_from_u64(0);
    const std::vector<RowIndex> idx{0, 2};
    EXPECT_THROW(build_node_exact(d.view(), d.y, d.w, idx, regression(), rng), InternalError);
    d.x[1] = std::nan("");
    EXPECT_THROW(build_node_exact(d.view(), d.y, d.w, all_rows(2), regression(), rng),
                 InternalError);
}

}  // namespace
}  // namespace canopy
