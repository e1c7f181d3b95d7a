#include "engine/hist_split.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/partition.hpp"
#include "engine/regression_gains.hpp"

namespace canopy {

namespace {

constexpr std::size_t kMaxBins = 256;

// The set of non-empty bins of one histogram, visited in increasing order. Sweeping only
// these is exact: an empty bin leaves the left side unchanged, so its boundary repeats the
// previous one's gain and can never beat it strictly.
class BinMask {
public:
    void set(unsigned b) { words_[b >> 6] |= std::uint64_t{1} << (b & 63); }
    template <class F>
    void for_each(F&& fn) const {
        for (unsigned w = 0; w < words_.size(); ++w) {
            for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
                fn(w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
            }
        }
    }
    void clear() { words_.fill(0); }
    // The set bins in increasing order; `out` has room for kMaxBins + 64 entries.
    std::size_t list(std::uint8_t* out) const {
        return set_bit_positions(words_.data(), words_.size(), out);
    }

private:
    std::array<std::uint64_t, kMaxBins / 64> words_{};
};

// A pending node of the explicit stack: its entries are positions [begin, end) of the
// tree's index buffer. Children are pushed right first, so the left subtree is grown (and
// numbered, and draws from the generator) before the right one, as in a recursive descent.
struct Work {
    std::size_t begin;
    std::size_t end;
    std::uint64_t depth;
    std::uint32_t parent;  // kNoChild for the root
    bool is_right;
};

struct Best {
    double gain = 0.0;
    std::size_t feature = 0;
    double threshold = 0.0;
    unsigned bin = 0;  // threshold is the upper edge of this bin
};

struct ClsEntry {
    double w;
    std::uint32_t cls;  // dense class id within the tree, ordered like the class indices
};

// The sums of w*y and of y*(w*y), added together: each lane is added to exactly as a
// separate sum would be, in half the instructions.
using Pair = double __attribute__((vector_size(16)));

struct RegSlot {
    Pair s{0.0, 0.0};  // the sums of w*y and y*(w*y)
    double w = 0.0;    // w stays 0.0 with unit weights
    std::size_t n = 0;
};

// Prefix sums at the candidate boundaries of one feature, gathered before any gain is
// computed so that the divisions run in a loop the compiler can vectorise. Each gain is
// still the same expression of the same values. Only boundaries that pass the checks
// (both sides with positive weight and enough entries) are kept.
struct Boundaries {
    std::array<double, kMaxBins> wl, s1l, s2l, gain;
    std::array<unsigned, kMaxBins> bin;
    std::size_t size = 0;
};

}  // namespace

struct GrowScratch {
    std::vector<TreeNode> nodes;  // a tree's node storage, cleared before it grows into it
    std::vector<RowIndex> idx, tmp_rows;
    std::vector<std::uint8_t> bytes, tmp_bytes;
    std::vector<std::uint64_t> records, tmp_records;
    std::vector<double> ys, ew, target_scratch;
    std::vector<SumPair> sums, sums_scratch;
    std::vector<ClsEntry> entries, entry_scratch;
    std::unique_ptr<RegBoundaries> bounds;

    // The regression search's boundary buffer, holding none.
    RegBoundaries& regression_bounds() {
        if (!bounds) bounds = std::make_unique<RegBoundaries>();
        bounds->clear();
        return *bounds;
    }
};

ScratchPool::ScratchPool() = default;
ScratchPool::~ScratchPool() = default;

std::unique_ptr<GrowScratch> ScratchPool::take() {
    std::lock_guard lock(mutex_);
    std::unique_ptr<GrowScratch> scratch;
    if (free_.empty()) {
        scratch = std::make_unique<GrowScratch>();
    } else {
        scratch = std::move(free_.back());
        free_.pop_back();
    }
    if (scratch->nodes.capacity() == 0 && !nodes_.empty()) {
        scratch->nodes = std::move(nodes_.back());
        nodes_.pop_back();
    }
    return scratch;
}

void ScratchPool::give(std::unique_ptr<GrowScratch> scratch) {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(scratch));
}

void ScratchPool::recycle(Tree&& tree) {
    if (tree.nodes.capacity() == 0) return;
    std::lock_guard lock(mutex_);
    nodes_.push_back(std::move(tree.nodes));
}

namespace {

// A strided view of one feature's codes: the code of the entry at position p is at
// base[p * stride].
struct CodeView {
    const std::uint8_t* base;
    std::size_t stride;
    unsigned operator[](std::size_t p) const { return base[p * stride]; }
};

// Sets the mask of entries [begin, end) to codes[p] <= bin and returns how many are set.
std::size_t mark_at_most(CodeView codes, std::size_t begin, std::size_t end, unsigned bin,
                         std::uint64_t* words) {
    if (codes.stride == 1) return mark_codes_at_most(codes.base, begin, end, bin, words);
    return mark_at_most_scalar(codes, begin, end, bin, words);
}

// The searchable features (two bins or more) among the first m, ascending.
std::vector<std::size_t> live_features(const HistogramData& hist, std::size_t m) {
    std::vector<std::size_t> live;
    for (std::size_t f = 0; f < m; ++f) {
        if (hist.n_bins[f] >= 2) live.push_back(f);
    }
    return live;
}

// How many of m features a node searches.
std::uint64_t searched_features(const TreeParams& params, std::size_t m) {
    return params.max_features ? std::min<std::uint64_t>(*params.max_features, m) : m;
}

// The bin codes of a tree's entries, in the order of the index buffer through every
// partition, in one of three layouts picked per tree. All three hand the searches the same
// codes for the same positions, so they grow the same tree; they differ in what a split
// moves and how a search reads.
//  - columns: one run of codes per searchable feature. A split moves every run, a search
//    reads its features sequentially: the layout for nodes that search at least half of
//    the searchable features (all of them, unless max_features subsamples).
//  - records: one record per entry holding all its codes. A split moves one record per
//    entry in one pass, a search reads one byte per record. Nodes that search a few of
//    not too many features spend far less on moving codes they never read.
//  - gathered: nothing but the entries' rows moves; a search reads its features' codes
//    through the rows from the shared columns. For many features searched a few at a time.
class EntryCodes {
public:
    // Records hold at most this many codes; wider data searched sparsely is gathered.
    static constexpr std::size_t kMaxRecordWords = 8;

    // The layout for `live` searchable features of which nodes search `searched`, and the
    // words of a record when it is records.
    enum class Layout { columns, records, gathered };
    static std::pair<Layout, std::size_t> layout_for(std::size_t live, std::uint64_t searched) {
        const std::size_t words = (live + 7) / 8;
        if (live == 0 || 2 * searched > live) return {Layout::columns, 0};
        if (words <= kMaxRecordWords) return {Layout::records, words};
        return {Layout::gathered, 0};
    }

