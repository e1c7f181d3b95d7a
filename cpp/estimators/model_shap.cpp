#include "estimators/model_shap.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <string>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/row_blocks.hpp"
#include "engine/thread_pool.hpp"
#include "estimators/path_shap.hpp"

namespace canopy {

namespace {

// Explained trees held at once: a forest of deep trees is explained in batches of trees, so
// that its explanation trees never need as much memory again as the forest itself.
constexpr std::size_t kBatchBytes = std::size_t{64} << 20;

constexpr std::size_t kNoClass = std::numeric_limits<std::size_t>::max();

struct TreeRef {
    std::size_t group;
    const PackedTree* tree;
    bool last_of_group;
};

std::size_t outputs_of(const TreeGroup& g) {
    return g.class_columns.empty() ? 1 : g.class_columns.size();
}

std::vector<double> leaf_outputs(const PackedTree& tree, const TreeGroup& g) {
    if (g.class_columns.empty()) return path_leaf_values(tree);
    const std::size_t k = g.class_columns.size();
    const std::vector<double> p = path_leaf_probabilities(tree, tree.n_classes);
    std::vector<double> out(checked_mul(tree.size(), k), 0.0);
    for (std::size_t id = 0; id < tree.size(); ++id) {
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t cls = g.class_columns[j];
            if (cls < tree.n_classes) out[id * k + j] = p[id * tree.n_classes + cls];
        }
    }
    return out;
}

PathShapTree explained_tree(const TreeRef& ref, const TreeGroup& g,
                            const std::optional<MatrixView>& background) {
    std::vector<PathNode> nodes = background ? path_nodes_from_background(*ref.tree, *background)
                                             : path_nodes_from_cover(*ref.tree);
    return PathShapTree(std::move(nodes), leaf_outputs(*ref.tree, g), outputs_of(g));
}

std::size_t estimated_bytes(const TreeRef& ref, const TreeGroup& g) {
    return ref.tree->size() * (sizeof(PathNode) + 2 * sizeof(double) * outputs_of(g));
}

void check_columns(const ExplainedModel& model, std::size_t cols, const char* what) {
    std::size_t needed = 0;
    for (const TreeGroup& g : model.groups) needed = std::max(needed, g.forest->min_row_length());
    require_row_length(needed, cols, what);
}

// The state of one explanation while it runs: the per-row sums of the group being added up
// (a group's trees may span batches) and the result.
struct Run {
    const ExplainedModel& model;
    MatrixView rows;
    std::size_t features;
    std::size_t outputs;
    std::size_t width;  // values per row of a group sum
    std::vector<double> group_sum;
    Attributions out;

    double* row_sum(std::size_t r) { return group_sum.data() + r * features * width; }

    // Adds the finished group's mean, scaled, to the row's attributions and clears its sum.
    void flush(const TreeGroup& g, std::size_t r) {
        double* sum = row_sum(r);
        double* phi = out.values.data() + r * features * outputs;
        const double count = static_cast<double>(g.forest->size());
        const std::size_t k = outputs_of(g);
        for (std::size_t f = 0; f < features; ++f) {
            for (std::size_t j = 0; j < k; ++j) {
                const std::size_t c = g.class_columns.empty() ? g.column : j;
                double& v = sum[f * k + j];
                phi[f * outputs + c] = phi[f * outputs + c] + g.scale * (v / count);
                v = 0.0;
            }
        }
    }

    void explain_batch(const std::vector<TreeRef>& refs, const std::vector<PathShapTree>& trees) {
        for_row_blocks(rows.rows, [&](std::size_t begin, std::size_t end) {
            PathShapWorkspace ws;
            for (std::size_t i = 0; i < trees.size(); ++i) {
                poll_interrupt();
                for (std::size_t r = begin; r < end; ++r) {
                    const double* row =
                        rows.data + static_cast<std::ptrdiff_t>(r) * rows.row_stride;
                    trees[i].add_attributions(row, row_sum(r), ws);
                }
                if (!refs[i].last_of_group) continue;
                for (std::size_t r = begin; r < end; ++r) flush(model.groups[refs[i].group], r);
            }
        });
    }
};

}  // namespace

