#include "engine/exact_split.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"

namespace canopy {
namespace {

// Nodes at least this large poll for interrupts between features too: their per-feature
// passes take long enough to matter, and the poll costs nothing beside them.
constexpr std::size_t kPollEntries = std::size_t{1} << 15;

// Positions count entries of the caller's index list (0 .. n-1); a row may sit at several
// positions. A node's list is always an ordered subsequence of the root list, so it is fully
// described by its positions in increasing order, and the stable sort of a node's list by a
// feature is the per-fit order of (value, position) restricted to the node. Every node owns
// one segment [begin, end) of each per-feature array; a split partitions those segments
// stably, so children inherit sorted segments without sorting again.

struct RegressionStat {
    double w;
    double wy;   // w * y
    double wyy;  // y * (w * y)
};

struct ClassStat {
    double w;
    std::uint32_t cls;  // dense class id; ids follow the order of the class indices
};

// Class weight of a pending node, kept in a stack-ordered pool until the node is grown.
struct SparseCount {
    std::uint32_t cls;
    double w;
};

// A node's totals over its list, in list order: computed by the pass that builds the list
// (the parent's partition), so the node itself needs no extra pass.
struct Totals {
    double w = 0.0;
    double s1 = 0.0;  // regression: sum of w * y
    double s2 = 0.0;  // regression: sum of y * (w * y)
    std::size_t counts_offset = 0;  // classification: its classes in the pool, ascending
    std::size_t counts_size = 0;
};

struct Pending {
    std::size_t begin;
    std::size_t end;
    std::uint64_t depth;
    std::uint32_t parent;  // kNoChild for the root
    bool is_right;
    Totals totals;
};

struct Best {
    double gain = 0.0;
    double weighted = 0.0;  // WL * impurity_L + WR * impurity_R of the best candidate
    bool found = false;
    std::size_t feature = 0;
    double threshold = 0.0;
};

// Cheap proofs that a candidate cannot beat the best one, so that most candidates skip the
// divisions of their impurities. Both are stated on the exact value A of the weighted child
// impurity (a function of the float sums), with E bounding the float evaluation's distance from
// A: A - E > best means the evaluated value exceeds best, so its gain cannot be higher. Bounds
// (u = 2^-53): regression E <= u (4.1 (S2L + |S2R|) + 6.1 D), Gini with k classes
// E <= u ((k + 8) D + 4 (WL + WR)), D being the weighted sum of squared means or proportions.
// The tests multiply through by WL * WR and charge the float error of the test itself, with
// the slack rounded well up. They are used only where weights and targets are in ranges that
// keep every product of the test normal and finite (see `bounded_inputs`).
constexpr double kUnit = 0x1.0p-53;

// A = S2L + S2R - (S1L^2 / WL + S1R^2 / WR).
inline bool regression_cannot_win(double wl, double wr, double s1l, double s1r, double s2l,
                                  double s2r, double best) {
    const double prod = wl * wr;
    const double lhs = (s2l + s2r - best) * prod;
    const double rhs = s1l * s1l * wr + s1r * s1r * wl;
    const double slack = 64.0 * kUnit * ((s2l + std::fabs(s2r) + std::fabs(best)) * prod + rhs);
    return lhs - rhs > slack;
}

// A = WL + WR - (QL / WL + QR / WR), Q being the sum of squared class weights of a side.
inline bool gini_cannot_win(double wl, double wr, double ql, double qr, double best,
                            std::size_t classes) {
    const double prod = wl * wr;
    const double lhs = (wl + wr - best) * prod;
    const double rhs = ql * wr + qr * wl;
    const double factor = (64.0 + 4.0 * static_cast<double>(classes)) * kUnit;
    const double slack = factor * ((wl + wr + std::fabs(best)) * prod + rhs);
    return lhs - rhs > slack;
}

class ExactGrower {
public:
    ExactGrower(const MatrixView& x, std::span<const double> y, std::span<const double> w,
                std::span<const RowIndex> indices, const TreeParams& params, Pcg64& rng)
        : y_(y), w_(w), indices_(indices), params_(params), rng_(rng), n_(indices.size()),
          m_(x.cols) {
        check_inputs(x);
        presort(x);
        precompute_stats();
        order_.resize(n_);
        std::iota(order_.begin(), order_.end(), RowIndex{0});
        goes_left_.assign(n_, 0);
        features_.resize(m_);
    }

