#include "estimators/unsupervised/proximity.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <type_traits>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/row_blocks.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {

namespace {

void check_forest_shape(const Forest& forest, const OobSets& oob_sets, std::size_t n) {
    if (forest.size() != oob_sets.size()) fail_internal("one out-of-bag set per tree expected");
    if (forest.size() > std::numeric_limits<std::uint32_t>::max()) {
        fail_internal("too many trees to count proximities");
    }
    for (const auto& oob : oob_sets) {
        for (RowIndex i : oob) {
            if (i >= n) fail_internal("out-of-bag index beyond the training rows");
        }
    }
}

// Out-of-bag membership per row, a bitset over the trees whose popcounts give the
// valid-comparison counts, and, when asked for, per tree a byte per row (is row j out of bag
// in tree t?) for the dense rows.
struct OobMembership {
    std::size_t n = 0;
    std::size_t words = 0;
    std::vector<std::uint8_t> by_tree;   // [t * n + j], empty unless asked for
    std::vector<std::uint64_t> by_row;   // [i * words + w]
    std::vector<std::uint32_t> per_row;  // trees in which row i is out of bag

    OobMembership(const OobSets& oob_sets, std::size_t n_rows, bool with_by_tree)
        : n(n_rows),
          words((oob_sets.size() + 63) / 64),
          by_row(checked_mul(words, n_rows), 0),
          per_row(n_rows, 0) {
        if (with_by_tree) by_tree.assign(checked_mul(oob_sets.size(), n_rows), 0);
        for (std::size_t t = 0; t < oob_sets.size(); ++t) {
            const std::uint64_t bit = std::uint64_t{1} << (t % 64);
            for (RowIndex i : oob_sets[t]) {
                std::uint64_t& word = by_row[i * words + t / 64];
                if ((word & bit) != 0) continue;  // a set: repeats count once
                word |= bit;
                ++per_row[i];
                if (with_by_tree) by_tree[t * n + i] = 1;
            }
        }
    }

    // Whether row i is out of bag in tree t, from the bitsets (built in every case).
    bool in(std::size_t t, std::size_t i) const {
        return ((by_row[i * words + t / 64] >> (t % 64)) & 1) != 0;
    }

    // Trees in which i or j (or both) is out of bag.
    std::uint32_t either(std::size_t i, std::size_t j) const {
        const std::uint64_t* a = by_row.data() + i * words;
        const std::uint64_t* b = by_row.data() + j * words;
        std::uint32_t both = 0;
        for (std::size_t w = 0; w < words; ++w) both += std::popcount(a[w] & b[w]);
        return per_row[i] + per_row[j] - both;
    }
};

}  // namespace

LeafGroups group_rows_by_leaf(const Forest& forest, std::size_t t, const Matrix& x,
                              bool with_ranges) {
    const std::size_t n = x.rows;
    std::vector<std::uint32_t> leaf(n);
    for_row_blocks(n, [&](std::size_t begin, std::size_t end) {
        forest.leaves(t, x.view(), begin, end, leaf.data() + begin);
    });
    // (leaf id, row) pairs are distinct, so a plain sort gives the stable order by id.
    std::vector<std::pair<std::uint32_t, RowIndex>> keyed(n);
    for (std::size_t i = 0; i < n; ++i) keyed[i] = {leaf[i], static_cast<RowIndex>(i)};
    std::sort(keyed.begin(), keyed.end());
    LeafGroups g;
    g.order.resize(n);
    g.sorted_ids.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        g.sorted_ids[k] = keyed[k].first;
        g.order[k] = keyed[k].second;
    }
    if (with_ranges) {
        g.group_begin.resize(n);
        g.group_end.resize(n);
        std::size_t begin = 0;
        while (begin < n) {
            std::size_t end = begin + 1;
            while (end < n && g.sorted_ids[end] == g.sorted_ids[begin]) ++end;
            for (std::size_t k = begin; k < end; ++k) {
                g.group_begin[g.order[k]] = static_cast<RowIndex>(begin);
                g.group_end[g.order[k]] = static_cast<RowIndex>(end);
            }
            begin = end;
        }
    }
    return g;
}

std::vector<LeafGroups> group_rows_by_leaf_all(const Forest& forest, const Matrix& x,
                                               bool with_ranges) {
    return parallel_map<LeafGroups>(forest.size(), [&](std::size_t t) {
        return group_rows_by_leaf(forest, t, x, with_ranges);
    });
}

