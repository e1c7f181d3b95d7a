#include "estimators/tree_shap.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "estimators/path_shap.hpp"

namespace canopy {

double ShapTree::output(std::size_t id, std::size_t c) const {
    return values[id * n_slots + std::min(c, n_slots - 1)];
}

namespace {

void check_columns(const ShapTree& tree, std::size_t cols, const char* what) {
    for (const ShapNode& node : tree.nodes) {
        if (!node.is_leaf() && node.feature >= cols) {
            fail_internal(std::string(what) + " has " + std::to_string(cols) +
                          " columns but the tree splits on feature " +
                          std::to_string(node.feature));
        }
    }
}

// A leaf's outputs: its class probabilities (classes the tree keeps, up to out.size()), or
// its value.
void fill_leaf_outputs(const PackedTree& tree, std::size_t leaf, bool classification,
                       std::span<double> out) {
    if (!classification) {
        out[0] = tree.values[leaf];
        return;
    }
    std::vector<double> p(tree.n_classes, 0.0);
    tree.add_proba(static_cast<std::uint32_t>(leaf), p.data());
    std::copy_n(p.begin(), std::min(p.size(), out.size()), out.begin());
}

std::string too_many_features(std::size_t m) {
    return "TreeSHAP cannot explain a tree that splits on " + std::to_string(m) +
           " distinct features: exact enumeration is limited to " +
           std::to_string(kMaxShapFeatures) + " features (2^" + std::to_string(kMaxShapFeatures) +
           " coalitions)";
}

// Outputs evaluated together in one walk: the walk is shared, the arithmetic of each output
// is the one it would have on its own.
inline constexpr std::size_t kOutputsPerWalk = 4;

// Doubles the subtree tables of one explanation may hold (32 MiB, as one table at the
// feature limit).
inline constexpr std::size_t kTableBudget = std::size_t{1} << kMaxShapFeatures;

// One row at the feature limit takes seconds, so a row polls for interrupts as it goes:
// tables at least kPollTable long as they are filled and summed, walks once per
// kPollWalks coalitions (each a walk of the tree).
inline constexpr std::size_t kPollTable = std::size_t{1} << 12;
inline constexpr std::size_t kPollWalks = std::size_t{1} << 8;

// Evaluates coalitions of one tree for one row, for up to kOutputsPerWalk outputs at a time.
//
// Each evaluation is the nested sum wl * v(left) + wr * v(right) of the definition, walked
// with an explicit stack (trees can be far deeper than the machine stack allows). Two kinds
// of subtree are answered without descending, both with exactly the numbers the full walk
// would produce: a subtree none of whose features is in the coalition has a value that does
// not depend on the row (precomputed bottom-up with the same expression), and a subtree all
// of whose features are in the coalition is worth the leaf the row reaches in it.
class CoalitionEngine {
public:
    CoalitionEngine(const ShapTree& tree, std::span<const std::size_t> features,
                    std::size_t n_outputs)
        : n_nodes_(tree.nodes.size()), n_outputs_(std::max<std::size_t>(n_outputs, 1)) {
        if (features.size() > kMaxShapFeatures) fail_user(too_many_features(features.size()));
        std::unordered_map<std::size_t, std::uint32_t> bit_of;
        for (std::size_t k = 0; k < features.size(); ++k) {
            bit_of.emplace(features[k], std::uint32_t{1} << k);
        }
        nodes_.resize(n_nodes_);
        features_.resize(n_nodes_, 0);
        thresholds_.resize(n_nodes_, 0.0);
        std::vector<std::size_t> depth(n_nodes_, 0);
        std::size_t max_depth = 0;
        for (std::size_t id = 0; id < n_nodes_; ++id) {
            const ShapNode& s = tree.nodes[id];
            Node& n = nodes_[id];
            max_depth = std::max(max_depth, depth[id]);
            if (s.is_leaf()) continue;
            auto it = bit_of.find(s.feature);
            if (it == bit_of.end()) {
                fail_internal("split feature " + std::to_string(s.feature) +
                              " is missing from the coalition feature list");
            }
            n.left = s.left;
            n.right = s.right;
            n.bit = it->second;
            if (s.cover == 0) {
                n.wl = 0.5;
                n.wr = 0.5;
            } else {
                n.wl = static_cast<double>(s.left_count) / static_cast<double>(s.cover);
                n.wr = static_cast<double>(s.right_count) / static_cast<double>(s.cover);
            }
            features_[id] = s.feature;
            thresholds_[id] = s.threshold;
            max_feature_ = std::max(max_feature_, s.feature);
            has_split_ = true;
            depth[s.left] = depth[id] + 1;
            depth[s.right] = depth[id] + 1;
        }
        // Children come after their parent, so a reverse sweep sees them first.
        leaf_.resize(checked_mul(n_nodes_, n_outputs_));
        all_out_.resize(leaf_.size());
        for (std::size_t id = n_nodes_; id-- > 0;) {
            Node& n = nodes_[id];
            double* leaf = leaf_.data() + id * n_outputs_;
            double* out = all_out_.data() + id * n_outputs_;
            if (n.left == kNoChild) {
                for (std::size_t c = 0; c < n_outputs_; ++c) out[c] = leaf[c] = tree.output(id, c);
                continue;
            }
            n.sub = n.bit | nodes_[n.left].sub | nodes_[n.right].sub;
            const double* l = all_out_.data() + n.left * n_outputs_;
            const double* r = all_out_.data() + n.right * n_outputs_;
            for (std::size_t c = 0; c < n_outputs_; ++c) out[c] = n.wl * l[c] + n.wr * r[c];
        }
        next_.resize(n_nodes_);
        reach_.resize(n_nodes_);
        stack_.resize(max_depth + 1);
    }