    // The buffers are the scratch's: each is written before it is read, so whatever an
    // earlier tree left in them is never seen. With `with_value`, records end in one more
    // word, a per-entry value of the caller's (see value_words) that moves with the codes.
    EntryCodes(const HistogramData& hist, std::vector<RowIndex>& rows,
               const std::vector<std::size_t>& live, std::uint64_t searched, bool with_value,
               bool poll, GrowScratch& scratch)
        : hist_(hist), rows_(rows), n_(rows.size()), offset_(hist.n_bins.size(), 0),
          bytes_(scratch.bytes), tmp_bytes_(scratch.tmp_bytes), records_(scratch.records),
          tmp_records_(scratch.tmp_records), tmp_rows_(scratch.tmp_rows) {
        std::tie(layout_, record_words_) = layout_for(live.size(), searched);
        stride_ = record_words_ + (layout_ == Layout::records && with_value ? 1 : 0);
        if (layout_ == Layout::columns) {
            fill_columns(live, poll);
        } else if (layout_ == Layout::records) {
            fill_records(live, poll);
        } else {
            bytes_.resize(checked_mul(2, n_));  // two features' codes at a time
            tmp_rows_.resize(n_);
        }
    }

    // The codes of feature f for positions [begin, end); when gathering, they land in
    // buffer `slot` (0 or 1) and stay valid until its next use.
    CodeView codes(std::size_t f, std::size_t begin, std::size_t end, int slot) {
        switch (layout_) {
            case Layout::columns:
                return {bytes_.data() + offset_[f], 1};
            case Layout::records:
                return {record_bytes() + offset_[f], 8 * stride_};
            case Layout::gathered:
                break;
        }
        std::uint8_t* out = bytes_.data() + static_cast<std::size_t>(slot) * n_;
        const std::uint8_t* column = hist_.bin_codes[f].data();
        for (std::size_t p = begin; p < end; ++p) out[p] = column[rows_[p]];
        return {out, 1};
    }

    // The code of feature f at position p.
    unsigned code_at(std::size_t f, std::size_t p) const {
        switch (layout_) {
            case Layout::columns:
                return bytes_[offset_[f] + p];
            case Layout::records:
                return record_bytes()[p * 8 * stride_ + offset_[f]];
            case Layout::gathered:
                break;
        }
        return hist_.bin_codes[f][rows_[p]];
    }

    // Whether positions [begin, end) all have the same codes in every searchable feature
    // (gathered: whether they are all one row, which implies it).
    bool same_codes(std::size_t begin, std::size_t end) const {
        switch (layout_) {
            case Layout::columns:
                for (std::size_t f : live_) {
                    const std::uint8_t* run = bytes_.data() + offset_[f];
                    for (std::size_t p = begin + 1; p < end; ++p) {
                        if (run[p] != run[begin]) return false;
                    }
                }
                return true;
            case Layout::gathered:
                for (std::size_t p = begin + 1; p < end; ++p) {
                    if (rows_[p] != rows_[begin]) return false;
                }
                return true;
            case Layout::records:
                break;
        }
        const std::uint64_t* first = records_.data() + begin * stride_;
        for (std::size_t p = begin + 1; p < end; ++p) {
            for (std::size_t i = 0; i < record_words_; ++i) {
                if (records_[p * stride_ + i] != first[i]) return false;
            }
        }
        return true;
    }

    // The words of the records' per-entry values when they carry them (records, asked for
    // by the constructor): the value of position p is word p * stride of the view, which
    // the caller writes before any other use and which every partition moves along.
    struct Values {
        std::uint64_t* base;
        std::size_t stride;
    };
    std::optional<Values> value_words() {
        if (stride_ == record_words_) return std::nullopt;
        return Values{records_.data() + record_words_, stride_};
    }

    // Moves positions [begin, end) as partition_stable does with the same mask.
    void partition(std::size_t begin, std::size_t end, const std::uint64_t* left, bool poll);

    // With records, moves them and the K per-entry arrays of `extra` in one pass (the
    // scratch has room for K * (end - begin) values) and returns true; otherwise moves
    // nothing and returns false.
    template <class T, std::size_t K>
    bool partition_records_with(std::size_t begin, std::size_t end, const std::uint64_t* left,
                                const std::array<T*, K>& extra, T* extra_scratch) {
        if (layout_ != Layout::records) return false;
        with_stride([&]<std::size_t S>() {
            partition_stable_records_with<S>(records_.data(), extra, begin, end, left,
                                             tmp_records_.data(), extra_scratch);
        });
        return true;
    }

private:
    const std::uint8_t* record_bytes() const {
        return reinterpret_cast<const std::uint8_t*>(records_.data());
    }

    void fill_columns(const std::vector<std::size_t>& live, bool poll) {
        bytes_.resize(checked_mul(live.size(), n_));
        tmp_bytes_.resize(n_);
        std::size_t offset = 0;
        for (std::size_t f : live) {
            if (poll) poll_interrupt();
            offset_[f] = offset;
            live_.push_back(f);
            const std::uint8_t* src = hist_.bin_codes[f].data();
            for (std::size_t p = 0; p < n_; ++p) bytes_[offset + p] = src[rows_[p]];
            offset += n_;
        }
    }

    void fill_records(const std::vector<std::size_t>& live, bool poll) {
        const std::size_t stride = 8 * stride_;
        for (std::size_t j = 0; j < live.size(); ++j) offset_[live[j]] = j;
        // The forest's table holds these very records when its live features are these.
        const bool table = hist_.record_words == record_words_ &&
                           live.size() == live_features(hist_, hist_.n_bins.size()).size();
        // Copied records are whole; gathered ones get their codes, and zeros beyond them.
        if (table) {
            records_.resize(checked_mul(stride_, n_));
        } else {
            records_.assign(checked_mul(stride_, n_), 0);
        }
        tmp_records_.resize(records_.size());
        auto* out = reinterpret_cast<std::uint8_t*>(records_.data());
        // A block of records at a time, small enough to stay in cache while every feature
        // writes its byte into it.
        constexpr std::size_t kBlock = 2048;
        for (std::size_t start = 0; start < n_; start += kBlock) {
            if (poll) poll_interrupt();
            const std::size_t end = std::min(n_, start + kBlock);
            if (table) {
                copy_records(start, end);
                continue;
            }
            for (std::size_t j = 0; j < live.size(); ++j) {
                const std::uint8_t* src = hist_.bin_codes[live[j]].data();
                for (std::size_t p = start; p < end; ++p) out[p * stride + j] = src[rows_[p]];
            }
        }
    }

    // Entries [begin, end) take their rows' records from the forest's table; W fixed, so
    // that each is a few moves rather than a call.
    template <std::size_t W>
    void copy_records_of(std::size_t begin, std::size_t end) {
        const std::uint64_t* table = hist_.row_records.data();
        std::uint64_t* out = records_.data();
        const std::size_t stride = stride_;
        for (std::size_t p = begin; p < end; ++p) {
            const std::uint64_t* in = table + rows_[p] * W;
            for (std::size_t i = 0; i < W; ++i) out[p * stride + i] = in[i];
        }
    }

    void copy_records(std::size_t begin, std::size_t end) {
        with_words(record_words_, [&]<std::size_t W>() { copy_records_of<W>(begin, end); });
    }

    // Calls f.template operator()<S>() with S = stride_, the words of a record, as a
    // constant.
    template <class F>
    void with_stride(F&& f) {
        if (stride_ == 9) return f.template operator()<9>();
        with_words(stride_, std::forward<F>(f));
    }