namespace {

// Counting sort of the rows by (leaf, in bag), the leaf ids being node indices of the tree,
// and each row's valid leaf-mates in this tree (mates[i]).
struct OobFirstTree {
    LeafGroups groups;
    std::vector<MateRange> mates;
};

OobFirstTree group_oob_first(const Forest& forest, std::size_t t, const Matrix& x,
                             const std::uint8_t* is_oob) {
    const std::size_t n = x.rows;
    std::vector<std::uint32_t> leaf(n);
    for_row_blocks(n, [&](std::size_t begin, std::size_t end) {
        forest.leaves(t, x.view(), begin, end, leaf.data() + begin);
    });
    const auto key = [&](std::size_t i) { return 2 * std::size_t{leaf[i]} + (is_oob[i] ? 0 : 1); };
    std::vector<RowIndex> next(2 * forest.trees[t].size() + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++next[key(i) + 1];
    std::partial_sum(next.begin(), next.end(), next.begin());
    OobFirstTree out;
    LeafGroups& g = out.groups;
    g.order.resize(n);
    g.sorted_ids.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const RowIndex k = next[key(i)]++;
        g.order[k] = static_cast<RowIndex>(i);
        g.sorted_ids[k] = leaf[i];
    }
    out.mates.resize(n);
    for (std::size_t begin = 0; begin < n;) {
        std::size_t end = begin + 1;
        while (end < n && g.sorted_ids[end] == g.sorted_ids[begin]) ++end;
        std::size_t oob_end = begin;
        while (oob_end < end && is_oob[g.order[oob_end]]) ++oob_end;
        for (std::size_t k = begin; k < end; ++k) {
            out.mates[g.order[k]] = {static_cast<RowIndex>(begin),
                                     static_cast<RowIndex>(k < oob_end ? end : oob_end)};
        }
        begin = end;
    }
    return out;
}

}  // namespace

OobFirstGroups group_rows_by_leaf_oob_first(const Forest& forest, const OobSets& oob_sets,
                                            const Matrix& x) {
    check_forest_shape(forest, oob_sets, x.rows);
    std::vector<OobFirstTree> trees = parallel_map<OobFirstTree>(forest.size(), [&](std::size_t t) {
        std::vector<std::uint8_t> is_oob(x.rows, 0);
        for (RowIndex i : oob_sets[t]) is_oob[i] = 1;
        return group_oob_first(forest, t, x, is_oob.data());
    });
    // Row by row: the trees' columns are written by blocks of rows, so that no two threads
    // write the same cache line.
    const std::size_t n_trees = trees.size();
    OobFirstGroups out;
    out.mates.resize(checked_mul(x.rows, n_trees));
    for_row_blocks(x.rows, [&](std::size_t first, std::size_t last) {
        for (std::size_t t = 0; t < n_trees; ++t) {
            const MateRange* column = trees[t].mates.data();
            for (std::size_t i = first; i < last; ++i) out.mates[i * n_trees + t] = column[i];
        }
    });
    out.groups.reserve(n_trees);
    for (OobFirstTree& tree : trees) {
        out.groups.push_back(std::move(tree.groups));
        tree.mates = {};
    }
    return out;
}

namespace {

// One row's co-occurrence counts, count[j] for every training row j, in the narrowest type
// that holds the number of trees: the counts are written in a random order, and a small array
// keeps more of them in cache. The array is padded to whole blocks of 64 entries, which the
// drain reads at once.
template <class Count>
class RowCounts {
  public:
    explicit RowCounts(std::size_t n) : count_((n + 63) / 64 * 64, 0) {}

    Count* data() { return count_.data(); }
    Count operator[](std::size_t j) const { return count_[j]; }
    // Entries, a multiple of 64: blocks start at 0, 64, 128, ...
    std::size_t size() const { return count_.size(); }

    // Bit k set when count[w + k] is not zero, for the block that starts at w.
    std::uint64_t nonzero_in_block(std::size_t w) const { return nonzero_mask(count_.data() + w); }
    void clear_block(std::size_t w) { std::fill_n(count_.data() + w, 64, Count{0}); }

    // Calls fn(j, count[j]) for every nonzero count, in increasing j, and zeroes them all.
    // The nonzero entries are found from the counts themselves: a bitset kept beside them
    // would cost a second write per count.
    template <class Fn>
    void drain(Fn&& fn) {
        for (std::size_t w = 0; w < count_.size(); w += 64) {
            std::uint64_t bits = nonzero_in_block(w);
            if (bits == 0) continue;
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t j = w + static_cast<std::size_t>(std::countr_zero(bits));
                fn(static_cast<RowIndex>(j), count_[j]);
            }
            clear_block(w);
        }
    }