    bool has_split() const { return has_split_; }
    std::size_t max_feature() const { return max_feature_; }

    // Fixes the row: the child it takes at every split, and the leaf it reaches from there.
    void set_row(std::span<const double> row) {
        if (has_split_ && max_feature_ >= row.size()) {
            fail_internal("explained row has " + std::to_string(row.size()) +
                          " values but the tree splits on feature " +
                          std::to_string(max_feature_));
        }
        for (std::size_t id = n_nodes_; id-- > 0;) {
            const Node& n = nodes_[id];
            if (n.left == kNoChild) {
                next_[id] = static_cast<std::uint32_t>(id);
                reach_[id] = static_cast<std::uint32_t>(id);
            } else {
                next_[id] = row[features_[id]] <= thresholds_[id] ? n.left : n.right;
                reach_[id] = reach_[next_[id]];
            }
        }
    }

    // Values of coalition `mask` for outputs c0 .. c0+W-1 (c0 + W <= outputs) into result.
    template <std::size_t W>
    void evaluate(std::uint32_t mask, std::size_t c0, double* result) {
        const Node* nodes = nodes_.data();
        const std::size_t stride = n_outputs_;
        const double* all_out = all_out_.data() + c0;
        const double* leaf = leaf_.data() + c0;
        Frame* stack = stack_.data();
        std::size_t sp = 0;
        std::uint32_t id = 0;
        double r[W];
        for (;;) {
            for (;;) {
                const Node& n = nodes[id];
                const std::uint32_t in = mask & n.sub;
                if (in == 0) {
                    for (std::size_t j = 0; j < W; ++j) r[j] = all_out[id * stride + j];
                    break;
                }
                if (in == n.sub) {
                    const std::size_t at = reach_[id] * stride;
                    for (std::size_t j = 0; j < W; ++j) r[j] = leaf[at + j];
                    break;
                }
                if (mask & n.bit) {
                    id = next_[id];
                } else {
                    stack[sp].node = id;
                    stack[sp].has_left = false;
                    ++sp;
                    id = n.left;
                }
            }
            for (;;) {
                if (sp == 0) {
                    for (std::size_t j = 0; j < W; ++j) result[j] = r[j];
                    return;
                }
                Frame& f = stack[sp - 1];
                if (!f.has_left) {
                    for (std::size_t j = 0; j < W; ++j) f.left[j] = r[j];
                    f.has_left = true;
                    id = nodes[f.node].right;
                    break;
                }
                const Node& n = nodes[f.node];
                for (std::size_t j = 0; j < W; ++j) r[j] = n.wl * f.left[j] + n.wr * r[j];
                --sp;
            }
        }
    }