    // Calls f.template operator()<W>() with W = words as a constant (1 to 8).
    template <class F>
    static void with_words(std::size_t words, F&& f) {
        switch (words) {
            case 1:
                return f.template operator()<1>();
            case 2:
                return f.template operator()<2>();
            case 3:
                return f.template operator()<3>();
            case 4:
                return f.template operator()<4>();
            case 5:
                return f.template operator()<5>();
            case 6:
                return f.template operator()<6>();
            case 7:
                return f.template operator()<7>();
            default:
                return f.template operator()<8>();
        }
    }

    const HistogramData& hist_;
    std::vector<RowIndex>& rows_;
    std::size_t n_;
    Layout layout_ = Layout::columns;
    std::vector<std::size_t> offset_;  // per feature: its run (columns) or byte (records)
    std::vector<std::size_t> live_;    // columns: the features with a run
    std::vector<std::uint8_t>& bytes_;
    std::vector<std::uint8_t>& tmp_bytes_;
    std::size_t record_words_ = 0;  // the codes' words
    std::size_t stride_ = 0;        // a record's words: the codes', and one more with a value
    std::vector<std::uint64_t>& records_;
    std::vector<std::uint64_t>& tmp_records_;
    std::vector<RowIndex>& tmp_rows_;
};

void EntryCodes::partition(std::size_t begin, std::size_t end, const std::uint64_t* left,
                           bool poll) {
    switch (layout_) {
        case Layout::columns:
            for (std::size_t f : live_) {
                if (poll) poll_interrupt();
                partition_stable(bytes_.data() + offset_[f], begin, end, left, tmp_bytes_.data());
            }
            return;
        case Layout::gathered:
            partition_stable_scalar(rows_.data(), begin, end, left, tmp_rows_.data());
            return;
        case Layout::records:
            break;
    }
    with_stride([&]<std::size_t S>() {
        partition_stable_records<S>(records_.data(), begin, end, left, tmp_records_.data());
    });
}

// State shared by both tasks: inputs, the tree, the bin codes of the index buffer's
// entries, and the stack. Each task keeps its own per-entry data, partitioned along with
// the codes; leaves are filled from it, as it holds the same values (in the same order) as
// the rows.
class GrowerBase {
public:
    // Nodes at least this large poll for interrupts between features too: their per-feature
    // passes take long enough to matter, and the poll costs nothing beside them.
    static constexpr std::size_t kPollEntries = std::size_t{1} << 15;
    // Nodes at least this large touch most bins of a feature: their sweeps visit every bin
    // instead of keeping track of the ones touched.
    static constexpr std::size_t kDenseNode = 256;

    // With `value_in_records`, a sample of unit weights laid out as records gives each
    // record a word for a per-entry value of the grower's (EntryCodes::value_words).
    GrowerBase(const MatrixView& x, std::span<const double> y, std::span<const double> w,
               std::span<const RowIndex> indices, const TreeParams& params,
               NodeShuffles& shuffles, const HistogramData& hist, GrowScratch& scratch,
               bool value_in_records)
        : x_(x), y_(y), w_(w), params_(params), shuffles_(shuffles), hist_(hist), m_(x.cols),
          s_(scratch), idx_(assigned(scratch.idx, indices)),
          codes_(make_codes(value_in_records)) {
        tree_.nodes = std::move(scratch.nodes);
        tree_.nodes.clear();
        left_words_.resize(mask_words(idx_.size()));
        candidates_.resize(m_);
        std::iota(candidates_.begin(), candidates_.end(), std::size_t{0});
    }

protected:
    void check_inputs() const {
        if (hist_.bin_codes.size() < m_ || hist_.bin_edges.size() < m_ ||
            hist_.n_bins.size() < m_) {
            fail_internal("histogram data has fewer features than the matrix");
        }
        std::size_t limit = std::min({x_.rows, y_.size(), w_.size()});
        for (std::size_t f = 0; f < m_; ++f) {
            limit = std::min(limit, hist_.bin_codes[f].size());
            if (hist_.n_bins[f] > kMaxBins || hist_.n_bins[f] > hist_.bin_edges[f].size()) {
                fail_internal("histogram data has inconsistent bin counts");
            }
        }
        if (hist_.record_words != 0) {
            limit = std::min(limit, hist_.row_records.size() / hist_.record_words);
        }
        for (RowIndex i : idx_) {
            if (i >= limit) fail_internal("row index " + std::to_string(i) + " is out of range");
        }
    }

    // Checks the inputs, sees whether every weight of the sample is 1.0, then lays out the
    // codes of the features with two bins or more (the only ones ever searched).
    EntryCodes make_codes(bool value_in_records) {
        check_inputs();
        unit_ = std::all_of(idx_.begin(), idx_.end(), [&](RowIndex i) { return w_[i] == 1.0; });
        return EntryCodes(hist_, idx_, live_features(hist_, m_), searched_features(params_, m_),
                          value_in_records && unit_, idx_.size() >= kPollEntries, s_);
    }

    static std::vector<RowIndex>& assigned(std::vector<RowIndex>& v,
                                           std::span<const RowIndex> indices) {
        v.assign(indices.begin(), indices.end());
        return v;
    }

    CodeView codes_of(std::size_t f, const Work& work, int slot) {
        return codes_.codes(f, work.begin, work.end, slot);
    }

    // The candidate features of a node: a shuffled prefix when subsampling, else all (the
    // list stays in order from the constructor on).
    std::span<const std::size_t> candidates() {
        if (params_.max_features && *params_.max_features < m_) {
            const auto k = static_cast<std::size_t>(*params_.max_features);
            shuffles_.shuffle_prefix(std::span<std::size_t>(candidates_), k);
            return {candidates_.data(), k};
        }
        return candidates_;
    }

    bool stops_early(std::size_t n, std::uint64_t depth) const {
        return n < params_.min_samples_split || (params_.max_depth && depth >= *params_.max_depth);
    }

    std::uint32_t open_node(const Work& work) {
        const std::uint32_t id = tree_.add_node();
        if (work.parent != kNoChild && work.is_right) tree_.nodes[work.parent].right = id;
        return id;
    }

    // Marks which entries go left and counts them. A code is the index of the first edge
    // at or above the value, and the edges ascend strictly, so x <= edge[b] exactly when
    // code <= b: the codes, read in one sequential pass, say what the raw values would.
    // Nothing is moved yet, so a rejected split leaves the node's entries in their order.
    std::size_t mark_left(const Work& work, const Best& best) {
        return mark_at_most(codes_of(best.feature, work, 0), work.begin, work.end, best.bin,
                            left_words_.data());
    }

