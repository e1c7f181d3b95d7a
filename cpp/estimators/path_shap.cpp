#include "estimators/path_shap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "engine/errors.hpp"

namespace canopy {

namespace {

bool is_leaf(const PathNode& node, std::size_t id) { return node.right == id; }

void check_pre_order(const std::vector<PathNode>& nodes) {
    const std::size_t n = nodes.size();
    for (std::size_t id = 0; id < n; ++id) {
        const PathNode& node = nodes[id];
        if (is_leaf(node, id)) continue;
        if (id + 1 >= n || node.right <= id + 1 || node.right >= n) {
            fail_internal("explained tree is not stored in pre-order");
        }
    }
}

// The rule's exactness needs ceil(d / 2) points for d distinct features on a path.
std::size_t points_for(std::size_t distinct) {
    return std::max<std::size_t>(1, (distinct + 1) / 2);
}

}  // namespace

void gauss_legendre_unit(std::size_t n, std::vector<double>& points, std::vector<double>& weights,
                         std::vector<double>& one_minus_points) {
    points.assign(n, 0.0);
    weights.assign(n, 0.0);
    one_minus_points.assign(n, 0.0);
    // Newton's method on the Legendre polynomial P_n from the usual cosine guesses, in
    // extended precision so that the rounded points and weights are correct to the last bit
    // or so. The roots are symmetric: z and -z give t = (1 -+ z) / 2 on [0, 1].
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double nl = static_cast<long double>(n);
    for (std::size_t i = 0; i < (n + 1) / 2; ++i) {
        long double z = std::cos(pi * (static_cast<long double>(i) + 0.75L) / (nl + 0.5L));
        long double derivative = 1.0L;
        for (int iteration = 0; iteration < 100; ++iteration) {
            long double p1 = 1.0L;
            long double p2 = 0.0L;
            for (std::size_t j = 1; j <= n; ++j) {
                const long double p3 = p2;
                p2 = p1;
                const long double jl = static_cast<long double>(j);
                p1 = ((2.0L * jl - 1.0L) * z * p2 - (jl - 1.0L) * p3) / jl;
            }
            derivative = nl * (z * p1 - p2) / (z * z - 1.0L);
            const long double step = p1 / derivative;
            z -= step;
            if (std::fabs(step) <= 4.0L * std::numeric_limits<long double>::epsilon()) break;
        }
        // Weight on [-1, 1] is 2 / ((1 - z^2) P_n'(z)^2); on [0, 1] half of it.
        const long double w = 1.0L / ((1.0L - z * z) * derivative * derivative);
        const std::size_t hi = n - 1 - i;
        points[hi] = static_cast<double>((1.0L + z) / 2.0L);
        points[i] = static_cast<double>((1.0L - z) / 2.0L);
        one_minus_points[hi] = points[i];
        one_minus_points[i] = points[hi];
        weights[hi] = static_cast<double>(w);
        weights[i] = static_cast<double>(w);
    }
}

PathShapTree::PathShapTree(std::vector<PathNode> nodes, std::vector<double> outputs,
                           std::size_t n_outputs)
    : nodes_(std::move(nodes)), outputs_(std::move(outputs)), n_outputs_(n_outputs) {
    const std::size_t n = nodes_.size();
    if (outputs_.size() != checked_mul(n, n_outputs_)) {
        fail_internal("explained tree needs " + std::to_string(n_outputs_) + " outputs per node");
    }
    check_pre_order(nodes_);
    for (std::size_t id = 0; id < n; ++id) {
        if (!is_leaf(nodes_[id], id)) {
            min_row_length_ = std::max<std::size_t>(min_row_length_, nodes_[id].feature + 1);
        }
    }
    // Depth and distinct features per path: one walk with a count of each feature on the
    // current path.
    if (n > 0) {
        std::vector<std::uint32_t> on_path(min_row_length_, 0);
        std::vector<std::pair<std::uint32_t, std::uint8_t>> stack{{0, 0}};
        std::size_t distinct = 0;
        while (!stack.empty()) {
            auto& [id, stage] = stack.back();
            const PathNode& node = nodes_[id];
            if (is_leaf(node, id)) {
                depth_ = std::max(depth_, stack.size() - 1);
                distinct_ = std::max(distinct_, distinct);
                stack.pop_back();
                continue;
            }
            if (stage == 2) {
                distinct -= --on_path[node.feature] == 0 ? 1 : 0;
                stack.pop_back();
                continue;
            }
            if (stage == 0) distinct += on_path[node.feature]++ == 0 ? 1 : 0;
            const std::uint32_t child = stage == 0 ? id + 1 : node.right;
            ++stage;
            stack.push_back({child, 0});
        }
    }
    gauss_legendre_unit(points_for(distinct_), t_, weight_, one_minus_t_);
    cold_weight_.resize(t_.size());
    for (std::size_t g = 0; g < t_.size(); ++g) cold_weight_[g] = weight_[g] / one_minus_t_[g];
    // The empty coalition: children come after their parent, so a reverse sweep sees them
    // first.
    std::vector<double> value(outputs_.size(), 0.0);
    for (std::size_t id = n; id-- > 0;) {
        const PathNode& node = nodes_[id];
        double* out = value.data() + id * n_outputs_;
        if (is_leaf(node, id)) {
            std::copy_n(outputs_.data() + id * n_outputs_, n_outputs_, out);
            continue;
        }
        const double* l = value.data() + (id + 1) * n_outputs_;
        const double* r = value.data() + std::size_t{node.right} * n_outputs_;
        for (std::size_t c = 0; c < n_outputs_; ++c) {
            out[c] = node.w_left * l[c] + node.w_right * r[c];
        }
    }
    expected_.assign(n_outputs_, 0.0);
    if (n > 0) std::copy_n(value.begin(), n_outputs_, expected_.begin());
}

std::size_t PathShapTree::bytes() const {
    return nodes_.capacity() * sizeof(PathNode) + outputs_.capacity() * sizeof(double) +
           (t_.size() * 4 + expected_.size()) * sizeof(double);
}

void PathShapTree::add_attributions(const double* row, double* phi, PathShapWorkspace& ws) const {
    if (nodes_.size() <= 1) return;  // a single leaf: nothing to attribute
    const std::size_t g = t_.size();
    const std::size_t levels = depth_ + 1;
    const std::size_t sums = checked_mul(checked_mul(levels, g), n_outputs_);
    if (ws.slot_of.size() < min_row_length_) ws.slot_of.resize(min_row_length_, -1);
    if (ws.products.size() < levels * g) ws.products.resize(levels * g);
    if (ws.totals.size() < sums) ws.totals.resize(sums);
    if (ws.shadows.size() < sums) ws.shadows.resize(sums);
    if (ws.coefficients.size() < g) ws.coefficients.resize(g);
    if (ws.frames.size() < levels) ws.frames.resize(levels);
    ws.elements.clear();
    ws.elements.reserve(distinct_);
    // Fixed point counts let the compiler unroll the loops over the points; trees of up to
    // 20 distinct features on a path need at most 10.
    if (n_outputs_ == 1) return walk_points<true>(row, phi, ws);
    walk_points<false>(row, phi, ws);
}

template <bool kSingle>
void PathShapTree::walk_points(const double* row, double* phi, PathShapWorkspace& ws) const {
    switch (t_.size()) {
        case 1:
            return walk<1, kSingle>(row, phi, ws);
        case 2:
            return walk<2, kSingle>(row, phi, ws);
        case 3:
            return walk<3, kSingle>(row, phi, ws);
        case 4:
            return walk<4, kSingle>(row, phi, ws);
        case 5:
            return walk<5, kSingle>(row, phi, ws);
        case 6:
            return walk<6, kSingle>(row, phi, ws);
        case 7:
            return walk<7, kSingle>(row, phi, ws);
        case 8:
            return walk<8, kSingle>(row, phi, ws);
        case 9:
            return walk<9, kSingle>(row, phi, ws);
        case 10:
            return walk<10, kSingle>(row, phi, ws);
        default:
            return walk<0, kSingle>(row, phi, ws);
    }
}

// The attribution of a feature at a leaf is (o - z) * sum_k w_k F_k / (z (1 - t_k) + o t_k),
// with F the leaf's product and (z, o) the feature's state at the leaf: the state set where
// the path last split on the feature. Leaves that share that state share the divisor, so
// their v * F are summed first: per depth, `totals` holds the sum of v * F over the leaves
// of the subtree being walked, and `shadows` the part of it below later splits on the
// feature set at that depth (those leaves see another state). Each state then costs one
// sum over the points, when the walk comes back from the child that set it: the work of a
// row is proportional to nodes times points rather than leaves times path length.
template <std::size_t kPoints, bool kSingle>
void PathShapTree::walk(const double* row, double* phi, PathShapWorkspace& ws) const {
    const std::size_t g = kPoints != 0 ? kPoints : t_.size();
    const std::size_t k_out = kSingle ? 1 : n_outputs_;
    const std::size_t width = g * k_out;  // one sum per output and point
    const double* t = t_.data();
    const double* omt = one_minus_t_.data();
    double* products = ws.products.data();
    double* totals = ws.totals.data();
    double* shadows = ws.shadows.data();
    std::fill_n(products, g, 1.0);
    using Frame = PathShapWorkspace::Frame;
    using Element = PathShapWorkspace::Element;
    Frame* frames = ws.frames.data();
    frames[0] = Frame{0, 0, false, false, -1, {}};
    std::size_t sp = 1;
    while (sp > 0) {
        Frame& fr = frames[sp - 1];
        const std::size_t level = sp - 1;
        const PathNode& node = nodes_[fr.node];
        double* total = totals + level * width;
        if (fr.changed) {  // back from a child: attribute its leaves, then undo
            const std::int32_t slot = ws.slot_of[node.feature];
            const Element& e = ws.elements[static_cast<std::size_t>(slot)];
            const double* below = totals + (level + 1) * width;
            const double* shadow = shadows + (level + 1) * width;
            double coef[kPoints != 0 ? kPoints : 1];
            const double* cf = cold_weight_.data();
            double sign = -1.0;  // -z w / (z (1 - t)): the same for every feature the row leaves
            if (e.o != 0.0) {
                double* own = kPoints != 0 ? coef : ws.coefficients.data();
                for (std::size_t k = 0; k < g; ++k) {
                    own[k] = (1.0 - e.z) * weight_[k] / (e.z * omt[k] + t[k]);
                }
                cf = own;
                sign = 1.0;
            }
            double* p = phi + std::size_t{e.feature} * k_out;
            for (std::size_t c = 0; c < k_out; ++c) {
                double sum = 0.0;
                for (std::size_t k = 0; k < g; ++k) {
                    sum += cf[k] * (below[c * g + k] - shadow[c * g + k]);
                }
                p[c] += sign * sum;
            }
            for (std::size_t i = 0; i < width; ++i) total[i] += below[i];
            if (fr.slot < 0) {
                ws.elements.pop_back();
                ws.slot_of[node.feature] = -1;
            } else {
                // The earlier state of the feature does not reach these leaves.
                double* older = shadows + std::size_t{fr.saved.level} * width;
                for (std::size_t i = 0; i < width; ++i) older[i] += below[i];
                ws.elements[static_cast<std::size_t>(fr.slot)] = fr.saved;
            }
            fr.changed = false;
        }
        if (fr.stage == 2) {
            --sp;
            continue;
        }
        if (fr.stage == 0) {
            fr.goes_left = row[node.feature] <= node.threshold;
            std::fill_n(total, width, 0.0);
        }
        const bool left = fr.stage == 0;
        ++fr.stage;
        const std::int32_t slot = ws.slot_of[node.feature];
        double z = left ? node.w_left : node.w_right;
        double o = left == fr.goes_left ? 1.0 : 0.0;
        if (slot >= 0) {
            const Element& old = ws.elements[static_cast<std::size_t>(slot)];
            z = old.z * z;
            o = old.o * o;
        }
        // Every coalition gives the leaves below weight 0: the feature is either in the
        // coalition (and the row goes the other way) or out of it with weight 0.
        if (z == 0.0 && o == 0.0) continue;
        const std::size_t at = level + 1;
        const double* f = products + level * g;
        double* next = products + at * g;
        if (slot < 0) {
            for (std::size_t k = 0; k < g; ++k) next[k] = f[k] * (z * omt[k] + o * t[k]);
            fr.slot = -1;
            ws.slot_of[node.feature] = static_cast<std::int32_t>(ws.elements.size());
            ws.elements.push_back({z, o, node.feature, static_cast<std::uint32_t>(at)});
        } else {
            Element& el = ws.elements[static_cast<std::size_t>(slot)];
            fr.slot = slot;
            fr.saved = el;
            bool exact = true;
            for (std::size_t k = 0; k < g; ++k) {
                const double before = el.z * omt[k] + el.o * t[k];
                exact = exact && before != 0.0;
                next[k] = f[k] * (z * omt[k] + o * t[k]) / before;
            }
            el = {z, o, node.feature, static_cast<std::uint32_t>(at)};
            if (!exact) {  // a factor that underflowed to zero: rebuild the product
                for (std::size_t k = 0; k < g; ++k) {
                    double p = 1.0;
                    for (const Element& e : ws.elements) p *= e.z * omt[k] + e.o * t[k];
                    next[k] = p;
                }
            }
        }
        std::fill_n(shadows + at * width, width, 0.0);
        fr.changed = true;
        const std::uint32_t child = left ? fr.node + 1 : node.right;
        if (is_leaf(nodes_[child], child)) {
            // A leaf is finished on the spot: its sums, then the return to this node.
            const double* v = outputs_.data() + std::size_t{child} * k_out;
            double* leaf_total = totals + at * width;
            for (std::size_t c = 0; c < k_out; ++c) {
                for (std::size_t k = 0; k < g; ++k) leaf_total[c * g + k] = v[c] * next[k];
            }
            continue;
        }
        frames[sp++] = Frame{child, 0, false, false, -1, {}};
    }
}

// ---- Builders -----------------------------------------------------------------------------------

namespace {

std::vector<PathNode> copy_structure(const PackedTree& tree) {
    std::vector<PathNode> nodes(tree.size());
    for (std::size_t id = 0; id < tree.size(); ++id) {
        nodes[id].threshold = tree.nodes[id].threshold;
        nodes[id].feature = tree.nodes[id].feature;
        nodes[id].right = tree.nodes[id].right;
    }
    return nodes;
}

void set_shares(PathNode& node, std::uint64_t left, std::uint64_t right, std::uint64_t total) {
    if (total == 0) {
        node.w_left = 0.5;
        node.w_right = 0.5;
        return;
    }
    node.w_left = static_cast<double>(left) / static_cast<double>(total);
    node.w_right = static_cast<double>(right) / static_cast<double>(total);
}

}  // namespace

std::vector<PathNode> path_nodes_from_cover(const PackedTree& tree) {
    std::vector<PathNode> nodes = copy_structure(tree);
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        if (tree.is_leaf(id)) continue;
        set_shares(nodes[id], tree.cover[id + 1], tree.cover[nodes[id].right], tree.cover[id]);
    }
    return nodes;
}