  private:
    // Bit k set when block[k] is not zero.
    static std::uint64_t nonzero_mask(const Count* block) {
#if defined(__SSE2__)
        if constexpr (sizeof(Count) == 1) {
            const __m128i zero = _mm_setzero_si128();
            std::uint64_t zeros = 0;
            for (int q = 0; q < 4; ++q) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * q));
                zeros |= static_cast<std::uint64_t>(
                             static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))))
                         << (16 * q);
            }
            return ~zeros;
        }
#endif
        std::uint64_t bits = 0;
        for (std::size_t k = 0; k < 64; ++k) bits |= std::uint64_t{block[k] != 0} << k;
        return bits;
    }

    std::vector<Count> count_;
};

// Row i's counts over the trees: count[j] for every j that shares a leaf with i in a tree
// where the pair is valid, the ranges being row i's (mates[i * n_trees ...]).
template <class Count>
void count_valid_mates(const std::vector<LeafGroups>& groups, const MateRange* ranges,
                       Count* count) {
    for (std::size_t t = 0; t < groups.size(); ++t) {
        const RowIndex* order = groups[t].order.data();
        const RowIndex* end = order + ranges[t].end;
        for (const RowIndex* mate = order + ranges[t].begin; mate != end; ++mate) ++count[*mate];
    }
}

// (c / v)^2 for every co-occurrence count c and valid count v up to the number of trees,
// each the product of the very quotient a term computes, so a term read from the table is the
// same double. Kept only for forests of up to 127 trees (a table of at most 128 KiB, which
// stays in cache); a division costs more than the load that replaces it.
class SquaredShares {
  public:
    explicit SquaredShares(std::size_t n_trees) : stride_(n_trees + 1) {
        if (n_trees > kMaxTrees) return;
        table_.resize(stride_ * stride_, 0.0);
        for (std::size_t c = 0; c <= n_trees; ++c) {
            for (std::size_t v = 1; v <= n_trees; ++v) {
                const double p = static_cast<double>(c) / static_cast<double>(v);
                table_[c * stride_ + v] = p * p;
            }
        }
    }

    // (c / v)^2 for 0 < c, v <= n_trees.
    double operator()(std::uint32_t c, std::uint32_t v) const {
        if (table_.empty()) {
            const double p = static_cast<double>(c) / static_cast<double>(v);
            return p * p;
        }
        return table_[c * stride_ + v];
    }

  private:
    static constexpr std::size_t kMaxTrees = 127;
    std::size_t stride_;
    std::vector<double> table_;
};

// Rows whose sums are taken together, block by block of 64 js (below). Their counts stay in
// cache side by side while there are at most this many and they fill at most kDrainBytes.
constexpr std::size_t kMaxRowsPerDrain = 4;
constexpr std::size_t kDrainBytes = std::size_t{512} << 10;

template <class Count>
std::size_t rows_per_drain(std::size_t n) {
    const std::size_t bytes = std::max<std::size_t>(1, n * sizeof(Count));
    return std::clamp<std::size_t>(kDrainBytes / bytes, 1, kMaxRowsPerDrain);
}

// The two sums of each of rows[0 .. m), each row's terms in increasing j: with valid counts
// from the out-of-bag bitsets, every term is the dense row's count / valid, squared. The rows
// go through their counts together, block by block of 64 js, one row after the other within
// a block, so that a block's bitsets are read from memory once for all of them and the sums
// of different rows, independent chains of additions, overlap. Words is the length of a
// bitset when known at compile time, 0 otherwise.
template <std::size_t Words, class Count, class Popcount>
[[gnu::always_inline]] inline void square_sums_of_rows(const OobMembership& oob,
                                                       const SquaredShares& shares,
                                                       const std::size_t* rows, std::size_t m,
                                                       RowCounts<Count>* counts, SquareSums& out,
                                                       Popcount popcount) {
    const std::size_t words = Words != 0 ? Words : oob.words;
    const std::uint64_t* by_row = oob.by_row.data();
    const std::uint32_t* per_row = oob.per_row.data();
    double all[kMaxRowsPerDrain] = {};
    double others[kMaxRowsPerDrain] = {};
    for (std::size_t w = 0; w < counts[0].size(); w += 64) {
        for (std::size_t r = 0; r < m; ++r) {
            std::uint64_t bits = counts[r].nonzero_in_block(w);
            if (bits == 0) continue;
            const std::size_t i = rows[r];
            const std::uint64_t* a = by_row + i * words;
            const std::uint32_t per_i = per_row[i];
            double row_all = all[r];
            double row_others = others[r];
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t j = w + static_cast<std::size_t>(std::countr_zero(bits));
                const std::uint64_t* b = by_row + j * words;
                std::uint32_t both = 0;
                for (std::size_t k = 0; k < words; ++k) both += popcount(a[k] & b[k]);
                const double term = shares(counts[r][j], per_i + per_row[j] - both);
                row_all += term;
                if (j != i) row_others += term;
            }
            all[r] = row_all;
            others[r] = row_others;
            counts[r].clear_block(w);
        }
    }
    for (std::size_t r = 0; r < m; ++r) {
        out.with_self[rows[r]] = all[r];
        out.without_self[rows[r]] = others[r];
    }
}