    // Turns node `id` into a split when both sides keep enough entries (and at least one:
    // with min_samples_leaf 0, a rounding residue can make a boundary with nothing on one
    // side look like a candidate, and splitting there would repeat the node forever).
    template <class Grower>
    bool try_split(Grower& g, std::uint32_t id, const Work& work, const Best& best) {
        const std::size_t n = work.end - work.begin;
        const std::size_t n_left = mark_left(work, best);
        const std::size_t n_right = n - n_left;
        if (n_left == 0 || n_right == 0 || n_left < params_.min_samples_leaf ||
            n_right < params_.min_samples_leaf) {
            return false;
        }
        const std::uint64_t* left = left_words_.data();
        if (!g.partition_entries(work.begin, work.end, left)) {
            codes_.partition(work.begin, work.end, left, n >= kPollEntries);
        }
        tree_.set_split(id, best.feature, best.threshold, id + 1, kNoChild);
        tree_.nodes[id].n_samples = n;
        const std::size_t mid = work.begin + n_left;
        stack_.push_back(Work{mid, work.end, work.depth + 1, id, true});
        stack_.push_back(Work{work.begin, mid, work.depth + 1, id, false});
        return true;
    }

    // The first boundary whose gain beats the best so far strictly.
    void pick_best(const Boundaries& c, std::size_t f, Best& best) const {
        const double top = largest_gain(c.gain.data(), c.size, best.gain);
        if (top > best.gain) {
            const std::size_t i = first_holding(c.gain.data(), top);
            best = Best{top, f, hist_.bin_edges[f][c.bin[i]], c.bin[i]};
        }
    }

    // Pops nodes until the tree is complete; grow_node(id, work) returns false for a leaf.
    template <class Grower>
    Tree run(Grower& g) {
        stack_.push_back(Work{0, idx_.size(), 0, kNoChild, false});
        std::size_t nodes = 0;
        while (!stack_.empty()) {
            const Work work = stack_.back();
            stack_.pop_back();
            // Most nodes take a few microseconds: a poll (a clock read on the calling
            // thread) every 16th of them, and at every node large enough to take longer.
            if (++nodes % 16 == 0 || work.end - work.begin >= kPollEntries / 16) poll_interrupt();
            const std::uint32_t id = open_node(work);
            if (!g.grow_node(id, work)) {
                tree_.nodes[id].n_samples = work.end - work.begin;
                g.fill_leaf(id, work);
            }
        }
        return std::move(tree_);
    }

    const MatrixView& x_;
    std::span<const double> y_;
    std::span<const double> w_;
    const TreeParams& params_;
    NodeShuffles& shuffles_;
    const HistogramData& hist_;
    std::size_t m_;

    GrowScratch& s_;  // working storage, the subclasses' per-entry buffers included
    Tree tree_;
    std::vector<RowIndex>& idx_;  // the rows of the entries; partitioned only when gathering
    bool unit_ = false;           // every weight of the sample is 1.0; set before codes_
    EntryCodes codes_;
    std::vector<std::uint64_t> left_words_;  // which entries of the node being split go left
    std::vector<std::size_t> candidates_;
    std::vector<Work> stack_;
};

// Per entry, w*y and y*(w*y) are computed once per tree. When every weight of the sample
// is 1.0 (the usual case) the weights are not stored at all: any sum of n ones is n
// exactly, so weight sums are taken from entry counts and the histograms carry one sum less.
// Nor are the products: w*y is then y and y*(w*y) is y*y, exactly, so each entry keeps its
// y alone, in its record when the codes are records (one move per entry at a split).
class RegressionGrower : public GrowerBase {
public:
    RegressionGrower(const MatrixView& x, std::span<const double> y, std::span<const double> w,
                     std::span<const RowIndex> indices, const TreeParams& params,
                     NodeShuffles& shuffles, const HistogramData& hist, GrowScratch& scratch)
        : GrowerBase(x, y, w, indices, params, shuffles, hist, scratch, true) {}

    // Nodes up to this size are checked for being copies of one row before a search.
    static constexpr std::size_t kCopiesChecked = 8;

    Tree grow() {
        const std::size_t n = idx_.size();
        if (unit_) {
            if (const auto in_records = codes_.value_words()) {
                ys_in_records_ = true;
                y_base_ = reinterpret_cast<std::uint8_t*>(in_records->base);
                y_stride_ = 8 * in_records->stride;
            } else {
                ys_.resize(n);
                scratch_.resize(n);  // the ys' partitions
                y_base_ = reinterpret_cast<std::uint8_t*>(ys_.data());
                y_stride_ = sizeof(double);
            }
            for (std::size_t p = 0; p < n; ++p) {
                const double y = y_[idx_[p]];
                std::memcpy(y_base_ + p * y_stride_, &y, sizeof y);
            }
            return run(*this);
        }
        sums_.resize(n);
        sums_scratch_.resize(n);
        ew_.resize(n);
        scratch_.resize(n);  // the weights' partitions
        for (std::size_t p = 0; p < n; ++p) {
            const double w = w_[idx_[p]];
            const double y = y_[idx_[p]];
            const double wy = w * y;
            sums_[p] = SumPair{wy, y * wy};
            ew_[p] = w;
        }
        return run(*this);
    }

    // Searches the node and splits it; false when it stays a leaf.
    bool grow_node(std::uint32_t id, const Work& work) {
        const std::size_t n = work.end - work.begin;
        if (stops_early(n, work.depth) || n == 0) return false;
        const double W = weight_sum(work);
        // With unit weights W is the count, and a node of three entries or more is searched
        // with its sums taken by the first histogram pass, which reads every entry in list
        // order anyway; they are needed only once the gains are computed.
        const bool sums_in_search = unit_ && n > 2;
        const Pair S = sums_in_search ? Pair{0.0, 0.0} : entry_sums(work);
        if (W <= 0.0) return false;
        // Copies of one row (nearly three in ten of the nodes searched in a full-depth
        // bootstrap regression tree hold nothing else) share every code, so no feature has a
        // boundary: a leaf. Its candidates are drawn all the same, as the search would.
        if (n <= kCopiesChecked && codes_.same_codes(work.begin, work.end)) {
            candidates();
            return false;
        }
        Best best;
        NodeSums node{W, 0.0, 0.0, 0.0, n};
        if (!sums_in_search) node.set_sums(S);
        if (n == 2) {
            unit_ ? search_pair<true>(work, node, best) : search_pair<false>(work, node, best);
            if (best.gain <= 0.0) return false;
            return try_split(*this, id, work, best);
        }
        const bool dense = n >= kDenseNode;
        if (unit_) {
            dense ? search<false, true>(work, node, sums_in_search, best)
                  : search<true, true>(work, node, sums_in_search, best);
        } else {
            dense ? search<false, false>(work, node, sums_in_search, best)
                  : search<true, false>(work, node, sums_in_search, best);
        }
        if (best.gain <= 0.0) return false;
        return try_split(*this, id, work, best);
    }

    // Moves the per-entry values, and the codes with them when they are records (then
    // returns true). The ys in records move with the codes.
    bool partition_entries(std::size_t begin, std::size_t end, const std::uint64_t* left) {
        if (unit_) {
            if (!ys_in_records_) partition_stable(ys_.data(), begin, end, left, scratch_.data());
            return false;
        }
        const bool moved = codes_.partition_records_with(begin, end, left, std::array{sums_.data()},
                                                         sums_scratch_.data());
        if (!moved) partition_stable(sums_.data(), begin, end, left, sums_scratch_.data());
        partition_stable(ew_.data(), begin, end, left, scratch_.data());
        return moved;
    }