    // Plans one table per internal node over the coalitions of the features of its subtree,
    // `width` outputs per entry. False when they would hold more than `budget` doubles.
    bool plan_tables(std::size_t width, std::size_t budget) {
        std::size_t entries = 0;
        offset_.assign(n_nodes_, 0);
        for (std::size_t id = 0; id < n_nodes_; ++id) {
            if (nodes_[id].left == kNoChild) continue;
            offset_[id] = entries;
            entries += std::size_t{1} << std::popcount(nodes_[id].sub);
            if (entries > budget / width) return false;
        }
        arena_.resize(entries * width);
        return true;
    }

    // Fills the planned tables for outputs c0 .. c0+W-1 and returns the root's: the value of
    // coalition `mask` for output c0+j at [mask * W + j].
    //
    // A node's value depends only on the coalition bits of its own subtree, so each subtree
    // is evaluated once per distinct restriction of the coalition, children before parents,
    // with the very expression the walk uses: the same numbers as evaluate(), with the work
    // of the walks shared.
    template <std::size_t W>
    const double* fill_tables(std::size_t c0) {
        for (std::size_t id = n_nodes_; id-- > 0;) {
            const Node& n = nodes_[id];
            if (n.left == kNoChild) continue;
            // Entry s of a table lists the subtree's features in increasing bit order; a
            // child's index is s with the bits of features outside the child squeezed out.
            // Counting s up by one clears its low run of ones and sets the next bit: the
            // children's indices follow by the precomputed step for that bit position.
            const std::uint32_t sub = n.sub;
            const int m = std::popcount(sub);
            if ((std::size_t{1} << m) >= kPollTable) poll_interrupt();
            std::ptrdiff_t step_l[32];
            std::ptrdiff_t step_r[32];
            std::uint32_t own = 0;
            int below_l = 0;
            int below_r = 0;
            int t = 0;
            for (std::uint32_t rest = sub; rest != 0; rest &= rest - 1, ++t) {
                const std::uint32_t bit = rest & (~rest + 1);
                const bool in_l = (nodes_[n.left].sub & bit) != 0;
                const bool in_r = (nodes_[n.right].sub & bit) != 0;
                step_l[t] = index_step(in_l, below_l);
                step_r[t] = index_step(in_r, below_r);
                below_l += in_l;
                below_r += in_r;
                if (bit == n.bit) own = std::uint32_t{1} << t;
            }
            const double* tl = table_of(n.left, c0, W);
            const double* tr = table_of(n.right, c0, W);
            const bool go_left = next_[id] == n.left;
            double* out = arena_.data() + offset_[id] * W;
            const std::uint32_t size = std::uint32_t{1} << m;
            std::ptrdiff_t il = 0;
            std::ptrdiff_t ir = 0;
            for (std::uint32_t e = 0;;) {
                const double* a = tl + il * static_cast<std::ptrdiff_t>(W);
                const double* b = tr + ir * static_cast<std::ptrdiff_t>(W);
                double* o = out + static_cast<std::size_t>(e) * W;
                if (e & own) {
                    const double* d = go_left ? a : b;
                    for (std::size_t j = 0; j < W; ++j) o[j] = d[j];
                } else {
                    for (std::size_t j = 0; j < W; ++j) o[j] = n.wl * a[j] + n.wr * b[j];
                }
                if (++e == size) break;
                const int low = std::countr_zero(e);
                il += step_l[low];
                ir += step_r[low];
            }
        }
        return arena_.data();  // the root's table comes first
    }

private:
    struct Node {
        std::uint32_t left = kNoChild;
        std::uint32_t right = kNoChild;
        std::uint32_t bit = 0;  // coalition bit of the split feature
        std::uint32_t sub = 0;  // coalition bits of every split in the subtree
        double wl = 0.0;
        double wr = 0.0;
    };
    struct Frame {
        std::uint32_t node;
        bool has_left;
        double left[kOutputsPerWalk];
    };