template <std::size_t Words, class Count>
void rows_sums_portable(const OobMembership& oob, const SquaredShares& shares,
                        const std::size_t* rows, std::size_t m, RowCounts<Count>* counts,
                        SquareSums& out) {
    square_sums_of_rows<Words>(oob, shares, rows, m, counts, out, [](std::uint64_t v) {
        return static_cast<std::uint32_t>(std::popcount(v));
    });
}

// The same integer counts with the processor's population count instruction.
template <std::size_t Words, class Count>
[[gnu::target("popcnt")]] void rows_sums_popcnt(const OobMembership& oob,
                                                const SquaredShares& shares,
                                                const std::size_t* rows, std::size_t m,
                                                RowCounts<Count>* counts, SquareSums& out) {
    square_sums_of_rows<Words>(oob, shares, rows, m, counts, out, [](std::uint64_t v) {
        return static_cast<std::uint32_t>(__builtin_popcountll(v));
    });
}

// Calls fn with the length of the out-of-bag bitsets as a compile-time constant for forests
// of up to 128 trees (one or two words), and as 0 (read at run time) beyond.
template <class Fn>
void with_word_count(std::size_t words, Fn&& fn) {
    if (words == 1) {
        fn(std::integral_constant<std::size_t, 1>{});
    } else if (words == 2) {
        fn(std::integral_constant<std::size_t, 2>{});
    } else {
        fn(std::integral_constant<std::size_t, 0>{});
    }
}

bool has_popcnt() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt");
}

template <std::size_t Words, class Count>
void square_sums_counted(const OobMembership& oob, const OobFirstGroups& grouped, std::size_t n,
                         SquareSums& out) {
    static const bool popcnt = has_popcnt();
    const std::size_t n_trees = grouped.groups.size();
    const SquaredShares shares(n_trees);
    const std::size_t per_drain = rows_per_drain<Count>(n);
    // Rows are visited leaf by leaf of the first tree: rows that share one leaf tend to share
    // leaves in the other trees too, so their leaf-mate lists are still in cache, and their
    // partners overlap in the drain. Each row's sums depend on nothing but the row, so the
    // visiting order leaves them as they are.
    const RowIndex* visit = n_trees == 0 ? nullptr : grouped.groups[0].order.data();
    for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        std::vector<RowCounts<Count>> counts(per_drain, RowCounts<Count>(n));
        std::size_t rows[kMaxRowsPerDrain];
        for (std::size_t k = first; k < last; k += per_drain) {
            const std::size_t m = std::min(per_drain, last - k);
            for (std::size_t r = 0; r < m; ++r) {
                rows[r] = visit != nullptr ? visit[k + r] : k + r;
                poll_interrupt();
                count_valid_mates(grouped.groups, grouped.mates.data() + rows[r] * n_trees,
                                  counts[r].data());
            }
            // Every other j has proximity 0.0 and would add +0.0, which leaves a sum as it
            // is; in increasing j the nonzero terms meet in the dense row's order.
            if (popcnt) {
                rows_sums_popcnt<Words>(oob, shares, rows, m, counts.data(), out);
            } else {
                rows_sums_portable<Words>(oob, shares, rows, m, counts.data(), out);
            }
        }
    });
}

// Calls fn(Count{}) with the narrowest unsigned type Count that holds max_count.
template <class Fn>
void with_count_type(std::size_t max_count, Fn&& fn) {
    if (max_count <= std::numeric_limits<std::uint8_t>::max()) {
        fn(std::uint8_t{});
    } else if (max_count <= std::numeric_limits<std::uint16_t>::max()) {
        fn(std::uint16_t{});
    } else {
        fn(std::uint32_t{});
    }
}

}  // namespace