    // The weighted mean of the entries (0.0 without positive weight), summed as the
    // tree's leaves are everywhere: w and w*y in list order.
    void fill_leaf(std::uint32_t id, const Work& work) {
        double wy_sum = 0.0;
        if (unit_) {
            for (std::size_t p = work.begin; p < work.end; ++p) wy_sum += y_at(p);
        } else {
            for (std::size_t p = work.begin; p < work.end; ++p) wy_sum += sums_[p].a;
        }
        const double w_sum = weight_sum(work);
        tree_.nodes[id].value = w_sum > 0.0 ? wy_sum / w_sum : 0.0;
    }

private:
    struct NodeSums {
        double W, S1, S2, V;
        std::size_t n;

        // The sums of w*y and y*(w*y) over the entries in list order, and the variance.
        void set_sums(Pair S) {
            S1 = S[0];
            S2 = S[1];
            const double mean = S1 / W;
            V = S2 / W - mean * mean;
        }
    };

    // Entry p's y (unit weights only).
    double y_at(std::size_t p) const {
        double y;
        std::memcpy(&y, y_base_ + p * y_stride_, sizeof y);
        return y;
    }

    // Entry p's w*y and y*(w*y).
    template <bool Unit>
    Pair pair_at(std::size_t p) const {
        if constexpr (Unit) {
            const double y = y_at(p);
            return Pair{y, y * y};
        } else {
            Pair v;
            std::memcpy(&v, &sums_[p], sizeof v);
            return v;
        }
    }

    // The node's sums of w*y and y*(w*y), in list order.
    template <bool Unit>
    Pair entry_sums_of(const Work& work) const {
        Pair S{0.0, 0.0};
        for (std::size_t p = work.begin; p < work.end; ++p) S += pair_at<Unit>(p);
        return S;
    }
    Pair entry_sums(const Work& work) const {
        return unit_ ? entry_sums_of<true>(work) : entry_sums_of<false>(work);
    }

    double weight_sum(const Work& work) const {
        if (unit_) return static_cast<double>(work.end - work.begin);
        double W = 0.0;
        for (std::size_t p = work.begin; p < work.end; ++p) W += ew_[p];
        return W;
    }

    // Fills the histograms of one or two features in one pass over the node's entries
    // (each slot still receives its entries in list order). Small nodes also record which
    // bins they touch; large ones touch most bins, so the sweep visits them all.
    template <bool Track, bool Unit, bool Sum = false>
    void fill(const Work& work, CodeView codes_a, CodeView codes_b, Pair* sums = nullptr) {
        Pair S{0.0, 0.0};
        for (std::size_t p = work.begin; p < work.end; ++p) {
            // Read once: the slots are doubles too, so the compiler cannot keep these.
            const double w = Unit ? 0.0 : ew_[p];
            const Pair e = pair_at<Unit>(p);
            if (Sum) S += e;
            const auto add = [&](int h, unsigned bin) {
                RegSlot& s = slots_[h][bin];
                if (!Unit) s.w += w;
                s.s += e;
                ++s.n;
                if (Track) masks_[h].set(bin);
            };
            add(0, codes_a[p]);
            if (codes_b.base != nullptr) add(1, codes_b[p]);
        }
        if (Sum) *sums = S;
    }

    // Sweeps histogram `h` of feature f, clearing it, and appends its boundaries.
    template <bool Track, bool Unit>
    void sweep(int h, std::size_t f, const NodeSums& node) {
        const std::size_t last = hist_.n_bins[f] - 1;
        const std::uint64_t min_leaf = params_.min_samples_leaf;
        // With unit weights both sides' weights are entry counts, so "positive weight on
        // both sides and enough entries" is a range of left counts.
        const std::uint64_t lo = std::max<std::uint64_t>(min_leaf, 1);
        RegBoundaries& c = *bounds_;
        double WL = 0.0;
        Pair SL{0.0, 0.0};
        std::size_t nL = 0;
        // Every boundary is written and kept by advancing the count, without a branch: the
        // checks hinge on running sums and would be mispredicted often. An empty slot adds
        // +0.0, which changes no sum (none can be -0.0, all start at +0.0), and is dropped.
        std::size_t size = c.size;
        const auto visit = [&](unsigned b) {
            RegSlot& s = slots_[h][b];
            SL += s.s;
            nL += s.n;
            std::size_t keep;
            if (Unit) {
                WL = static_cast<double>(nL);
                // A listed bin is never empty.
                keep = static_cast<std::size_t>(Track || s.n != 0) & (nL >= lo) &
                       (node.n - nL >= lo);
            } else {
                WL += s.w;
                keep = static_cast<std::size_t>(s.n != 0) & (node.W - WL > 0.0) & (WL > 0.0) &
                       (nL >= min_leaf) & (node.n - nL >= min_leaf);
            }
            c.wl[size] = WL;
            c.s1l[size] = SL[0];
            c.s2l[size] = SL[1];
            c.bin[size] = b;
            size += keep;
            s = RegSlot{};
        };
        if (Track) {
            // The set bins as a list first: a loop over a known count instead of branches
            // on the bits of each mask word.
            const std::size_t count = masks_[h].list(bins_.data());
            masks_[h].clear();
            for (std::size_t i = 0; i < count; ++i) {
                const unsigned b = bins_[i];
                if (b < last) {
                    visit(b);
                } else {
                    slots_[h][b] = RegSlot{};
                }
            }
        } else {
            for (unsigned b = 0; b < last; ++b) visit(b);
            slots_[h][last] = RegSlot{};
        }
        const std::size_t start = c.size;
        c.size = size;
        c.end_run(start, static_cast<std::uint32_t>(f));
    }

    // Computes the gathered boundaries' gains and lets the first strictly better one in
    // search order replace `best`.
    void flush(const NodeSums& node, Best& best) {
        RegBoundaries& c = *bounds_;
        if (c.size != 0) {
            const double top =
                unit_ ? count_regression_gains(c, node.W, node.S1, node.S2, node.V, best.gain)
                      : regression_gains(c, node.W, node.S1, node.S2, node.V, best.gain);
            if (top > best.gain) {
                const std::size_t i = first_holding(c.gain.data(), top);
                const std::uint32_t f = c.feature_of(i);
                best = Best{top, f, hist_.bin_edges[f][c.bin[i]], c.bin[i]};
            }
        }
        c.clear();
    }