    Tree grow() {
        Tree tree;
        std::vector<Pending> stack;
        stack.push_back({0, n_, 0, kNoChild, false, root_totals()});
        while (!stack.empty()) {
            const Pending node = stack.back();
            stack.pop_back();
            poll_interrupt();
            const std::uint32_t id = tree.add_node();
            if (node.parent != kNoChild) {
                if (node.is_right) {
                    tree.nodes[node.parent].right = id;
                } else {
                    tree.nodes[node.parent].left = id;
                }
            }
            if (params_.is_classification) load_counts(node.totals);
            Best best;
            if (!search(node, best) || !mark_partition(node, best)) {
                make_leaf(tree, id, node);
                continue;
            }
            TreeNode& t = tree.nodes[id];
            t.feature = best.feature;
            t.threshold = best.threshold;
            t.value = 0.0;
            t.n_samples = node.end - node.begin;
            t.has_counts = false;
            Totals left, right;
            split_lists(node, best.feature, left, right);
            const std::size_t mid = node.begin + n_left_;
            // Right pushed first so that the left subtree is finished (and the generator
            // consumed) before the right child is searched.
            stack.push_back({mid, node.end, node.depth + 1, id, true, right});
            stack.push_back({node.begin, mid, node.depth + 1, id, false, left});
        }
        return tree;
    }

private:
    void check_inputs(const MatrixView& x) {
        if (n_ > kMaxRows) fail_internal("index list is longer than a fit can count");
        for (RowIndex row : indices_) {
            if (row >= x.rows || row >= y_.size() || row >= w_.size()) {
                fail_internal("row index " + std::to_string(row) + " is outside the training data");
            }
        }
        if (!params_.is_classification) return;
        // Dense class ids keep the per-node class arrays small whatever the label values.
        classes_ = sorted_classes(indices_.size(), [&](std::size_t p) { return y_[indices_[p]]; });
    }

    void presort(const MatrixView& x) {
        const std::size_t total = checked_mul(m_, n_);
        vals_.resize(total);
        pos_.resize(total);
        // Gather the listed rows feature by feature, reading memory in its own order.
        if (x.rows_contiguous()) {
            for (std::size_t p = 0; p < n_; ++p) {
                const double* row =
                    x.data + static_cast<std::ptrdiff_t>(indices_[p]) * x.row_stride;
                for (std::size_t f = 0; f < m_; ++f) vals_[f * n_ + p] = row[f];
            }
        } else {
            for (std::size_t f = 0; f < m_; ++f) {
                for (std::size_t p = 0; p < n_; ++p) vals_[f * n_ + p] = x(indices_[p], f);
            }
        }
        std::vector<std::pair<double, RowIndex>> keyed(n_);
        for (std::size_t f = 0; f < m_; ++f) {
            poll_interrupt();
            double* v = vals_.data() + f * n_;
            RowIndex* q = pos_.data() + f * n_;
            for (std::size_t p = 0; p < n_; ++p) {
                if (std::isnan(v[p])) fail_internal("NaN reached the exact split search");
                keyed[p] = {v[p], static_cast<RowIndex>(p)};
            }
            // Equal values (including -0.0 and 0.0) keep list order: ties go by position.
            std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
                return a.first < b.first || (a.first == b.first && a.second < b.second);
            });
            for (std::size_t i = 0; i < n_; ++i) {
                v[i] = keyed[i].first;
                q[i] = keyed[i].second;
            }
        }
        tmp_vals_.resize(n_);
        tmp_pos_.resize(n_);
    }