SquareSums proximity_square_sums(const OobSets& oob_sets, const OobFirstGroups& groups,
                                 std::size_t n) {
    const std::size_t n_trees = groups.groups.size();
    if (n_trees != oob_sets.size()) fail_internal("one out-of-bag set per tree expected");
    if (groups.mates.size() != n * n_trees) fail_internal("one leaf-mate range per row and tree");
    SquareSums out{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
    if (n == 0) return out;
    const OobMembership oob(oob_sets, n, false);
    with_count_type(n_trees, [&](auto count) {
        with_word_count(oob.words, [&](auto words) {
            square_sums_counted<decltype(words)::value, decltype(count)>(oob, groups, n, out);
        });
    });
    return out;
}

void for_each_proximity_row(
    const Forest& forest, const OobSets& oob_sets, const Matrix& x, bool use_oob,
    const std::function<void(std::size_t, std::span<const double>)>& row_fn) {
    const std::size_t n = x.rows;
    const std::size_t n_trees = forest.size();
    check_forest_shape(forest, oob_sets, n);
    if (n == 0) return;
    const OobMembership oob(oob_sets, n, true);
    const std::vector<LeafGroups> groups = group_rows_by_leaf_all(forest, x, true);

    // Row i's co-occurrences: every leaf-mate j in every tree where the pair is valid. Each
    // block owns its rows, so the counts need no synchronisation and no particular order.
    for_row_blocks(n, [&](std::size_t first, std::size_t last) {
        std::vector<std::uint32_t> together(n);
        std::vector<double> row(n);
        for (std::size_t i = first; i < last; ++i) {
            poll_interrupt();
            std::fill(together.begin(), together.end(), 0u);
            for (std::size_t t = 0; t < n_trees; ++t) {
                const LeafGroups& g = groups[t];
                const RowIndex* mate = g.order.data() + g.group_begin[i];
                const RowIndex* end = g.order.data() + g.group_end[i];
                if (!use_oob || oob.in(t, i)) {
                    for (; mate != end; ++mate) ++together[*mate];
                } else {
                    const std::uint8_t* mask = oob.by_tree.data() + t * n;
                    for (; mate != end; ++mate) together[*mate] += mask[*mate];
                }
            }
            for (std::size_t j = 0; j < n; ++j) {
                const std::uint32_t valid =
                    use_oob ? oob.either(i, j) : static_cast<std::uint32_t>(n_trees);
                row[j] =
                    valid > 0 ? static_cast<double>(together[j]) / static_cast<double>(valid) : 0.0;
            }
            row_fn(i, row);
        }
    });
}

Matrix dense_proximity(const Forest& forest, const OobSets& oob_sets, const Matrix& x,
                       bool use_oob) {
    Matrix out(x.rows, x.rows);
    for_each_proximity_row(forest, oob_sets, x, use_oob,
                           [&](std::size_t i, std::span<const double> row) {
                               std::copy(row.begin(), row.end(), out.values.begin() + i * x.rows);
                           });
    return out;
}

namespace {

// One row's neighbour counts while the trees are visited. Capacity grows by doubling but
// never beyond 2k + 1 pairs, the most a row holds before it is cut back to k.
class NeighbourCounts {
  public:
    void add(SparseProximityRow& row, std::size_t j, std::size_t k) const {
        for (auto& pair : row) {
            if (pair.first == j) {
                pair.second += 1.0;
                return;
            }
        }
        make_room(row, k);
        row.emplace_back(j, 1.0);
        if (row.size() > 2 * k) keep_largest(row, k);
    }

    static void make_room(SparseProximityRow& row, std::size_t k) {
        if (row.size() == row.capacity()) {
            row.reserve(std::min(2 * k + 1, std::max<std::size_t>(2, 2 * row.capacity())));
        }
    }

    // Stable sort by decreasing count, then the first k. Rows are short while trees are
    // visited, so an in-place insertion sort (stable, no allocation) serves them; long
    // rows take the library's stable sort. Both give the same order.
    static void keep_largest(SparseProximityRow& row, std::size_t k) {
        if (row.size() <= kInsertionSortLimit) {
            for (std::size_t a = 1; a < row.size(); ++a) {
                const auto item = row[a];
                std::size_t b = a;
                for (; b > 0 && row[b - 1].second < item.second; --b) row[b] = row[b - 1];
                row[b] = item;
            }
        } else {
            std::stable_sort(row.begin(), row.end(),
                             [](const auto& a, const auto& b) { return a.second > b.second; });
        }
        if (row.size() > k) row.resize(k);
    }

  private:
    static constexpr std::size_t kInsertionSortLimit = 64;
};

// A row's leaf-mates in one tree, in group order, without the row itself: the run of rows
// they are read from, and where in it the row itself stands (kAbsent when it does not).
inline constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

struct MateStream {
    const RowIndex* run;
    std::size_t size;  // mates, the row itself excluded
    std::size_t self;

    RowIndex operator[](std::size_t r) const { return run[r < self ? r : r + 1]; }
    // Position among the mates of the row standing at `at` in the run (not the row itself).
    std::size_t position(std::size_t at) const { return at > self ? at - 1 : at; }
};

// Adds one tree's leaf-mates to a row with the result of NeighbourCounts::add called for
// each mate in turn, in time that grows with k rather than with the leaf, since leaves of
// hundreds of rows made the per-mate loop the whole cost. Call by call, add does this:
// - a mate already in the row (listed) gains 1.0;
// - a new mate is appended while the row holds fewer than k pairs;
// - otherwise it is appended at position k or later, and when the row exceeds 2k pairs the
//   row is stably sorted by decreasing count and cut to k. Such a mate is never kept by that
//   cut: the k pairs before it all count at least its 1.0 (a row occurs once per tree) and
//   come first among equals. So it only counts towards the size that triggers the cut, and is
//   written to the row only if the tree ends before the next cut ("pending").
// Only the row's own pairs can be listed, so only their positions among the mates matter:
// between two of them lies a run of new mates, whose cuts fall every so many mates. After a
// cut the row stays as that cut left it until a listed mate or an append changes it, and a
// cut of an unchanged row (sorted, k pairs) drops only the pending mates. A pair that a cut
// drops is new again if it comes later in the same tree.
class NeighbourSlots {
  public:
    explicit NeighbourSlots(std::size_t n) : slot_(n, 0), listed_((n + 63) / 64, 0) {}

    // position_of(j): j's position among the mates, kAbsent when it is not one of them.
    template <class PositionOf>
    void add_tree(SparseProximityRow& row, std::size_t k, const MateStream& mates,
                  PositionOf&& position_of) {
        events_.clear();
        for (const auto& pair : row) {
            const std::size_t r = position_of(pair.first);
            if (r != kAbsent) events_.push_back({r, pair.first});
        }
        std::sort(events_.begin(), events_.end());
        mark(row);
        pending_ = 0;
        pending_runs_.clear();
        changed_ = true;  // the row as the last tree left it is not known to be cut
        std::size_t at = 0;
        for (const auto& [r, j] : events_) {
            add_new(row, k, mates, at, r);
            if (listed(j)) {
                row[slot_[j] - 1].second += 1.0;
                changed_ = true;
            } else {
                add_new(row, k, mates, r, r + 1);  // dropped by a cut earlier in this tree
            }
            at = r + 1;
        }
        add_new(row, k, mates, at, mates.size);
        unmark(row);
        for (const auto& [a, b] : pending_runs_) {
            for (std::size_t r = a; r < b; ++r) {
                NeighbourCounts::make_room(row, k);
                row.emplace_back(mates[r], 1.0);
            }
        }
    }

  private:
    // Mates a .. b - 1, none of them listed.
    void add_new(SparseProximityRow& row, std::size_t k, const MateStream& mates, std::size_t a,
                 std::size_t b) {
        for (; a < b && row.size() < k; ++a) {  // nothing is pending while the row is short
            NeighbourCounts::make_room(row, k);
            row.emplace_back(mates[a], 1.0);
            list(mates[a], row.size());
            changed_ = true;
        }
        if (a == b) return;
        // The mate that takes the row past 2k pairs triggers a cut.
        const std::size_t to_cut = 2 * k + 1 - row.size() - pending_;
        if (b - a < to_cut) {
            pending_ += b - a;
            pending_runs_.push_back({a, b});
            return;
        }
        cut(row, k);
        // The row now holds k pairs and stays unchanged through this run: every k + 1
        // further mates trigger a cut that only drops them.
        pending_ = (b - a - to_cut) % (k + 1);
        if (pending_ != 0) pending_runs_.push_back({b - pending_, b});
    }

    // The stable sort reorders the row and drops all but k: the index follows. A row left
    // as the last cut made it would come out of the stable sort as it is: then the cut only
    // drops the pending mates.
    void cut(SparseProximityRow& row, std::size_t k) {
        pending_ = 0;
        pending_runs_.clear();
        if (!changed_) return;
        unmark(row);
        NeighbourCounts::keep_largest(row, k);
        mark(row);
        changed_ = false;
    }

    bool listed(RowIndex j) const { return (listed_[j / 64] >> (j % 64)) & 1; }

    void list(std::size_t j, std::size_t position) {
        slot_[j] = static_cast<RowIndex>(position);
        listed_[j / 64] |= std::uint64_t{1} << (j % 64);
    }

    void mark(const SparseProximityRow& row) {
        for (std::size_t p = 0; p < row.size(); ++p) list(row[p].first, p + 1);
    }

    void unmark(const SparseProximityRow& row) {
        for (const auto& pair : row) listed_[pair.first / 64] = 0;
    }

    std::vector<RowIndex> slot_;  // position + 1 of neighbour j in the current row, if listed
    std::vector<std::uint64_t> listed_;  // bit j % 64 of word j / 64: j is in the current row
    std::vector<std::pair<std::size_t, RowIndex>> events_;  // (position, j) of listed mates
    std::vector<std::pair<std::size_t, std::size_t>> pending_runs_;  // since the last cut
    std::size_t pending_ = 0;
    bool changed_ = true;  // the row has changed since the last cut
};

// Below this many leaf-mates the row search is as cheap as marking the row in the index.
inline constexpr std::size_t kSlotsFromMates = 8;

}  // namespace

std::vector<SparseProximityRow> sparse_proximity_rows(const Forest& forest, const OobSets& oob_sets,
                                                      const Matrix& x, std::size_t k,
                                                      std::size_t* peak_row_pairs) {
    const std::size_t n = x.rows;
    check_forest_shape(forest, oob_sets, n);
    std::vector<SparseProximityRow> rows(n);
    std::vector<std::uint8_t> is_oob(n, 0);
    std::vector<RowIndex> oob_mates(n);  // per group, its out-of-bag rows in group order
    std::vector<RowIndex> mates_begin(n), mates_end(n);  // per row, its group's slice of it
    std::vector<RowIndex> at(n), oob_at(n);  // row j's place in the group order, in oob_mates
    std::vector<std::size_t> row_peak(n, 0);
    const NeighbourCounts counts;
    for (std::size_t t = 0; t < forest.size(); ++t) {
        poll_interrupt();
        if (oob_sets[t].empty()) continue;  // no pair of this tree is valid
        for (RowIndex i : oob_sets[t]) is_oob[i] = 1;
        const LeafGroups g = group_rows_by_leaf(forest, t, x, true);
        std::size_t filled = 0;
        for (std::size_t begin = 0; begin < n; begin = g.group_end[g.order[begin]]) {
            const std::size_t end = g.group_end[g.order[begin]];
            const std::size_t first = filled;
            for (std::size_t a = begin; a < end; ++a) {
                const RowIndex j = g.order[a];
                at[j] = static_cast<RowIndex>(a);
                if (is_oob[j]) {
                    oob_at[j] = static_cast<RowIndex>(filled);
                    oob_mates[filled++] = j;
                }
            }
            for (std::size_t a = begin; a < end; ++a) {
                mates_begin[g.order[a]] = static_cast<RowIndex>(first);
                mates_end[g.order[a]] = static_cast<RowIndex>(filled);
            }
        }
        // A pair counts when at least one side is out of bag: an out-of-bag row takes every
        // leaf-mate, an in-bag row only its out-of-bag leaf-mates, in group order. A row only
        // ever changes through its own updates, one group per tree, so rows are independent
        // and the blocks may run in any order.
        for_row_blocks(n, [&](std::size_t first, std::size_t last) {
            std::optional<NeighbourSlots> slots;
            for (std::size_t i = first; i < last; ++i) {
                if (mates_begin[i] == mates_end[i]) continue;
                const bool whole_leaf = is_oob[i] != 0;
                const std::size_t lo = whole_leaf ? g.group_begin[i] : mates_begin[i];
                const std::size_t hi = whole_leaf ? g.group_end[i] : mates_end[i];
                const RowIndex* run = (whole_leaf ? g.order.data() : oob_mates.data()) + lo;
                const MateStream mates{run, whole_leaf ? hi - lo - 1 : hi - lo,
                                       whole_leaf ? at[i] - lo : kAbsent};
                if (hi - lo < kSlotsFromMates) {
                    for (std::size_t r = 0; r < mates.size; ++r) counts.add(rows[i], mates[r], k);
                } else {
                    if (!slots) slots.emplace(n);
                    slots->add_tree(rows[i], k, mates, [&](RowIndex j) {
                        std::size_t a = kAbsent;
                        if (whole_leaf) {
                            a = at[j];
                        } else if (is_oob[j]) {
                            a = oob_at[j];
                        }
                        if (a < lo || a >= hi || j == i) return kAbsent;
                        return mates.position(a - lo);
                    });
                }
                row_peak[i] = std::max(row_peak[i], rows[i].capacity());
            }
        });
        for (RowIndex i : oob_sets[t]) is_oob[i] = 0;
    }
    const std::size_t peak =
        row_peak.empty() ? 0 : *std::max_element(row_peak.begin(), row_peak.end());
    const double n_trees = static_cast<double>(forest.size());
    for (std::size_t i = 0; i < n; ++i) {
        // Trimming long lists takes a while for a large k: Ctrl-C must stop it too, before
        // anything is stored.
        if (i % 256 == 0) poll_interrupt();
        for (auto& pair : rows[i]) pair.second /= n_trees;
        NeighbourCounts::keep_largest(rows[i], k);
    }
    if (peak_row_pairs != nullptr) *peak_row_pairs = peak;
    return rows;
}

Matrix new_row_proximity(const Forest& forest, const Matrix& x_train, const MatrixView& x_new) {
    const std::size_t n = x_train.rows;
    const RowMajor rows(x_new);
    Matrix out(x_new.rows, n);
    const std::vector<LeafGroups> groups = group_rows_by_leaf_all(forest, x_train, false);
    const double n_trees = static_cast<double>(forest.size());
    for_row_blocks(x_new.rows, [&](std::size_t first, std::size_t last) {
        std::vector<std::uint32_t> leaf(last - first);
        for (std::size_t t = 0; t < forest.size(); ++t) {
            poll_interrupt();
            const LeafGroups& g = groups[t];
            forest.leaves(t, rows.view(), first, last, leaf.data());
            for (std::size_t r = first; r < last; ++r) {
                double* p = out.values.data() + r * n;
                auto [lo, hi] =
                    std::equal_range(g.sorted_ids.begin(), g.sorted_ids.end(), leaf[r - first]);
                for (auto it = lo; it != hi; ++it) {
                    p[g.order[static_cast<std::size_t>(it - g.sorted_ids.begin())]] += 1.0;
                }
            }
        }
        for (std::size_t i = first * n; i < last * n; ++i) out.values[i] /= n_trees;
    });
    return out;
}

std::vector<double> new_row_square_sums(const Forest& forest, const std::vector<LeafGroups>& groups,
                                        std::size_t n_train, const MatrixView& x_new) {
    if (groups.size() != forest.size()) fail_internal("one leaf grouping per tree expected");
    const RowMajor rows(x_new);
    std::vector<double> sums(x_new.rows, 0.0);
    const double n_trees = static_cast<double>(forest.size());
    for_row_blocks(x_new.rows, [&](std::size_t first, std::size_t last) {
        const std::size_t m = last - first;
        std::vector<std::uint32_t> leaf(checked_mul(forest.size(), m));
        for (std::size_t t = 0; t < forest.size(); ++t) {
            poll_interrupt();
            forest.leaves(t, rows.view(), first, last, leaf.data() + t * m);
        }
        with_count_type(forest.size(), [&](auto count_type) {
            using Count = decltype(count_type);
            RowCounts<Count> counts(n_train);
            Count* count = counts.data();
            for (std::size_t r = first; r < last; ++r) {
                poll_interrupt();
                for (std::size_t t = 0; t < forest.size(); ++t) {
                    const LeafGroups& g = groups[t];
                    auto [lo, hi] = std::equal_range(g.sorted_ids.begin(), g.sorted_ids.end(),
                                                     leaf[t * m + r - first]);
                    const RowIndex* mate = g.order.data() + (lo - g.sorted_ids.begin());
                    const RowIndex* end = g.order.data() + (hi - g.sorted_ids.begin());
                    for (; mate != end; ++mate) ++count[*mate];
                }
                double s = 0.0;
                counts.drain([&](RowIndex, Count together) {
                    // The share as the dense table holds it: a count of 1.0s divided by T.
                    const double v = static_cast<double>(together) / n_trees;
                    s += v * v;
                });
                sums[r] = s;
            }
        });
    });
    return sums;
}

}  // namespace canopy

namespace canopy {

Matrix RandomForestUnsupervised::proximity_matrix(bool use_oob) const {
    require_fitted();
    return dense_proximity(forest, oob_sets, *x_train, use_oob);
}

const std::vector<SparseProximityRow>& RandomForestUnsupervised::proximity_sparse(
    std::optional<std::uint64_t> k) {
    require_fitted();
    const std::size_t n = n_samples;
    std::uint64_t kk = k ? *k : config.n_neighbors;
    kk = std::max<std::uint64_t>(kk, 1);
    kk = std::min<std::uint64_t>(kk, n == 0 ? 0 : n - 1);
    // Computed aside and stored only once complete, so a failure keeps the previous lists.
    sparse_proximity = sparse_proximity_rows(forest, oob_sets, *x_train, kk);
    return *sparse_proximity;
}

Matrix RandomForestUnsupervised::predict_proximity(const MatrixView& x_new) const {
    require_fitted();
    return new_row_proximity(forest, *x_train, x_new);
}

}  // namespace canopy