    // A node of two entries, about a third of all the nodes searched. A feature either has
    // both in one bin (no boundary but the last, which has nothing on its right) or exactly
    // one boundary, after the lower code, with the lower-coded entry alone on its left. So
    // only two gains can occur, one per entry alone on the left. They are formed as the
    // sweep forms them (each sum starting at +0.0), and the first feature in search order
    // reaching the best of them wins, as in the general scan.
    template <bool Unit>
    void search_pair(const Work& work, const NodeSums& node, Best& best) {
        const std::size_t p = work.begin;
        const std::uint64_t min_leaf = params_.min_samples_leaf;
        RegBoundaries& c = *bounds_;
        std::array<bool, 2> keep{};
        for (std::size_t k = 0; k < 2; ++k) {
            const Pair e = pair_at<Unit>(p + k);
            const double s1 = 0.0 + e[0];
            const double s2 = 0.0 + e[1];
            double WL;
            if (Unit) {
                WL = 1.0;
                keep[k] = min_leaf <= 1;
            } else {
                const double w = 0.0 + ew_[p + k];
                WL = 0.0 + w;
                keep[k] = node.W - WL > 0.0 && WL > 0.0 && min_leaf <= 1;
            }
            c.wl[k] = WL;
            c.s1l[k] = 0.0 + s1;
            c.s2l[k] = 0.0 + s2;
        }
        c.size = 2;
        regression_gains(c, node.W, node.S1, node.S2, node.V, 0.0);
        c.clear();
        for (std::size_t f : candidates()) {
            if (hist_.n_bins[f] < 2) continue;
            const unsigned a = codes_.code_at(f, p);
            const unsigned b = codes_.code_at(f, p + 1);
            if (a == b) continue;
            const std::size_t k = a < b ? 0 : 1;
            const unsigned bin = std::min(a, b);
            if (keep[k] && c.gain[k] > best.gain) {
                best = Best{c.gain[k], f, hist_.bin_edges[f][bin], bin};
            }
        }
    }

    // Candidates in order, two at a time. With `sums_pending` the node's sums are not set
    // yet: the first pass takes them (the sweeps do not read them), or, when no feature is
    // searchable, a pass of their own.
    template <bool Track, bool Unit>
    void search(const Work& work, NodeSums& node, bool sums_pending, Best& best) {
        bool summed = !sums_pending;
        const auto pass = [&](CodeView a, CodeView b) {
            if (summed) return fill<Track, Unit>(work, a, b);
            Pair S;
            fill<Track, Unit, true>(work, a, b, &S);
            node.set_sums(S);
            summed = true;
        };
        std::size_t pending = m_;  // a searchable feature waiting for a partner
        for (std::size_t f : candidates()) {
            if (hist_.n_bins[f] < 2) continue;
            if (pending == m_) {
                pending = f;
                continue;
            }
            if (bounds_->size + 2 * kMaxBins > RegBoundaries::kCapacity) flush(node, best);
            if (node.n >= kPollEntries) poll_interrupt();
            pass(codes_of(pending, work, 0), codes_of(f, work, 1));
            sweep<Track, Unit>(0, pending, node);
            sweep<Track, Unit>(1, f, node);
            pending = m_;
        }
        if (pending != m_) {
            if (bounds_->size + kMaxBins > RegBoundaries::kCapacity) flush(node, best);
            pass(codes_of(pending, work, 0), CodeView{nullptr, 0});
            sweep<Track, Unit>(0, pending, node);
        }
        if (!summed) node.set_sums(entry_sums(work));
        flush(node, best);
    }

    // Per position, written in grow() before any read: with unit weights y, in the records
    // or in ys_ (y_base_ and y_stride_ say where); otherwise (w*y, y*(w*y)) and w.
    bool ys_in_records_ = false;
    std::uint8_t* y_base_ = nullptr;
    std::size_t y_stride_ = 0;  // bytes
    std::vector<double>& ys_ = s_.ys;
    std::vector<SumPair>& sums_ = s_.sums;
    std::vector<SumPair>& sums_scratch_ = s_.sums_scratch;
    std::vector<double>& ew_ = s_.ew;
    std::vector<double>& scratch_ = s_.target_scratch;
    std::array<std::array<RegSlot, kMaxBins>, 2> slots_{};
    std::array<BinMask, 2> masks_;
    std::array<std::uint8_t, kMaxBins + 64> bins_{};
    RegBoundaries* bounds_ = &s_.regression_bounds();
};

// When every weight of the sample is 1.0 (the usual case), every weight sum is a count:
// a sum of ones is exact in any order, so the searches count in integers and convert, and
// get the very sums the weighted loops would.
class ClassificationGrower : public GrowerBase {
public:
    ClassificationGrower(const MatrixView& x, std::span<const double> y,
                         std::span<const double> w, std::span<const RowIndex> indices,
                         const TreeParams& params, NodeShuffles& shuffles,
                         const HistogramData& hist, GrowScratch& scratch)
        : GrowerBase(x, y, w, indices, params, shuffles, hist, scratch, false) {}

    // Class indices below this are given their ids through a table.
    static constexpr std::uint64_t kDirectClasses = 4096;

    Tree grow() {
        std::vector<std::uint32_t> ids(idx_.size());
        std::vector<std::uint64_t> distinct = dense_class_ids(ids);
        entries_.resize(idx_.size());
        scratch_.resize(idx_.size());
        for (std::size_t p = 0; p < idx_.size(); ++p) entries_[p] = ClsEntry{w_[idx_[p]], ids[p]};
        local_of_.assign(distinct.size(), 0);
        leaf_n_.assign(distinct.size(), 0);
        seen_.assign(distinct.size(), 0);
        leaf_weight_.assign(distinct.size(), 0.0);
        class_of_ = std::move(distinct);
        return run(*this);
    }

    // Class weights summed per class in list order, classes ascending, and the class of
    // largest weight: the same counts a leaf over the entries' rows gets everywhere.
    void fill_leaf(std::uint32_t id, const Work& work) {
        collect_present(work);
        if (unit_) {
            for (std::size_t p = work.begin; p < work.end; ++p) ++leaf_n_[entries_[p].cls];
            for (std::uint32_t c : present_) {
                leaf_weight_[c] = static_cast<double>(leaf_n_[c]);
                leaf_n_[c] = 0;
            }
        } else {
            for (std::size_t p = work.begin; p < work.end; ++p) {
                leaf_weight_[entries_[p].cls] += entries_[p].w;
            }
        }
        leaf_counts_.clear();
        for (std::uint32_t c : present_) {
            leaf_counts_.push_back(ClassCount{class_of_[c], leaf_weight_[c]});
            leaf_weight_[c] = 0.0;
        }
        tree_.nodes[id].value = majority_class(leaf_counts_);
        tree_.set_leaf_counts(id, leaf_counts_);
    }

    bool grow_node(std::uint32_t id, const Work& work) {
        const std::size_t n = work.end - work.begin;
        if (stops_early(n, work.depth)) return false;
        bool pure = true;
        for (std::size_t p = work.begin + 1; p < work.end && pure; ++p) {
            pure = entries_[p].cls == entries_[work.begin].cls;
        }
        if (pure || n == 0) return false;
        double W = unit_ ? static_cast<double>(n) : 0.0;
        if (!unit_) {
            for (std::size_t p = work.begin; p < work.end; ++p) W += entries_[p].w;
        }
        if (W <= 0.0) return false;
        // Both classes of a two-class tree are in every node that gets here (it is not
        // pure), so their node-local ids are their tree ids: one count gives the statistics.
        const bool two_class = unit_ && class_of_.size() == 2;
        two_class ? two_class_statistics(work) : node_statistics(work);
        double sum = 0.0;
        for (std::size_t c = 0; c < present_.size(); ++c) {
            const double q = node_counts_[c] / W;
            sum += q * q;
        }
        const double G = 1.0 - sum;
        Best best;
        for (std::size_t f : candidates()) {
            if (n >= kPollEntries) poll_interrupt();
            if (hist_.n_bins[f] < 2) continue;
            if (!unit_) {
                search_feature<false, true>(f, work, W, G, best);
            } else if (two_class) {
                // Two classes, the usual case: the per-class loops unrolled, and the
                // entries' tree class ids read as they are.
                n >= kDenseNode ? search_feature<true, false, 2, true>(f, work, W, G, best)
                                : search_feature<true, true, 2, true>(f, work, W, G, best);
            } else if (present_.size() == 2) {
                n >= kDenseNode ? search_feature<true, false, 2>(f, work, W, G, best)
                                : search_feature<true, true, 2>(f, work, W, G, best);
            } else if (n >= kDenseNode) {
                search_feature<true, false>(f, work, W, G, best);
            } else {
                search_feature<true, true>(f, work, W, G, best);
            }
        }
        if (best.gain <= 0.0) return false;
        return try_split(*this, id, work, best);
    }

