#include "engine/exact_split.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "engine/errors.hpp"

namespace canopy {
namespace {

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

struct Pending {
    std::size_t begin;
    std::size_t end;
    std::uint64_t depth;
    std::uint32_t parent;  // kNoChild for the root
    bool is_right;
};

struct Best {
    double gain = 0.0;
    double weighted = 0.0;  // WL * impurity_L + WR * impurity_R of the best candidate
    bool found = false;
    std::size_t feature = 0;
    double threshold = 0.0;
};

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
        std::vector<Pending> stack{{0, n_, 0, kNoChild, false}};
        while (!stack.empty()) {
            const Pending node = stack.back();
            stack.pop_back();
            const std::uint32_t id = tree.add_node();
            if (node.parent != kNoChild) {
                if (node.is_right) {
                    tree.nodes[node.parent].right = id;
                } else {
                    tree.nodes[node.parent].left = id;
                }
            }
            std::size_t n_left = 0;
            Best best;
            if (!search(node, best) || !partition(node, best, n_left)) {
                make_leaf(tree, id, node);
                continue;
            }
            TreeNode& t = tree.nodes[id];
            t.feature = best.feature;
            t.threshold = best.threshold;
            t.value = 0.0;
            t.n_samples = node.end - node.begin;
            t.has_counts = false;
            const std::size_t mid = node.begin + n_left;
            // Right pushed first so that the left subtree is finished (and the generator
            // consumed) before the right child is searched.
            stack.push_back({mid, node.end, node.depth + 1, id, true});
            stack.push_back({node.begin, mid, node.depth + 1, id, false});
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
        std::vector<std::uint64_t> labels;
        labels.reserve(n_);
        for (RowIndex row : indices_) labels.push_back(class_index(y_[row]));
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
        classes_ = std::move(labels);
    }