Attributions explain_model(const ExplainedModel& model, const MatrixView& x,
                           const std::optional<MatrixView>& background) {
    const RowMajor rows(x);
    const std::size_t outputs = model.start.size();
    check_columns(model, x.cols, "x");
    std::optional<RowMajor> bg;
    if (background) {
        if (background->rows == 0) fail_user("background has no rows");
        check_columns(model, background->cols, "background");
        bg.emplace(*background);
    }
    const std::optional<MatrixView> bg_view =
        bg ? std::optional<MatrixView>(bg->view()) : std::nullopt;

    std::size_t width = 1;
    std::vector<TreeRef> all;
    for (std::size_t g = 0; g < model.groups.size(); ++g) {
        const TreeGroup& group = model.groups[g];
        if (group.class_columns.empty() ? group.column >= outputs
                                        : group.class_columns.size() > outputs) {
            fail_internal("explained model has a group beyond its outputs");
        }
        width = std::max(width, outputs_of(group));
        const auto& trees = group.forest->trees;
        for (std::size_t t = 0; t < trees.size(); ++t) {
            all.push_back({g, &trees[t], t + 1 == trees.size()});
        }
    }

    Run run{model, rows.view(), x.cols, outputs, width, {}, {}};
    run.group_sum.assign(checked_mul(checked_mul(x.rows, x.cols), width), 0.0);
    run.out.rows = x.rows;
    run.out.features = x.cols;
    run.out.outputs = outputs;
    run.out.values.assign(checked_mul(checked_mul(x.rows, x.cols), outputs), 0.0);
    // The expected value adds up exactly as the outputs do: per group, the trees' values in
    // tree order, over the count, times the scale.
    std::vector<double> expected = model.start;
    std::vector<double> group_expected(width, 0.0);

    Progress progress(all.size());
    for (std::size_t begin = 0; begin < all.size();) {
        std::size_t end = begin;
        std::size_t bytes = 0;
        while (end < all.size() && (end == begin || bytes < kBatchBytes)) {
            bytes += estimated_bytes(all[end], model.groups[all[end].group]);
            ++end;
        }
        const std::vector<PathShapTree> trees =
            parallel_map<PathShapTree>(end - begin, [&](std::size_t i) {
                const TreeRef& ref = all[begin + i];
                return explained_tree(ref, model.groups[ref.group], bg_view);
            });
        const std::vector<TreeRef> refs(all.begin() + static_cast<std::ptrdiff_t>(begin),
                                        all.begin() + static_cast<std::ptrdiff_t>(end));
        run.explain_batch(refs, trees);
        for (std::size_t i = 0; i < refs.size(); ++i) {
            const TreeGroup& g = model.groups[refs[i].group];
            const std::vector<double>& e = trees[i].expected();
            for (std::size_t j = 0; j < e.size(); ++j) group_expected[j] += e[j];
            if (!refs[i].last_of_group) continue;
            const double count = static_cast<double>(g.forest->size());
            for (std::size_t j = 0; j < outputs_of(g); ++j) {
                const std::size_t c = g.class_columns.empty() ? g.column : j;
                expected[c] = expected[c] + g.scale * (group_expected[j] / count);
                group_expected[j] = 0.0;
            }
        }
        progress.advance(end - begin);
        poll_interrupt();
        begin = end;
    }
    run.out.expected = std::move(expected);
    return std::move(run.out);
}