    std::size_t n_nodes_;
    std::size_t n_outputs_;
    std::vector<Node> nodes_;
    std::vector<std::size_t> features_;
    std::vector<double> thresholds_;
    std::size_t max_feature_ = 0;
    bool has_split_ = false;
    std::vector<double> leaf_;     // per node, per output: the leaf's output
    std::vector<double> all_out_;  // per node, per output: value with no feature of the subtree
    std::vector<std::uint32_t> next_;
    std::vector<std::uint32_t> reach_;
    std::vector<Frame> stack_;
    std::vector<std::size_t> offset_;  // per internal node: first entry of its table
    std::vector<double> arena_;        // every planned table

    // Change of a child's index when the parent's index gains the bit at a position where
    // the child has `below` bits under it: those bits were all ones and clear; the child's
    // next bit is set when the feature is the child's.
    static std::ptrdiff_t index_step(bool in_child, int below) {
        const std::ptrdiff_t next = std::ptrdiff_t{1} << below;
        return (in_child ? next : 0) - (next - 1);
    }

    // A leaf's table is its single entry of outputs.
    const double* table_of(std::uint32_t id, std::size_t c0, std::size_t w) const {
        if (nodes_[id].left == kNoChild) return leaf_.data() + id * n_outputs_ + c0;
        return arena_.data() + offset_[id] * w;
    }
};

// The whole attribution of one tree: the coalition engine, the tables of 2^M values and the
// Shapley weights, allocated once and reused for every row and output.
class Attributor {
public:
    // At most `max_width` outputs are evaluated together.
    Attributor(const ShapTree& tree, std::size_t n_features, std::size_t n_outputs,
               std::size_t max_width = kOutputsPerWalk)
        : features_(collect_tree_features(tree)),
          engine_(tree, features_, n_outputs),
          n_features_(n_features),
          n_outputs_(std::max<std::size_t>(n_outputs, 1)) {
        const std::size_t m = features_.size();
        if (engine_.has_split() && engine_.max_feature() >= n_features) {
            fail_internal("the tree splits on feature " + std::to_string(engine_.max_feature()) +
                          " but attributions have " + std::to_string(n_features) + " entries");
        }
        if (m == 0) return;
        std::vector<double> fact(m + 1);
        fact[0] = 1.0;
        for (std::size_t i = 1; i <= m; ++i) fact[i] = fact[i - 1] * static_cast<double>(i);
        weight_.resize(m);
        for (std::size_t s = 0; s < m; ++s) weight_[s] = fact[s] * fact[m - s - 1] / fact[m];
        full_ = std::size_t{1} << m;
        // Several outputs share a walk only while their tables stay within the single-table
        // size of the largest enumeration.
        width_ = std::min({max_width, kOutputsPerWalk, n_outputs_,
                           std::max<std::size_t>(1, (std::size_t{1} << kMaxShapFeatures) / full_)});
        // Shared subtree tables when they fit in the budget, else one walk per coalition.
        use_tables_ = engine_.plan_tables(width_, kTableBudget);
        if (!use_tables_) table_.resize(width_ * full_);
        popcount_.resize(full_);
        for (std::size_t s = 1; s < full_; ++s) {
            popcount_[s] = static_cast<std::uint8_t>(popcount_[s >> 1] + (s & 1));
        }
    }

    void set_row(std::span<const double> row) {
        if (!features_.empty()) engine_.set_row(row);
    }