std::vector<PathNode> path_nodes_from_background(const PackedTree& tree, const MatrixView& rows) {
    std::vector<PathNode> nodes = copy_structure(tree);
    const std::size_t n = nodes.size();
    if (n == 0) return nodes;
    std::vector<std::uint64_t> reach(n, 0);
    constexpr std::size_t kBatch = 4096;
    std::vector<std::uint32_t> leaf(std::min(kBatch, rows.rows));
    for (std::size_t b = 0; b < rows.rows; b += kBatch) {
        const std::size_t e = std::min(rows.rows, b + kBatch);
        tree.find_leaves(rows, b, e, leaf.data());
        for (std::size_t r = b; r < e; ++r) ++reach[leaf[r - b]];
    }
    for (std::size_t id = n; id-- > 0;) {
        if (tree.is_leaf(id)) continue;
        const std::uint64_t l = reach[id + 1];
        const std::uint64_t r = reach[nodes[id].right];
        reach[id] = l + r;
        if (reach[id] == 0) {
            set_shares(nodes[id], tree.cover[id + 1], tree.cover[nodes[id].right], tree.cover[id]);
        } else {
            set_shares(nodes[id], l, r, reach[id]);
        }
    }
    return nodes;
}

std::vector<double> path_leaf_values(const PackedTree& tree) {
    std::vector<double> out(tree.size(), 0.0);
    for (std::size_t id = 0; id < tree.size(); ++id) {
        if (tree.is_leaf(id)) out[id] = tree.values[id];
    }
    return out;
}

std::vector<double> path_leaf_probabilities(const PackedTree& tree, std::size_t n_classes) {
    std::vector<double> out(checked_mul(tree.size(), n_classes), 0.0);
    std::vector<double> p(tree.n_classes, 0.0);
    const std::size_t kept = std::min(n_classes, tree.n_classes);
    for (std::size_t id = 0; id < tree.size(); ++id) {
        if (!tree.is_leaf(id) || kept == 0) continue;
        std::fill(p.begin(), p.end(), 0.0);
        tree.add_proba(static_cast<std::uint32_t>(id), p.data());
        std::copy_n(p.begin(), kept, out.begin() + static_cast<std::ptrdiff_t>(id * n_classes));
    }
    return out;
}

}  // namespace canopy