    // Whether every listed weight and target is 0 or of magnitude within [1e-30, 1e30]: then
    // the products in the candidate filters neither overflow nor leave the normal range.
    bool bounded_inputs() const {
        auto in_range = [](double v) {
            const double a = std::fabs(v);
            return a == 0.0 || (a >= 1e-30 && a <= 1e30);
        };
        for (RowIndex row : indices_) {
            if (!in_range(w_[row])) return false;
            if (!params_.is_classification && !in_range(y_[row])) return false;
        }
        return true;
    }

    void precompute_stats() {
        bounded_ = bounded_inputs();
        if (params_.is_classification) {
            cstat_.resize(n_);
            for (std::size_t p = 0; p < n_; ++p) {
                const RowIndex row = indices_[p];
                const auto it =
                    std::lower_bound(classes_.begin(), classes_.end(), class_index(y_[row]));
                cstat_[p] = {w_[row], static_cast<std::uint32_t>(it - classes_.begin())};
            }
            node_counts_.assign(classes_.size(), 0.0);
            left_counts_.assign(classes_.size(), 0.0);
            right_counts_.assign(classes_.size(), 0.0);
            side_counts_.assign(checked_mul(2, classes_.size()), 0.0);
            side_seen_.assign(2 * classes_.size(), 0);
        } else {
            rstat_.resize(n_);
            for (std::size_t p = 0; p < n_; ++p) {
                const RowIndex row = indices_[p];
                const double w = w_[row];
                const double wy = w * y_[row];
                rstat_[p] = {w, wy, y_[row] * wy};
            }
        }
    }

    void make_leaf(Tree& tree, std::uint32_t id, const Pending& node) {
        rows_.clear();
        for (std::size_t i = node.begin; i < node.end; ++i) rows_.push_back(indices_[order_[i]]);
        create_leaf(tree, id, y_, w_, rows_, params_.is_classification);
    }

    // Stopping rules, the feature shuffle and the sweep of every candidate feature.
    // False when the node is a leaf before or after the search.
    bool search(const Pending& node, Best& best) {
        const std::size_t n = node.end - node.begin;
        if (n < params_.min_samples_split) return false;
        if (params_.max_depth && node.depth >= *params_.max_depth) return false;
        if (n == 0) return false;  // pure for classification, empty for regression
        if (params_.is_classification && present_.size() <= 1) return false;
        const double total_w = node.totals.w;
        if (total_w <= 0.0) return false;

        std::iota(features_.begin(), features_.end(), std::size_t{0});
        rng_.shuffle(std::span<std::size_t>(features_));
        std::size_t k = m_;
        if (params_.max_features && *params_.max_features < m_) k = *params_.max_features;

        if (params_.is_classification) {
            double sum_sq = 0.0;
            for (std::uint32_t c : present_) {
                const double p = node_counts_[c] / total_w;
                sum_sq += p * p;
            }
            const double gini = 1.0 - sum_sq;
            for (std::size_t j = 0; j < k; ++j) {
                if (n >= kPollEntries) poll_interrupt();
                sweep_classes(node, features_[j], total_w, gini, best);
            }
        } else {
            const double s1 = node.totals.s1;
            const double s2 = node.totals.s2;
            const double mean = s1 / total_w;
            const double var = s2 / total_w - mean * mean;
            for (std::size_t j = 0; j < k; ++j) {
                if (n >= kPollEntries) poll_interrupt();
                sweep_regression(node, features_[j], total_w, s1, s2, var, best);
            }
        }
        return best.found && best.gain > 0.0;
    }

    // Takes the node's class weights off the top of the pool.
    void load_counts(const Totals& t) {
        present_.clear();
        for (std::size_t i = t.counts_offset; i < t.counts_offset + t.counts_size; ++i) {
            present_.push_back(pool_[i].cls);
            node_counts_[pool_[i].cls] = pool_[i].w;
        }
        pool_.resize(t.counts_offset);
    }