    void presort(const MatrixView& x) {
        const std::size_t total = checked_mul(m_, n_);
        vals_.resize(total);
        pos_.resize(total);
        std::vector<std::pair<double, RowIndex>> keyed(n_);
        for (std::size_t f = 0; f < m_; ++f) {
            for (std::size_t p = 0; p < n_; ++p) {
                const double v = x(indices_[p], f);
                if (std::isnan(v)) fail_internal("NaN reached the exact split search");
                keyed[p] = {v, static_cast<RowIndex>(p)};
            }
            // Equal values (including -0.0 and 0.0) keep list order: ties go by position.
            std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
                return a.first < b.first || (a.first == b.first && a.second < b.second);
            });
            double* v = vals_.data() + f * n_;
            RowIndex* q = pos_.data() + f * n_;
            for (std::size_t i = 0; i < n_; ++i) {
                v[i] = keyed[i].first;
                q[i] = keyed[i].second;
            }
        }
        tmp_vals_.resize(n_);
        tmp_pos_.resize(n_);
    }

    void precompute_stats() {
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
            seen_.assign(classes_.size(), 0);
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
        double total_w = 0.0;
        if (params_.is_classification) {
            if (!class_totals(node, total_w)) return false;
        } else {
            for (std::size_t i = node.begin; i < node.end; ++i) total_w += rstat_[order_[i]].w;
        }
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
            for (std::size_t j = 0; j < k; ++j) sweep_classes(node, features_[j], total_w, gini, best);
        } else {
            double s1 = 0.0;
            double s2 = 0.0;
            for (std::size_t i = node.begin; i < node.end; ++i) {
                const RegressionStat& s = rstat_[order_[i]];
                s1 += s.wy;
                s2 += s.wyy;
            }
            const double mean = s1 / total_w;
            const double var = s2 / total_w - mean * mean;
            for (std::size_t j = 0; j < k; ++j) {
                sweep_regression(node, features_[j], total_w, s1, s2, var, best);
            }
        }
        return best.found && best.gain > 0.0;
    }

    // Summed weight per class in list order; false when the node holds one class only.
    bool class_totals(const Pending& node, double& total_w) {
        const std::uint32_t first = cstat_[order_[node.begin]].cls;
        bool pure = true;
        for (std::size_t i = node.begin; i < node.end; ++i) {
            if (cstat_[order_[i]].cls != first) {
                pure = false;
                break;
            }
        }
        if (pure) return false;
        for (std::uint32_t c : present_) {
            node_counts_[c] = 0.0;
            seen_[c] = 0;
        }
        present_.clear();
        for (std::size_t i = node.begin; i < node.end; ++i) {
            const ClassStat& s = cstat_[order_[i]];
            total_w += s.w;
            node_counts_[s.cls] += s.w;
            if (!seen_[s.cls]) {
                seen_[s.cls] = 1;
                present_.push_back(s.cls);
            }
        }
        // Gini terms are added in class order.
        std::sort(present_.begin(), present_.end());
        return true;
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

    // Sends every entry with value <= threshold left, keeping list order on both sides, and
    // carries the sorted segments of every feature into the children. False when a side ends
    // up below min_samples_leaf or empty: the midpoint of two neighbouring floats can round
    // onto the upper one (or overflow), and a split that moves nothing would repeat forever.
    bool partition(const Pending& node, const Best& best, std::size_t& n_left) {
        const std::size_t n = node.end - node.begin;
        {
            const double* v = vals_.data() + best.feature * n_;
            const RowIndex* q = pos_.data() + best.feature * n_;
            n_left = 0;
            for (std::size_t i = node.begin; i < node.end; ++i) {
                const bool left = v[i] <= best.threshold;
                goes_left_[q[i]] = left;
                n_left += left;
            }
        }
        const std::uint64_t msl = params_.min_samples_leaf;
        if (n_left < msl || n - n_left < msl || n_left == 0 || n_left == n) return false;

        stable_split(order_.data(), node);
        if (children_need_search(node, n_left)) {
            for (std::size_t f = 0; f < m_; ++f) {
                stable_split(vals_.data() + f * n_, pos_.data() + f * n_, node);
            }
        }
        return true;
    }

    // Whether either child can get past the stopping rules that need no search; when neither
    // can, the per-feature segments are never read again.
    bool children_need_search(const Pending& node, std::size_t n_left) const {
        if (params_.max_depth && node.depth + 1 >= *params_.max_depth) return false;
        const std::size_t mid = node.begin + n_left;
        return side_may_split(node.begin, mid) || side_may_split(mid, node.end);
    }

    bool side_may_split(std::size_t begin, std::size_t end) const {
        const std::size_t n = end - begin;
        if (n == 0 || n < params_.min_samples_split) return false;
        if (!params_.is_classification) return true;
        const std::uint32_t first = cstat_[order_[begin]].cls;
        for (std::size_t i = begin + 1; i < end; ++i) {
            if (cstat_[order_[i]].cls != first) return true;
        }
        return false;
    }

    void stable_split(RowIndex* q, const Pending& node) {
        std::size_t l = node.begin;
        std::size_t r = 0;
        for (std::size_t i = node.begin; i < node.end; ++i) {
            const RowIndex p = q[i];
            const bool left = goes_left_[p];
            q[l] = p;
            tmp_pos_[r] = p;
            l += left;
            r += !left;
        }
        std::copy(tmp_pos_.begin(), tmp_pos_.begin() + static_cast<std::ptrdiff_t>(r), q + l);
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
    std::vector<std::uint8_t> seen_;
    std::vector<std::uint32_t> present_;  // dense ids present in the current node, ascending
};

}  // namespace

Tree build_node_exact(const MatrixView& x, std::span<const double> y,
                      std::span<const double> sample_weight, std::span<const RowIndex> indices,
                      const TreeParams& params, Pcg64& rng) {
    ExactGrower grower(x, y, sample_weight, indices, params, rng);
    return grower.grow();
}

}  // namespace canopy