    // Attributions of every output for the row last set, in output order.
    std::vector<std::vector<double>> explain_all() {
        std::vector<std::vector<double>> phi(n_outputs_, std::vector<double>(n_features_, 0.0));
        if (features_.empty()) return phi;
        for (std::size_t c0 = 0; c0 < n_outputs_; c0 += width_) {
            const std::size_t w = std::min(width_, n_outputs_ - c0);
            const double* v = fill_tables(c0, w);
            switch (w) {
                case 1: accumulate<1>(v, &phi[c0]); break;
                case 2: accumulate<2>(v, &phi[c0]); break;
                case 3: accumulate<3>(v, &phi[c0]); break;
                default: accumulate<4>(v, &phi[c0]); break;
            }
        }
        return phi;
    }

    // Attributions of output c alone for the row last set.
    std::vector<double> explain_one(std::size_t c) {
        std::vector<double> phi(n_features_, 0.0);
        if (features_.empty()) return phi;
        c = std::min(c, n_outputs_ - 1);
        accumulate<1>(fill_tables(c, 1), &phi);
        return phi;
    }

private:
    template <std::size_t W>
    const double* fill(std::size_t c0) {
        if (use_tables_) return engine_.fill_tables<W>(c0);
        double* table = table_.data();
        for (std::size_t mask = 0; mask < full_; ++mask) {
            if (mask % kPollWalks == 0) poll_interrupt();
            engine_.evaluate<W>(static_cast<std::uint32_t>(mask), c0, table + mask * W);
        }
        return table;
    }

    // The coalition values of outputs c0 .. c0+w-1, output c0+j of coalition S at [S * w + j].
    const double* fill_tables(std::size_t c0, std::size_t w) {
        static_assert(kOutputsPerWalk == 4);
        switch (w) {
            case 1: return fill<1>(c0);
            case 2: return fill<2>(c0);
            case 3: return fill<3>(c0);
            default: return fill<4>(c0);
        }
    }

    // For feature k, the coalitions S without bit k in increasing order of S. Each sum is one
    // chain of dependent additions, so independent chains run side by side: the W outputs,
    // and features k and k+1 in pairs. In every block of 4 * 2^k coalitions, feature k takes
    // the runs [0, 2^k) and [2 * 2^k, 3 * 2^k), feature k+1 the run [0, 2 * 2^k); pairing
    // the first halves and then the second halves keeps each chain in increasing order.
    template <std::size_t W>
    void accumulate(const double* v, std::vector<double>* phi) const {
        const std::size_t m = features_.size();
        std::size_t k = 0;
        for (; k + 1 < m; k += 2) {
            if (full_ >= kPollTable) poll_interrupt();
            const std::size_t bit = std::size_t{1} << k;
            double first[W] = {};
            double second[W] = {};
            for (std::size_t block = 0; block < full_; block += 4 * bit) {
                for (std::size_t s = block; s < block + bit; ++s) {
                    add_term<W>(v, s, bit, first);
                    add_term<W>(v, s, 2 * bit, second);
                }
                for (std::size_t s = block; s < block + bit; ++s) {
                    add_term<W>(v, s + 2 * bit, bit, first);
                    add_term<W>(v, s + bit, 2 * bit, second);
                }
            }
            for (std::size_t j = 0; j < W; ++j) {
                phi[j][features_[k]] += first[j];
                phi[j][features_[k + 1]] += second[j];
            }
        }
        if (k < m) {
            const std::size_t bit = std::size_t{1} << k;
            double sum[W] = {};
            for (std::size_t s = 0; s < bit; ++s) add_term<W>(v, s, bit, sum);  // bit k is the top
            for (std::size_t j = 0; j < W; ++j) phi[j][features_[k]] += sum[j];
        }
    }