    // Moves the entries, and the codes with them when they are records (then returns true).
    bool partition_entries(std::size_t begin, std::size_t end, const std::uint64_t* left) {
        if (codes_.partition_records_with(begin, end, left, std::array{entries_.data()},
                                          scratch_.data())) {
            return true;
        }
        partition_stable_scalar(entries_.data(), begin, end, left, scratch_.data());
        return false;
    }

private:
    // Dense class ids: the class indices of the sample, sorted, so ids keep their order.
    // Writes each entry's id to `ids` and returns the class index of every id.
    std::vector<std::uint64_t> dense_class_ids(std::vector<std::uint32_t>& ids) const {
        std::vector<std::uint64_t> classes(idx_.size());
        std::uint64_t top = 0;
        for (std::size_t p = 0; p < idx_.size(); ++p) {
            classes[p] = class_index(y_[idx_[p]]);
            top = std::max(top, classes[p]);
        }
        std::vector<std::uint64_t> distinct;
        if (top < kDirectClasses) {
            // Small class indices (the usual labels 0 .. k-1): a table instead of a sort.
            std::vector<std::uint32_t> id_of(top + 1, 0);
            for (std::uint64_t c : classes) id_of[c] = 1;
            for (std::uint64_t c = 0; c <= top; ++c) {
                if (id_of[c] != 0) {
                    id_of[c] = static_cast<std::uint32_t>(distinct.size());
                    distinct.push_back(c);
                }
            }
            for (std::size_t p = 0; p < classes.size(); ++p) ids[p] = id_of[classes[p]];
            return distinct;
        }
        distinct = classes;
        sort_distinct(distinct);
        for (std::size_t p = 0; p < classes.size(); ++p) {
            const auto it = std::lower_bound(distinct.begin(), distinct.end(), classes[p]);
            ids[p] = static_cast<std::uint32_t>(it - distinct.begin());
        }
        return distinct;
    }

    // present_ = the tree class ids of the node's entries, ascending.
    void collect_present(const Work& work) {
        present_.clear();
        for (std::size_t p = work.begin; p < work.end; ++p) {
            const std::uint32_t c = entries_[p].cls;
            if (!seen_[c]) {
                seen_[c] = 1;
                present_.push_back(c);
            }
        }
        std::sort(present_.begin(), present_.end());
        for (std::uint32_t c : present_) seen_[c] = 0;
    }

    // The classes present in the node (ascending) get node-local ids 0 .. kn-1; the
    // node's class weights are summed in list order.
    void node_statistics(const Work& work) {
        collect_present(work);
        for (std::size_t l = 0; l < present_.size(); ++l) {
            local_of_[present_[l]] = static_cast<std::uint32_t>(l);
        }
        const std::size_t kn = present_.size();
        node_counts_.assign(kn, 0.0);
        local_.resize(work.end - work.begin);
        if (unit_) {
            // Two sets of counters, for alternate entries: neighbours of one class do not
            // wait on each other's increments.
            node_n_.assign(2 * kn, 0);
            for (std::size_t p = work.begin; p < work.end; ++p) {
                const std::uint32_t l = local_of_[entries_[p].cls];
                local_[p - work.begin] = l;
                ++node_n_[2 * l + (p & 1)];
            }
            for (std::size_t l = 0; l < kn; ++l) {
                node_counts_[l] = static_cast<double>(node_n_[2 * l] + node_n_[2 * l + 1]);
            }
        } else {
            for (std::size_t p = work.begin; p < work.end; ++p) {
                const std::uint32_t l = local_of_[entries_[p].cls];
                local_[p - work.begin] = l;
                node_counts_[l] += entries_[p].w;
            }
        }
        // Every slot the searches touch is cleared after use, so growing keeps it all zero.
        if (unit_ && bin_cls_n_.size() < kMaxBins * kn) bin_cls_n_.resize(kMaxBins * kn, 0);
        if (!unit_ && bin_cls_.size() < kMaxBins * kn) bin_cls_.resize(kMaxBins * kn, 0.0);
        left_.resize(kn);
        // Left class sums per boundary, class-major so the gain loop runs over boundaries.
        bound_left_.resize(kMaxBins * kn);
    }

    // node_statistics for a node of a two-class tree with unit weights holding both
    // classes: node-local ids are the tree ids 0 and 1, and the counts come from one sum.
    void two_class_statistics(const Work& work) {
        std::size_t ones = 0;
        for (std::size_t p = work.begin; p < work.end; ++p) ones += entries_[p].cls;
        present_.assign({0, 1});
        node_counts_.assign({static_cast<double>(work.end - work.begin - ones),
                             static_cast<double>(ones)});
        if (bin_cls_n_.size() < kMaxBins * 2) bin_cls_n_.resize(kMaxBins * 2, 0);
        bound_left_.resize(kMaxBins * 2);
    }