std::vector<FlatTree> flat_trees(const ExplainedModel& model) {
    std::vector<FlatTree> out;
    const std::size_t outputs = model.start.size();
    for (const TreeGroup& g : model.groups) {
        const std::size_t k = outputs_of(g);
        const double count = static_cast<double>(g.forest->size());
        for (const PackedTree& tree : g.forest->trees) {
            const std::vector<double> leaf = leaf_outputs(tree, g);
            const std::size_t n = tree.size();
            FlatTree f;
            f.children_left.assign(n, -1);
            f.children_right.assign(n, -1);
            f.feature.assign(n, -1);
            f.threshold.assign(n, std::numeric_limits<double>::quiet_NaN());
            f.value.assign(checked_mul(n, outputs), 0.0);
            f.cover.resize(n);
            for (std::size_t id = 0; id < n; ++id) {
                f.cover[id] = static_cast<double>(tree.cover[id]);
                if (tree.is_leaf(id)) {
                    for (std::size_t j = 0; j < k; ++j) {
                        const std::size_t c = g.class_columns.empty() ? g.column : j;
                        f.value[id * outputs + c] = g.scale * (leaf[id * k + j] / count);
                    }
                    continue;
                }
                f.children_left[id] = static_cast<std::int64_t>(id + 1);
                f.children_right[id] = static_cast<std::int64_t>(tree.nodes[id].right);
                f.feature[id] = static_cast<std::int64_t>(tree.nodes[id].feature);
                f.threshold[id] = tree.nodes[id].threshold;
            }
            out.push_back(std::move(f));
        }
    }
    return out;
}

// ---- The estimators' models ---------------------------------------------------------------------

namespace {

std::vector<std::size_t> identity_columns(std::size_t k) {
    std::vector<std::size_t> c(k);
    std::iota(c.begin(), c.end(), std::size_t{0});
    return c;
}

ExplainedModel boosted(const std::vector<Forest>& forests, std::vector<double> start,
                       double learning_rate) {
    ExplainedModel m;
    const std::size_t outputs = start.size();
    m.start = std::move(start);
    if (outputs == 0) return m;
    for (std::size_t j = 0; j < forests.size(); ++j) {
        // Forest j is round j / outputs, output j % outputs; a forest without trees adds
        // nothing.
        if (forests[j].empty()) continue;
        m.groups.push_back({&forests[j], learning_rate, j % outputs, {}});
    }
    return m;
}

}  // namespace

ExplainedModel explained_model(const DecisionTree& tree) {
    if (!tree.is_fitted || tree.forest.empty()) fail_user("DecisionTree has not been fitted");
    ExplainedModel m;
    if (!tree.is_classification()) {
        m.start = {0.0};
        m.groups.push_back({&tree.forest, 1.0, 0, {}});
        return m;
    }
    // The columns of predict_proba: one per entry of classes_, class index cls[j].
    const std::vector<std::uint64_t> none;
    const std::vector<std::uint64_t>& cls = tree.classes ? *tree.classes : none;
    std::vector<std::size_t> columns(cls.size());
    for (std::size_t j = 0; j < cls.size(); ++j) {
        columns[j] = cls[j] < cls.size() ? static_cast<std::size_t>(cls[j]) : kNoClass;
    }
    m.start.assign(cls.size(), 0.0);
    if (!cls.empty()) m.groups.push_back({&tree.forest, 1.0, 0, std::move(columns)});
    return m;
}

ExplainedModel explained_model(const RandomForestRegressor& forest) {
    if (!forest.is_fitted) fail_user("RandomForestRegressor has not been fitted");
    ExplainedModel m;
    // A forest of zero trees predicts NaN, and so is its expected value.
    m.start = {forest.forest.empty() ? std::numeric_limits<double>::quiet_NaN() : 0.0};
    if (!forest.forest.empty()) m.groups.push_back({&forest.forest, 1.0, 0, {}});
    return m;
}

ExplainedModel explained_model(const RandomForestClassifier& forest) {
    if (!forest.is_fitted) fail_user("RandomForestClassifier has not been fitted");
    ExplainedModel m;
    m.start.assign(forest.n_classes,
                   forest.forest.empty() ? std::numeric_limits<double>::quiet_NaN() : 0.0);
    if (!forest.forest.empty() && forest.n_classes > 0) {
        m.groups.push_back({&forest.forest, 1.0, 0, identity_columns(forest.n_classes)});
    }
    return m;
}

ExplainedModel explained_model(const CanopyRegressor& model) {
    model.require_fitted();
    return boosted(model.forests, {model.init_prediction}, model.config.learning_rate);
}

ExplainedModel explained_model(const CanopyClassifier& model) {
    model.require_fitted();
    return boosted(model.forests, model.init_scores, model.config.learning_rate);
}

}  // namespace canopy