    // sum += w(|S|) * (v[S with bit] - v[S]) for each of the W outputs.
    template <std::size_t W>
    void add_term(const double* v, std::size_t s, std::size_t bit, double* sum) const {
        const double ws = weight_[popcount_[s]];
        const double* with = v + (s | bit) * W;
        const double* without = v + s * W;
        for (std::size_t j = 0; j < W; ++j) sum[j] += ws * (with[j] - without[j]);
    }

    std::vector<std::size_t> features_;
    CoalitionEngine engine_;
    std::size_t n_features_;
    std::size_t n_outputs_;
    std::size_t full_ = 1;   // 2^M coalitions
    std::size_t width_ = 1;  // outputs per walk
    std::vector<double> weight_;  // Shapley weight by coalition size
    bool use_tables_ = false;
    std::vector<double> table_;  // walked coalition values when the subtree tables do not fit
    std::vector<std::uint8_t> popcount_;
};

const DecisionTree& require_fitted(const DecisionTree& tree) {
    if (!tree.is_fitted) fail_user("Tree must be fitted before creating TreeSHAP");
    return tree;
}

std::size_t outputs_of(const DecisionTree& tree, const std::string& model_type) {
    if (model_type != "classification") return 1;
    return tree.classes ? tree.classes->size() : 2;
}

}  // namespace

PathShapTree path_shap_tree(const ShapTree& tree) {
    std::vector<PathNode> nodes(tree.nodes.size());
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        const ShapNode& s = tree.nodes[id];
        PathNode& p = nodes[id];
        if (s.is_leaf()) {
            p.right = static_cast<std::uint32_t>(id);
            continue;
        }
        p.threshold = s.threshold;
        p.feature = static_cast<std::uint32_t>(s.feature);
        p.right = s.right;
        if (s.cover == 0) {
            p.w_left = 0.5;
            p.w_right = 0.5;
        } else {
            p.w_left = static_cast<double>(s.left_count) / static_cast<double>(s.cover);
            p.w_right = static_cast<double>(s.right_count) / static_cast<double>(s.cover);
        }
    }
    return PathShapTree(std::move(nodes), tree.values, tree.n_slots);
}

ShapTree build_shap_tree(const PackedTree& tree, const Matrix& x_train, std::size_t n_outputs,
                         bool classification) {
    ShapTree out;
    out.n_slots = std::max<std::size_t>(n_outputs, 1);
    const std::size_t n = tree.size();
    if (n == 0) return out;
    out.nodes.resize(n);
    out.values.assign(checked_mul(n, out.n_slots), 0.0);
    for (std::size_t id = 0; id < n; ++id) {
        ShapNode& s = out.nodes[id];
        s.cover = tree.cover[id];
        if (tree.is_leaf(id)) {
            fill_leaf_outputs(tree, id, classification,
                              std::span<double>(out.values).subspan(id * out.n_slots, out.n_slots));
            continue;
        }
        s.feature = tree.nodes[id].feature;
        s.threshold = tree.nodes[id].threshold;
        s.left = static_cast<std::uint32_t>(id + 1);
        s.right = tree.nodes[id].right;
    }
    if (x_train.rows == 0) return out;
    check_columns(out, x_train.cols, "background matrix");
    // The background rows that pass through a node are those whose leaf lies below it, so
    // the counts of every branch follow from the leaves the rows reach, children first.
    std::vector<std::uint32_t> leaf(x_train.rows);
    tree.find_leaves(x_train.view(), 0, x_train.rows, leaf.data());
    std::vector<std::uint64_t> reach(n, 0);
    for (std::uint32_t id : leaf) ++reach[id];
    for (std::size_t id = n; id-- > 0;) {
        ShapNode& s = out.nodes[id];
        if (s.is_leaf()) continue;
        s.left_count = reach[s.left];
        s.right_count = reach[s.right];
        reach[id] = s.left_count + s.right_count;
    }
    return out;
}

std::vector<std::size_t> collect_tree_features(const ShapTree& tree) {
    // Pre-order is the storage order, so a forward scan meets features in first appearance.
    std::vector<std::size_t> features;
    std::unordered_set<std::size_t> seen;
    for (const ShapNode& node : tree.nodes) {
        if (!node.is_leaf() && seen.insert(node.feature).second) features.push_back(node.feature);
    }
    return features;
}

