#include "engine/forest_plan.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numeric>
#include <string_view>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/exact_split.hpp"
#include "engine/hist_split.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char p, char q) {
               return (p >= 'A' && p <= 'Z' ? p - 'A' + 'a' : p) == q;
           });
}

// Decimal exponent of the leading significant digit of a plain number (digits, optional
// point and fraction, optional exponent); only its sign matters, to tell an overflow from
// an underflow.
long long magnitude(std::string_view s) {
    long long exponent = 0;
    const std::size_t e = s.find_first_of("eE");
    if (e != std::string_view::npos) {
        std::string_view digits = s.substr(e + 1);
        const bool negative = !digits.empty() && digits[0] == '-';
        if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
        for (char c : digits) {
            exponent = std::min<long long>(exponent * 10 + (c - '0'), 1'000'000'000'000LL);
        }
        if (negative) exponent = -exponent;
        s = s.substr(0, e);
    }
    const std::size_t point = std::min(s.find('.'), s.size());
    const std::size_t first = s.find_first_of("123456789");
    if (first == std::string_view::npos) return 0;
    return exponent + (first < point ? static_cast<long long>(point - first)
                                     : -static_cast<long long>(first - point));
}

// Parses the decimal forms a float literal may take: an optional sign, then digits with an
// optional fraction and exponent ("1", "1.", ".5", "2e-3"), or inf, infinity or nan in any
// letter case. No surrounding spaces, no hexadecimal. Out-of-range values round to
// infinity or zero.
std::optional<double> parse_decimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    double value;
    if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(text, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else {
        std::size_t i = 0;
        std::size_t int_digits = 0, frac_digits = 0;
        while (i < text.size() && is_digit(text[i])) ++i, ++int_digits;
        if (i < text.size() && text[i] == '.') {
            ++i;
            while (i < text.size() && is_digit(text[i])) ++i, ++frac_digits;
        }
        if (int_digits + frac_digits == 0) return std::nullopt;
        if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
            ++i;
            if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
            std::size_t exp_digits = 0;
            while (i < text.size() && is_digit(text[i])) ++i, ++exp_digits;
            if (exp_digits == 0) return std::nullopt;
        }
        if (i != text.size()) return std::nullopt;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                               std::chars_format::general);
        if (ec == std::errc::result_out_of_range) {
            value = magnitude(text) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (ec != std::errc() || end != text.data() + text.size()) {
            return std::nullopt;
        }
    }
    return negative ? -value : value;
}

// Float to unsigned: truncation toward zero, NaN and negatives give 0, saturating above.
std::uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

void check_sample(std::span<const RowIndex> sample, std::size_t n_rows) {
    for (RowIndex i : sample) {
        if (i >= n_rows) fail_internal("sample index " + std::to_string(i) + " is out of range");
    }
}

// The sample's rows, targets and weights in draw order, in new contiguous storage. The
// rows are stored column by column: the split search reads one column at a time.
struct Gathered {
    std::vector<double> columns;  // b x m, column-major
    std::vector<double> y, w;
    std::vector<RowIndex> indices;  // 0 .. b-1
    MatrixView view;
};

Gathered gather(const MatrixView& x, std::span<const double> y, std::span<const double> w,
                std::span<const RowIndex> sample) {
    check_sample(sample, std::min({x.rows, y.size(), w.size()}));
    const std::size_t b = sample.size();
    if (b > kMaxRows) fail_internal("sample has more rows than a tree can index");
    Gathered g;
    g.columns.resize(checked_mul(b, x.cols));
    g.y.resize(b);
    g.w.resize(b);
    g.indices.resize(b);
    for (std::size_t r = 0; r < b; ++r) {
        const RowIndex i = sample[r];
        for (std::size_t c = 0; c < x.cols; ++c) g.columns[c * b + r] = x(i, c);
        g.y[r] = y[i];
        g.w[r] = w[i];
        g.indices[r] = static_cast<RowIndex>(r);
    }
    g.view = MatrixView{g.columns.data(), b, x.cols, 1, static_cast<std::ptrdiff_t>(b)};
    return g;
}

}  // namespace

std::vector<TreeTask> draw_tree_tasks(Pcg64& master, std::size_t n_trees, std::size_t n_rows,
                                      bool bootstrap) {
    return draw_tree_tasks(master, TreeRange{0, n_trees}, n_rows, bootstrap);
}