    Totals root_totals() {
        Totals t;
        if (!params_.is_classification) {
            for (std::size_t i = 0; i < n_; ++i) {
                const RegressionStat& s = rstat_[order_[i]];
                t.w += s.w;
                t.s1 += s.wy;
                t.s2 += s.wyy;
            }
            return t;
        }
        for (std::size_t i = 0; i < n_; ++i) {
            const ClassStat& s = cstat_[order_[i]];
            t.w += s.w;
            add_to_side(0, s);
        }
        flush_side(0, t);
        return t;
    }

    void add_to_side(int side, const ClassStat& s) {
        const std::size_t slot = static_cast<std::size_t>(side) * classes_.size() + s.cls;
        if (!side_seen_[slot]) {
            side_seen_[slot] = 1;
            side_present_[side].push_back(s.cls);
        }
        side_counts_[slot] += s.w;
    }

    void push_two(Totals& t, std::size_t n0, double w0, std::size_t n1, double w1) {
        t.counts_offset = pool_.size();
        if (n0 > 0) pool_.push_back({present_[0], w0});
        if (n1 > 0) pool_.push_back({present_[1], w1});
        t.counts_size = pool_.size() - t.counts_offset;
    }

    // Moves one side's class weights into the pool (ascending class order) and clears them.
    void flush_side(int side, Totals& t) {
        auto& present = side_present_[side];
        std::sort(present.begin(), present.end());
        t.counts_offset = pool_.size();
        t.counts_size = present.size();
        for (std::uint32_t c : present) {
            const std::size_t slot = static_cast<std::size_t>(side) * classes_.size() + c;
            pool_.push_back({c, side_counts_[slot]});
            side_counts_[slot] = 0.0;
            side_seen_[slot] = 0;
        }
        present.clear();
    }

    // A candidate's gain falls as its weighted child impurity grows (both roundings are
    // monotone), so a candidate whose weighted impurity exceeds the best one's cannot win;
    // only the others need the final division.
    static void consider(double parent, double weighted, double total_w, double threshold,
                         std::size_t feature, Best& best) {
        if (best.found && !(weighted <= best.weighted)) return;
        const double gain = parent - weighted / total_w;
        if (gain > best.gain) {
            best.gain = gain;
            best.weighted = weighted;
            best.found = true;
            best.feature = feature;
            best.threshold = threshold;
        }
    }

    void sweep_regression(const Pending& node, std::size_t f, double total_w, double s1,
                          double s2, double var, Best& best) {
        const double* v = vals_.data() + f * n_;
        const RowIndex* q = pos_.data() + f * n_;
        const std::size_t n = node.end - node.begin;
        const std::uint64_t msl = params_.min_samples_leaf;
        double wl = 0.0;
        double s1l = 0.0;
        double s2l = 0.0;
        for (std::size_t i = node.begin; i + 1 < node.end; ++i) {
            const RegressionStat& s = rstat_[q[i]];
            wl += s.w;
            s1l += s.wy;
            s2l += s.wyy;
            const std::size_t nl = i - node.begin + 1;
            if (v[i] == v[i + 1] || nl < msl || n - nl < msl) continue;
            const double wr = total_w - wl;
            if (!(wl > 0.0) || !(wr > 0.0)) continue;
            const double s1r = s1 - s1l;
            const double s2r = s2 - s2l;
            if (best.found && bounded_ &&
                regression_cannot_win(wl, wr, s1l, s1r, s2l, s2r, best.weighted)) {
                continue;
            }
            const double ml = s1l / wl;
            const double mr = s1r / wr;
            const double vl = s2l / wl - ml * ml;
            const double vr = s2r / wr - mr * mr;
            consider(var, wl * vl + wr * vr, total_w, (v[i] + v[i + 1]) * 0.5, f, best);
        }
    }