double evaluate_coalition(std::span<const double> row, std::uint64_t mask,
                          std::span<const std::size_t> features, const ShapTree& tree,
                          std::size_t c) {
    if (tree.empty()) fail_internal("cannot evaluate a coalition of an empty tree");
    CoalitionEngine engine(tree, features, tree.n_slots);
    engine.set_row(row);
    const std::uint64_t used = (std::uint64_t{1} << features.size()) - 1;
    double value = 0.0;
    engine.evaluate<1>(static_cast<std::uint32_t>(mask & used), std::min(c, tree.n_slots - 1),
                       &value);
    return value;
}

std::vector<double> explain_single_class(std::size_t n_features, const ShapTree& tree,
                                         std::span<const double> row, std::size_t c) {
    if (tree.empty()) return std::vector<double>(n_features, 0.0);
    Attributor attributor(tree, n_features, tree.n_slots, 1);
    attributor.set_row(row);
    return attributor.explain_one(c);
}

TreeShap::TreeShap(const DecisionTree& t, const MatrixView& x, std::string type)
    : tree(require_fitted(t)),
      model_type(std::move(type)),
      x_train(to_row_major(x)),
      n_features(x.cols),
      n_outputs(outputs_of(tree, model_type)) {
    if (const PackedTree* fitted = tree.tree()) {
        root = build_shap_tree(*fitted, x_train, n_outputs, is_classification());
    } else {
        root.n_slots = std::max<std::size_t>(n_outputs, 1);
    }
}

std::vector<std::vector<std::vector<double>>> TreeShap::explain(const MatrixView& x) const {
    std::vector<std::vector<std::vector<double>>> out(x.rows);
    if (x.rows == 0 || n_outputs == 0) return out;
    if (root.empty()) {
        for (auto& row : out) row.assign(n_outputs, std::vector<double>(n_features, 0.0));
        return out;
    }
    // Enumeration where it is feasible; beyond it the polynomial algorithm gives the same
    // values up to rounding.
    if (collect_tree_features(root).size() > kMaxShapFeatures) return explain_by_paths(x);
    Attributor attributor(root, n_features, n_outputs);
    const RowMajor rows(x);
    for (std::size_t r = 0; r < x.rows; ++r) {
        if (r % 16 == 0) poll_interrupt();
        attributor.set_row(rows.row(r));
        out[r] = attributor.explain_all();
    }
    return out;
}

std::vector<std::vector<std::vector<double>>> TreeShap::explain_by_paths(
    const MatrixView& x) const {
    const PathShapTree paths = path_shap_tree(root);
    if (paths.min_row_length() > n_features) {
        fail_internal("the tree splits on feature " + std::to_string(paths.min_row_length() - 1) +
                      " but attributions have " + std::to_string(n_features) + " entries");
    }
    if (paths.min_row_length() > x.cols) {
        fail_internal("explained row has " + std::to_string(x.cols) +
                      " values but the tree splits on feature " +
                      std::to_string(paths.min_row_length() - 1));
    }
    const std::size_t k = paths.n_outputs();
    std::vector<std::vector<std::vector<double>>> out(x.rows);
    std::vector<double> phi(checked_mul(n_features, k));
    PathShapWorkspace ws;
    const RowMajor rows(x);
    for (std::size_t r = 0; r < x.rows; ++r) {
        poll_interrupt();
        std::fill(phi.begin(), phi.end(), 0.0);
        paths.add_attributions(rows.row(r).data(), phi.data(), ws);
        out[r].assign(n_outputs, std::vector<double>(n_features));
        for (std::size_t c = 0; c < n_outputs; ++c) {
            for (std::size_t f = 0; f < n_features; ++f) out[r][c][f] = phi[f * k + c];
        }
    }
    return out;
}

}  // namespace canopy