    // Fills the histogram of feature f over the node's entries and gathers the boundaries
    // that qualify. With unit weights the histogram holds class counts only. Small nodes
    // keep track of the bins they touch; large ones (unit weights only) sweep every bin
    // and skip the empty ones, which leave the left side and its gain unchanged. KN, when
    // not 0, is the node's number of classes known at compile time; TreeIds says that the
    // node-local class ids are the tree ids (two_class_statistics).
    template <bool Unit, bool Track, std::size_t KN = 0, bool TreeIds = false>
    void search_feature(std::size_t f, const Work& work, double W, double G, Best& best) {
        const CodeView codes = codes_of(f, work, 0);
        const std::size_t kn = KN != 0 ? KN : present_.size();
        for (std::size_t p = work.begin; p < work.end; ++p) {
            const unsigned b = codes[p];
            if (Unit) {
                const std::uint32_t l = TreeIds ? entries_[p].cls : local_[p - work.begin];
                ++bin_cls_n_[b * kn + l];
            } else {
                const double w = entries_[p].w;
                bin_w_[b] += w;
                ++bin_n_[b];
                bin_cls_[b * kn + local_[p - work.begin]] += w;
            }
            if (Track) mask_.set(b);
        }
        const std::size_t last = hist_.n_bins[f] - 1;
        const std::size_t n = work.end - work.begin;
        const std::uint64_t min_leaf = params_.min_samples_leaf;
        // With the class count fixed, the left sums live in registers: the stores into
        // bound_left_ cannot be taken for writes to them.
        std::array<double, KN != 0 ? KN : 1> fixed_left{};
        if (KN == 0) std::fill(left_.begin(), left_.end(), 0.0);
        double* left = KN != 0 ? fixed_left.data() : left_.data();
        Boundaries& c = bounds_;
        c.size = 0;
        double WL = 0.0;
        std::size_t nL = 0;
        const auto visit = [&](unsigned b) {
            std::uint32_t* counts = Unit ? &bin_cls_n_[b * kn] : nullptr;
            std::size_t bin_n = 0;
            if (Unit) {
                for (std::size_t k = 0; k < kn; ++k) bin_n += counts[k];
                if (!Track && bin_n == 0) return;
            }
            if (b < last) {
                std::size_t keep;
                if (Unit) {
                    nL += bin_n;
                    WL = static_cast<double>(nL);
                    for (std::size_t k = 0; k < kn; ++k) left[k] += static_cast<double>(counts[k]);
                    // W and WL are the counts n and nL, so the checks of the weighted form
                    // below are these, and integer comparisons.
                    keep = static_cast<std::size_t>(nL > 0) & (nL < n) & (nL >= min_leaf) &
                           (n - nL >= min_leaf);
                } else {
                    nL += bin_n_[b];
                    WL += bin_w_[b];
                    const double* cls = &bin_cls_[b * kn];
                    for (std::size_t k = 0; k < kn; ++k) left[k] += cls[k];
                    keep = W - WL > 0.0 && WL > 0.0 && nL >= min_leaf && n - nL >= min_leaf;
                }
                // The boundary is written always and kept by advancing the count, without
                // a branch (there is room: fewer boundaries than bins).
                for (std::size_t k = 0; k < kn; ++k) {
                    bound_left_[k * kMaxBins + c.size] = left[k];
                }
                c.wl[c.size] = WL;
                c.bin[c.size] = b;
                c.size += keep;
            }
            if (Unit) {
                std::fill_n(counts, kn, 0u);
            } else {
                bin_n_[b] = 0;
                bin_w_[b] = 0.0;
                std::fill_n(&bin_cls_[b * kn], kn, 0.0);
            }
        };
        if (Track) {
            mask_.for_each(visit);
        } else {
            for (unsigned b = 0; b <= last; ++b) visit(b);
        }
        if (Track) mask_.clear();
        // Gini sums per boundary, classes in ascending order.
        std::array<double, kMaxBins>& sum_l = c.s1l;
        std::array<double, kMaxBins>& sum_r = c.s2l;
        std::fill(sum_l.begin(), sum_l.begin() + static_cast<std::ptrdiff_t>(c.size), 0.0);
        std::fill(sum_r.begin(), sum_r.begin() + static_cast<std::ptrdiff_t>(c.size), 0.0);
        for (std::size_t k = 0; k < kn; ++k) {
            const double parent = node_counts_[k];
            const double* left = &bound_left_[k * kMaxBins];
            for (std::size_t i = 0; i < c.size; ++i) {
                const double wl = c.wl[i];
                const double ql = left[i] / wl;
                sum_l[i] += ql * ql;
                const double qr = (parent - left[i]) / (W - wl);
                sum_r[i] += qr * qr;
            }
        }
        for (std::size_t i = 0; i < c.size; ++i) {
            const double wl = c.wl[i];
            const double wr = W - wl;
            const double gl = 1.0 - sum_l[i];
            const double gr = 1.0 - sum_r[i];
            c.gain[i] = G - (wl * gl + wr * gr) / W;
        }
        pick_best(c, f, best);
    }

    std::vector<ClsEntry>& entries_ = s_.entries;  // per position, partitioned with the codes
    std::vector<ClsEntry>& scratch_ = s_.entry_scratch;
    std::vector<std::uint64_t> class_of_;  // tree class id -> class index
    std::vector<double> leaf_weight_;      // per tree class id, zero between leaves
    std::vector<ClassCount> leaf_counts_;
    std::vector<std::uint32_t> local_of_;  // tree class id -> node-local id
    std::vector<std::uint8_t> seen_;       // presence marks while collecting a node's classes
    std::vector<std::uint32_t> present_;   // tree class ids present in the node, ascending
    std::vector<std::uint32_t> local_;     // node-local class id of each node entry
    std::vector<double> node_counts_;      // per node-local class
    std::vector<double> left_;
    std::vector<std::size_t> leaf_n_;      // per tree class id, zero between leaves (unit)
    std::vector<std::size_t> node_n_;      // per node-local class (unit)
    std::vector<std::uint32_t> bin_cls_n_;  // kMaxBins x node classes (unit)
    std::vector<double> bin_cls_;          // kMaxBins x node classes
    std::vector<double> bound_left_;       // node classes x kMaxBins
    std::array<double, kMaxBins> bin_w_{};
    std::array<std::size_t, kMaxBins> bin_n_{};
    BinMask mask_;
    Boundaries bounds_;
};

}  // namespace

void add_row_records(HistogramData& hist, const TreeParams& params) {
    const std::size_t m = hist.n_bins.size();
    const std::vector<std::size_t> live = live_features(hist, m);
    const auto [layout, words] = EntryCodes::layout_for(live.size(), searched_features(params, m));
    if (layout != EntryCodes::Layout::records) return;
    const std::size_t n = live.empty() ? 0 : hist.bin_codes[live[0]].size();
    hist.row_records.assign(checked_mul(words, n), 0);
    auto* out = reinterpret_cast<std::uint8_t*>(hist.row_records.data());
    for (std::size_t j = 0; j < live.size(); ++j) {
        const std::uint8_t* column = hist.bin_codes[live[j]].data();
        for (std::size_t r = 0; r < n; ++r) out[r * 8 * words + j] = column[r];
    }
    hist.record_words = words;
}

Tree build_node(const MatrixView& x, std::span<const double> y,
                std::span<const double> sample_weight, std::span<const RowIndex> indices,
                const TreeParams& params, NodeShuffles& shuffles, const HistogramData& hist,
                ScratchPool* pool) {
    std::unique_ptr<GrowScratch> scratch = pool ? pool->take() : std::make_unique<GrowScratch>();
    struct GiveBack {  // also when the tree stops early (an interrupt)
        ScratchPool* pool;
        std::unique_ptr<GrowScratch>& scratch;
        ~GiveBack() {
            if (pool) pool->give(std::move(scratch));
        }
    } give_back{pool, scratch};
    if (params.is_classification) {
        return ClassificationGrower(x, y, sample_weight, indices, params, shuffles, hist,
                                    *scratch)
            .grow();
    }
    return RegressionGrower(x, y, sample_weight, indices, params, shuffles, hist, *scratch)
        .grow();
}

Tree build_node(const MatrixView& x, std::span<const double> y,
                std::span<const double> sample_weight, std::span<const RowIndex> indices,
                const TreeParams& params, Pcg64& rng, const HistogramData& hist,
                ScratchPool* pool) {
    NodeShuffles shuffles(rng);
    return build_node(x, y, sample_weight, indices, params, shuffles, hist, pool);
}

}  // namespace canopy