    void sweep_classes(const Pending& node, std::size_t f, double total_w, double gini,
                       Best& best) {
        const double* v = vals_.data() + f * n_;
        const RowIndex* q = pos_.data() + f * n_;
        const std::size_t n = node.end - node.begin;
        const std::uint64_t msl = params_.min_samples_leaf;
        if (present_.size() == 2) {
            sweep_two_classes(node, f, total_w, gini, best);
            return;
        }
        for (std::uint32_t c : present_) {
            left_counts_[c] = 0.0;
            right_counts_[c] = node_counts_[c];
        }
        double wl = 0.0;
        for (std::size_t i = node.begin; i + 1 < node.end; ++i) {
            const ClassStat& s = cstat_[q[i]];
            wl += s.w;
            left_counts_[s.cls] += s.w;
            right_counts_[s.cls] -= s.w;
            const std::size_t nl = i - node.begin + 1;
            if (v[i] == v[i + 1] || nl < msl || n - nl < msl) continue;
            const double wr = total_w - wl;
            if (!(wl > 0.0) || !(wr > 0.0)) continue;
            if (best.found && bounded_) {
                double ql = 0.0;
                double qr = 0.0;
                for (std::uint32_t c : present_) {
                    ql += left_counts_[c] * left_counts_[c];
                    qr += right_counts_[c] * right_counts_[c];
                }
                if (gini_cannot_win(wl, wr, ql, qr, best.weighted, present_.size())) continue;
            }
            double sum_l = 0.0;
            double sum_r = 0.0;
            for (std::uint32_t c : present_) {
                const double pl = left_counts_[c] / wl;
                const double pr = right_counts_[c] / wr;
                sum_l += pl * pl;
                sum_r += pr * pr;
            }
            const double gl = 1.0 - sum_l;
            const double gr = 1.0 - sum_r;
            consider(gini, wl * gl + wr * gr, total_w, (v[i] + v[i + 1]) * 0.5, f, best);
        }
    }

    // The same sweep for the common two-class node, with the four counts in registers.
    // Adding or subtracting +0.0 for the other class leaves a count unchanged (a count that
    // starts at +0.0 is never -0.0), so each count sees exactly its own class's updates.
    void sweep_two_classes(const Pending& node, std::size_t f, double total_w, double gini,
                           Best& best) {
        const double* v = vals_.data() + f * n_;
        const RowIndex* q = pos_.data() + f * n_;
        const std::size_t n = node.end - node.begin;
        const std::uint64_t msl = params_.min_samples_leaf;
        const std::uint32_t first = present_[0];
        double l0 = 0.0, l1 = 0.0;
        double r0 = node_counts_[first], r1 = node_counts_[present_[1]];
        double wl = 0.0;
        for (std::size_t i = node.begin; i + 1 < node.end; ++i) {
            const ClassStat& s = cstat_[q[i]];
            const bool is_first = s.cls == first;
            wl += s.w;
            l0 += is_first ? s.w : 0.0;
            l1 += is_first ? 0.0 : s.w;
            r0 -= is_first ? s.w : 0.0;
            r1 -= is_first ? 0.0 : s.w;
            const std::size_t nl = i - node.begin + 1;
            if (v[i] == v[i + 1] || nl < msl || n - nl < msl) continue;
            const double wr = total_w - wl;
            if (!(wl > 0.0) || !(wr > 0.0)) continue;
            if (best.found && bounded_ &&
                gini_cannot_win(wl, wr, l0 * l0 + l1 * l1, r0 * r0 + r1 * r1, best.weighted, 2)) {
                continue;
            }
            const double pl0 = l0 / wl, pl1 = l1 / wl;
            const double pr0 = r0 / wr, pr1 = r1 / wr;
            const double gl = 1.0 - (pl0 * pl0 + pl1 * pl1);
            const double gr = 1.0 - (pr0 * pr0 + pr1 * pr1);
            consider(gini, wl * gl + wr * gr, total_w, (v[i] + v[i + 1]) * 0.5, f, best);
        }
    }