std::vector<TreeTask> draw_tree_tasks(Pcg64& master, TreeRange range, std::size_t n_rows,
                                      bool bootstrap) {
    if (n_rows > kMaxRows) fail_internal("too many rows for a tree's sample");
    for (std::uint64_t t = 0; t < range.begin; ++t) {
        // The rejection draws consume a variable number of outputs: they must be made.
        poll_interrupt();
        if (bootstrap) {
            master.skip_indices(n_rows, n_rows);
        }
        master.next_u64();
    }
    std::vector<TreeTask> tasks(static_cast<std::size_t>(range.size()));
    for (std::size_t k = 0; k < tasks.size(); ++k) {
        poll_interrupt();
        TreeTask& task = tasks[k];
        task.tree_index = static_cast<std::size_t>(range.begin) + k;
        task.sample_indices.resize(n_rows);
        if (bootstrap) {
            master.fill_indices(n_rows, task.sample_indices.data(), n_rows);
        } else {
            std::iota(task.sample_indices.begin(), task.sample_indices.end(), RowIndex{0});
        }
        task.seed = master.next_u64();
    }
    return tasks;
}

std::uint64_t resolve_max_features(const std::optional<std::string>& max_features,
                                   std::size_t n_features) {
    const auto n = static_cast<std::uint64_t>(n_features);
    if (!max_features) return n;
    const std::string& text = *max_features;
    const double nf = static_cast<double>(n_features);
    const auto at_least_one = [](double v) {
        return std::max<std::uint64_t>(1, saturating_u64(std::floor(v)));
    };
    if (text == "sqrt") return at_least_one(std::sqrt(nf));
    if (text == "log2") return at_least_one(std::log2(nf));
    const std::optional<double> v = parse_decimal(text);
    if (!v) return n;
    if (*v <= 1.0) return at_least_one(*v * nf);
    return saturating_u64(*v);  // above 1 (or NaN): a count
}

TreeParams make_tree_params(std::optional<std::uint64_t> max_depth,
                            const std::optional<std::string>& max_features, std::size_t n_features,
                            std::uint64_t min_samples_split, std::uint64_t min_samples_leaf,
                            bool is_classification) {
    TreeParams p;
    p.max_depth = max_depth;
    const std::uint64_t k = resolve_max_features(max_features, n_features);
    if (k < n_features) p.max_features = k;
    p.min_samples_split = min_samples_split;
    p.min_samples_leaf = min_samples_leaf;
    p.is_classification = is_classification;
    return p;
}

Tree build_tree_on_bootstrap(const MatrixView& x, std::span<const double> y,
                             std::span<const double> sample_weight,
                             std::span<const RowIndex> sample_indices, const TreeParams& params,
                             Pcg64& rng, const HistogramData& hist, ScratchPool* pool) {
    // The search checks the sample against the data, gathers the sample's bin codes,
    // weights and targets itself, in sample order, and never reads the raw values: rows
    // need not be copied.
    return build_node(x, y, sample_weight, sample_indices, params, rng, hist, pool);
}

Tree build_tree_on_bootstrap_exact(const MatrixView& x, std::span<const double> y,
                                   std::span<const double> sample_weight,
                                   std::span<const RowIndex> sample_indices,
                                   const TreeParams& params, Pcg64& rng) {
    Gathered g = gather(x, y, sample_weight, sample_indices);
    return build_node_exact(g.view, g.y, g.w, g.indices, params, rng);
}

Tree grow_tree(const MatrixView& x, std::span<const double> y,
               std::span<const double> sample_weight, const TreeTask& task,
               const TreeParams& params, const HistogramData* hist, ScratchPool* pool) {
    Pcg64 rng = Pcg64::seed_from_u64(task.seed);
    if (hist != nullptr) {
        return build_tree_on_bootstrap(x, y, sample_weight, task.sample_indices, params, rng,
                                       *hist, pool);
    }
    return build_tree_on_bootstrap_exact(x, y, sample_weight, task.sample_indices, params, rng);
}

Forest grow_forest(const MatrixView& x, std::span<const double> y,
                   std::span<const double> sample_weight, const std::vector<TreeTask>& tasks,
                   const TreeParams& params, const HistogramData* hist, std::size_t n_classes) {
    Forest forest;
    forest.n_classes = n_classes;
    Progress progress(tasks.size());  // finished trees are the call's progress
    ScratchPool pool;
    // The histogram search's node shuffles, drawn for groups of trees where they can be.
    std::vector<std::uint64_t> seeds;
    if (hist != nullptr && params.max_features) {
        for (const TreeTask& task : tasks) seeds.push_back(task.seed);
    }
    ForestShuffles shuffles(std::move(seeds), x.cols, params.max_features.value_or(x.cols));
    forest.trees = parallel_map<PackedTree>(tasks.size(), [&](std::size_t i) {
        Tree grown;
        if (std::shared_ptr<ShuffleGroup> group = shuffles.group_of(i)) {
            NodeShuffles node_shuffles(std::move(group), ForestShuffles::lane_of(i));
            grown = build_node(x, y, sample_weight, tasks[i].sample_indices, params,
                               node_shuffles, *hist, &pool);
        } else {
            grown = grow_tree(x, y, sample_weight, tasks[i], params, hist, &pool);
        }
        PackedTree tree = PackedTree::pack(grown, n_classes);
        pool.recycle(std::move(grown));
        progress.advance();
        return tree;
    });
    progress.complete();
    return forest;
}

}  // namespace canopy