    // Sends every entry with value <= threshold left. False when a side ends up below
    // min_samples_leaf or empty: the midpoint of two neighbouring floats can round onto the
    // upper one (or overflow), and a split that moves nothing would repeat forever.
    bool mark_partition(const Pending& node, const Best& best) {
        const std::size_t n = node.end - node.begin;
        const double* v = vals_.data() + best.feature * n_;
        const RowIndex* q = pos_.data() + best.feature * n_;
        std::size_t n_left = 0;
        for (std::size_t i = node.begin; i < node.end; ++i) {
            const bool left = v[i] <= best.threshold;
            goes_left_[q[i]] = left;
            n_left += left;
        }
        n_left_ = n_left;
        const std::uint64_t msl = params_.min_samples_leaf;
        return !(n_left < msl || n - n_left < msl || n_left == 0 || n_left == n);
    }

    // Builds both children's lists (list order kept) with their totals, and carries the sorted
    // segments of every feature into them. The split feature's segment is already in place:
    // its values ascend, so the entries at or below the threshold come first.
    void split_lists(const Pending& node, std::size_t split_feature, Totals& left,
                     Totals& right) {
        RowIndex* q = order_.data();
        std::size_t l = node.begin;
        std::size_t r = 0;
        // Sums are kept in registers; adding +0.0 for the other side leaves a sum unchanged
        // (a sum that starts at +0.0 is never -0.0), so each side's additions are exactly
        // those of its own list.
        double wl = 0.0, wr = 0.0, s1l = 0.0, s1r = 0.0, s2l = 0.0, s2r = 0.0;
        std::size_t distinct[2] = {0, 0};
        const bool two_classes = params_.is_classification && present_.size() == 2;
        if (two_classes) {
            // Class weights per side in registers; entry counts tell which classes are present.
            const std::uint32_t first = present_[0];
            double l0 = 0.0, l1 = 0.0, r0 = 0.0, r1 = 0.0;
            std::size_t nl0 = 0, nl1 = 0, nr0 = 0, nr1 = 0;
            for (std::size_t i = node.begin; i < node.end; ++i) {
                const RowIndex p = q[i];
                const bool to_left = goes_left_[p];
                const ClassStat& s = cstat_[p];
                const bool is_first = s.cls == first;
                wl += to_left ? s.w : 0.0;
                wr += to_left ? 0.0 : s.w;
                l0 += to_left && is_first ? s.w : 0.0;
                l1 += to_left && !is_first ? s.w : 0.0;
                r0 += !to_left && is_first ? s.w : 0.0;
                r1 += !to_left && !is_first ? s.w : 0.0;
                nl0 += to_left && is_first;
                nl1 += to_left && !is_first;
                nr0 += !to_left && is_first;
                nr1 += !to_left && !is_first;
                q[l] = p;
                tmp_pos_[r] = p;
                l += to_left;
                r += !to_left;
            }
            distinct[0] = (nl0 > 0) + (nl1 > 0);
            distinct[1] = (nr0 > 0) + (nr1 > 0);
            push_two(right, nr0, r0, nr1, r1);  // the right child is grown last: it goes below
            push_two(left, nl0, l0, nl1, l1);
        } else if (params_.is_classification) {
            for (std::size_t i = node.begin; i < node.end; ++i) {
                const RowIndex p = q[i];
                const bool to_left = goes_left_[p];
                const ClassStat& s = cstat_[p];
                wl += to_left ? s.w : 0.0;
                wr += to_left ? 0.0 : s.w;
                add_to_side(to_left ? 0 : 1, s);
                q[l] = p;
                tmp_pos_[r] = p;
                l += to_left;
                r += !to_left;
            }
        } else {
            for (std::size_t i = node.begin; i < node.end; ++i) {
                const RowIndex p = q[i];
                const bool to_left = goes_left_[p];
                const RegressionStat& s = rstat_[p];
                wl += to_left ? s.w : 0.0;
                wr += to_left ? 0.0 : s.w;
                s1l += to_left ? s.wy : 0.0;
                s1r += to_left ? 0.0 : s.wy;
                s2l += to_left ? s.wyy : 0.0;
                s2r += to_left ? 0.0 : s.wyy;
                q[l] = p;
                tmp_pos_[r] = p;
                l += to_left;
                r += !to_left;
            }
        }
        std::copy(tmp_pos_.begin(), tmp_pos_.begin() + static_cast<std::ptrdiff_t>(r), q + l);
        left.w = wl;
        right.w = wr;
        left.s1 = s1l;
        right.s1 = s1r;
        left.s2 = s2l;
        right.s2 = s2r;
        if (params_.is_classification && !two_classes) {
            distinct[0] = side_present_[0].size();
            distinct[1] = side_present_[1].size();
            flush_side(1, right);  // the right child is grown last: its counts go below
            flush_side(0, left);
        }
        if (!children_need_search(node, distinct)) return;
        const bool large = node.end - node.begin >= kPollEntries;
        for (std::size_t f = 0; f < m_; ++f) {
            if (large) poll_interrupt();
            if (f != split_feature) stable_split(vals_.data() + f * n_, pos_.data() + f * n_, node);
        }
    }

    // Whether either child can get past the stopping rules that need no search; when neither
    // can, the per-feature segments are never read again.
    bool children_need_search(const Pending& node, const std::size_t distinct[2]) const {
        if (params_.max_depth && node.depth + 1 >= *params_.max_depth) return false;
        const std::size_t sizes[2] = {n_left_, node.end - node.begin - n_left_};
        for (int side = 0; side < 2; ++side) {
            if (sizes[side] == 0 || sizes[side] < params_.min_samples_split) continue;
            if (params_.is_classification && distinct[side] <= 1) continue;
            return true;
        }
        return false;
    }

    void stable_split(double* v, RowIndex* q, const Pending& node) {
        std::size_t l = node.begin;
        std::size_t r = 0;
        for (std::size_t i = node.begin; i < node.end; ++i) {
            const RowIndex p = q[i];
            const double value = v[i];
            const bool left = goes_left_[p];
            q[l] = p;
            v[l] = value;
            tmp_pos_[r] = p;
            tmp_vals_[r] = value;
            l += left;
            r += !left;
        }
        std::copy(tmp_pos_.begin(), tmp_pos_.begin() + static_cast<std::ptrdiff_t>(r), q + l);
        std::copy(tmp_vals_.begin(), tmp_vals_.begin() + static_cast<std::ptrdiff_t>(r), v + l);
    }

    std::span<const double> y_;
    std::span<const double> w_;
    std::span<const RowIndex> indices_;
    const TreeParams& params_;
    Pcg64& rng_;
    std::size_t n_;
    std::size_t m_;

    std::vector<double> vals_;    // per feature: the values in (value, position) order
    std::vector<RowIndex> pos_;   // per feature: the matching positions
    std::vector<RowIndex> order_; // positions in list order
    std::vector<double> tmp_vals_;
    std::vector<RowIndex> tmp_pos_;
    std::vector<std::uint8_t> goes_left_;  // per position, for the current partition
    std::vector<std::size_t> features_;
    std::vector<RowIndex> rows_;

    std::vector<RegressionStat> rstat_;
    std::vector<ClassStat> cstat_;
    std::vector<std::uint64_t> classes_;  // distinct class indices of the list, ascending
    std::vector<double> node_counts_;
    std::vector<double> left_counts_;
    std::vector<double> right_counts_;
    std::vector<std::uint32_t> present_;  // dense ids present in the current node, ascending
    std::vector<double> side_counts_;     // [side * classes + id] while splitting a list
    std::vector<std::uint8_t> side_seen_;
    std::vector<std::uint32_t> side_present_[2];
    std::vector<SparseCount> pool_;  // pending nodes' class weights, in stack order
    std::size_t n_left_ = 0;
    bool bounded_ = false;  // the candidate filters may be used
};

}  // namespace

Tree build_node_exact(const MatrixView& x, std::span<const double> y,
                      std::span<const double> sample_weight, std::span<const RowIndex> indices,
                      const TreeParams& params, Pcg64& rng) {
    ExactGrower grower(x, y, sample_weight, indices, params, rng);
    return grower.grow();
}

}  // namespace canopy
