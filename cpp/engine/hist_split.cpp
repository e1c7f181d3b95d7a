#include "engine/hist_split.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "engine/errors.hpp"

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
};

struct RegEntry {
    double w, wy, yy;  // w, w*y and y*(w*y), computed once per tree
};

struct ClsEntry {
    double w;
    std::uint32_t cls;  // dense class id within the tree, ordered like the class indices
};

struct RegSlot {
    double w = 0.0, s1 = 0.0, s2 = 0.0;
    std::size_t n = 0;
};

// State shared by both tasks: inputs, the tree, the index buffer and the stack.
class GrowerBase {
public:
    GrowerBase(const MatrixView& x, std::span<const double> y, std::span<const double> w,
               std::span<const RowIndex> indices, const TreeParams& params, Pcg64& rng,
               const HistogramData& hist)
        : x_(x), y_(y), w_(w), params_(params), rng_(rng), hist_(hist), m_(x.cols),
          idx_(indices.begin(), indices.end()) {
        check_inputs();
        flags_.resize(idx_.size());
        candidates_.resize(m_);
    }

protected:
    void check_inputs() const {
        if (hist_.bin_codes.size() < m_ || hist_.bin_edges.size() < m_ || hist_.n_bins.size() < m_) {
            fail_internal("histogram data has fewer features than the matrix");
        }
        std::size_t limit = std::min({x_.rows, y_.size(), w_.size()});
        for (std::size_t f = 0; f < m_; ++f) {
            limit = std::min(limit, hist_.bin_codes[f].size());
            if (hist_.n_bins[f] > kMaxBins || hist_.n_bins[f] > hist_.bin_edges[f].size()) {
                fail_internal("histogram data has inconsistent bin counts");
            }
        }
        for (RowIndex i : idx_) {
            if (i >= limit) fail_internal("row index " + std::to_string(i) + " is out of range");
        }
    }

    // The candidate features of a node: a shuffled prefix when subsampling, else all.
    std::span<const std::size_t> candidates() {
        std::iota(candidates_.begin(), candidates_.end(), std::size_t{0});
        if (params_.max_features && *params_.max_features < m_) {
            rng_.shuffle(std::span<std::size_t>(candidates_));
            return {candidates_.data(), static_cast<std::size_t>(*params_.max_features)};
        }
        return candidates_;
    }

    bool stops_early(std::size_t n, std::uint64_t depth) const {
        return n < params_.min_samples_split || (params_.max_depth && depth >= *params_.max_depth);
    }

    void make_leaf(std::uint32_t id, const Work& work) {
        create_leaf(tree_, id, y_, w_,
                    std::span<const RowIndex>(idx_.data() + work.begin, work.end - work.begin),
                    params_.is_classification);
    }

    std::uint32_t open_node(const Work& work) {
        const std::uint32_t id = tree_.add_node();
        if (work.parent != kNoChild && work.is_right) tree_.nodes[work.parent].right = id;
        return id;
    }

    // Marks which entries go left by the raw value and counts them. The index buffer is not
    // touched yet, so a rejected split leaves the node's entries in their original order.
    std::size_t mark_left(const Work& work, const Best& best) {
        std::size_t n_left = 0;
        for (std::size_t p = work.begin; p < work.end; ++p) {
            const bool left = x_(idx_[p], best.feature) <= best.threshold;
            flags_[p] = left;
            n_left += left;
        }
        return n_left;
    }

    // Stable partition of positions [begin, end) of the index buffer and of a parallel
    // per-entry array by the marks of mark_left.
    template <class Entry>
    void partition(const Work& work, std::vector<Entry>& entries, std::size_t n_left) {
        tmp_idx_.resize(work.end - work.begin - n_left);
        std::vector<Entry>& tmp = scratch_of(entries);
        tmp.resize(tmp_idx_.size());
        std::size_t l = work.begin;
        std::size_t r = 0;
        for (std::size_t p = work.begin; p < work.end; ++p) {
            if (flags_[p]) {
                idx_[l] = idx_[p];
                entries[l] = entries[p];
                ++l;
            } else {
                tmp_idx_[r] = idx_[p];
                tmp[r] = entries[p];
                ++r;
            }
        }
        std::copy(tmp_idx_.begin(), tmp_idx_.end(), idx_.begin() + static_cast<std::ptrdiff_t>(l));
        std::copy(tmp.begin(), tmp.end(), entries.begin() + static_cast<std::ptrdiff_t>(l));
    }

    // Turns node `id` into a split when both sides keep enough entries (and at least one:
    // with min_samples_leaf 0, a rounding residue can make a boundary with nothing on one
    // side look like a candidate, and splitting there would repeat the node forever).
    template <class Entry>
    bool try_split(std::uint32_t id, const Work& work, const Best& best,
                   std::vector<Entry>& entries) {
        const std::size_t n = work.end - work.begin;
        const std::size_t n_left = mark_left(work, best);
        const std::size_t n_right = n - n_left;
        if (n_left == 0 || n_right == 0 || n_left < params_.min_samples_leaf ||
            n_right < params_.min_samples_leaf) {
            return false;
        }
        partition(work, entries, n_left);
        tree_.set_split(id, best.feature, best.threshold, id + 1, kNoChild);
        tree_.nodes[id].n_samples = n;
        const std::size_t mid = work.begin + n_left;
        stack_.push_back(Work{mid, work.end, work.depth + 1, id, true});
        stack_.push_back(Work{work.begin, mid, work.depth + 1, id, false});
        return true;
    }

    const MatrixView& x_;
    std::span<const double> y_;
    std::span<const double> w_;
    const TreeParams& params_;
    Pcg64& rng_;
    const HistogramData& hist_;
    std::size_t m_;

    Tree tree_;
    std::vector<RowIndex> idx_;
    std::vector<RowIndex> tmp_idx_;
    std::vector<std::uint8_t> flags_;
    std::vector<std::size_t> candidates_;
    std::vector<Work> stack_;
    std::vector<RegEntry> tmp_reg_;
    std::vector<ClsEntry> tmp_cls_;
    BinMask mask_;

private:
    std::vector<RegEntry>& scratch_of(std::vector<RegEntry>&) { return tmp_reg_; }
    std::vector<ClsEntry>& scratch_of(std::vector<ClsEntry>&) { return tmp_cls_; }
};

class RegressionGrower : public GrowerBase {
public:
    using GrowerBase::GrowerBase;

    Tree grow() {
        entries_.resize(idx_.size());
        for (std::size_t p = 0; p < idx_.size(); ++p) {
            const double w = w_[idx_[p]];
            const double y = y_[idx_[p]];
            const double wy = w * y;
            entries_[p] = RegEntry{w, wy, y * wy};
        }
        stack_.push_back(Work{0, idx_.size(), 0, kNoChild, false});
        while (!stack_.empty()) {
            const Work work = stack_.back();
            stack_.pop_back();
            const std::uint32_t id = open_node(work);
            if (!grow_node(id, work)) make_leaf(id, work);
        }
        return std::move(tree_);
    }

private:
    // Searches the node and splits it; false when it stays a leaf.
    bool grow_node(std::uint32_t id, const Work& work) {
        const std::size_t n = work.end - work.begin;
        if (stops_early(n, work.depth) || n == 0) return false;
        double W = 0.0, S1 = 0.0, S2 = 0.0;
        for (std::size_t p = work.begin; p < work.end; ++p) {
            W += entries_[p].w;
            S1 += entries_[p].wy;
            S2 += entries_[p].yy;
        }
        if (W <= 0.0) return false;
        const double mean = S1 / W;
        const double V = S2 / W - mean * mean;
        Best best;
        for (std::size_t f : candidates()) {
            if (hist_.n_bins[f] >= 2) search_feature(f, work, W, S1, S2, V, best);
        }
        if (best.gain <= 0.0) return false;
        return try_split(id, work, best, entries_);
    }

    void search_feature(std::size_t f, const Work& work, double W, double S1, double S2,
                        double V, Best& best) {
        const std::uint8_t* codes = hist_.bin_codes[f].data();
        for (std::size_t p = work.begin; p < work.end; ++p) {
            const unsigned b = codes[idx_[p]];
            RegSlot& s = slots_[b];
            const RegEntry& e = entries_[p];
            s.w += e.w;
            s.s1 += e.wy;
            s.s2 += e.yy;
            ++s.n;
            mask_.set(b);
        }
        const std::size_t n = work.end - work.begin;
        const std::size_t last = hist_.n_bins[f] - 1;
        const std::uint64_t min_leaf = params_.min_samples_leaf;
        double WL = 0.0, S1L = 0.0, S2L = 0.0;
        std::size_t nL = 0;
        mask_.for_each([&](unsigned b) {
            RegSlot& s = slots_[b];
            if (b < last) {
                WL += s.w;
                S1L += s.s1;
                S2L += s.s2;
                nL += s.n;
                const double WR = W - WL;
                if (WR > 0.0 && WL > 0.0 && nL >= min_leaf && n - nL >= min_leaf) {
                    const double S1R = S1 - S1L;
                    const double S2R = S2 - S2L;
                    const double ml = S1L / WL;
                    const double mr = S1R / WR;
                    const double VL = S2L / WL - ml * ml;
                    const double VR = S2R / WR - mr * mr;
                    const double gain = V - (WL * VL + WR * VR) / W;
                    if (gain > best.gain) best = Best{gain, f, hist_.bin_edges[f][b]};
                }
            }
            s = RegSlot{};
        });
        mask_.clear();
    }

    std::vector<RegEntry> entries_;
    std::array<RegSlot, kMaxBins> slots_{};
};

class ClassificationGrower : public GrowerBase {
public:
    using GrowerBase::GrowerBase;

    Tree grow() {
        // Dense class ids: the class indices of the sample, sorted, so ids keep their order.
        std::vector<std::uint64_t> classes(idx_.size());
        for (std::size_t p = 0; p < idx_.size(); ++p) classes[p] = class_index(y_[idx_[p]]);
        std::vector<std::uint64_t> distinct = classes;
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        k_ = distinct.size();
        entries_.resize(idx_.size());
        for (std::size_t p = 0; p < idx_.size(); ++p) {
            const auto it = std::lower_bound(distinct.begin(), distinct.end(), classes[p]);
            entries_[p] = ClsEntry{w_[idx_[p]], static_cast<std::uint32_t>(it - distinct.begin())};
        }
        local_of_.assign(k_, 0);
        seen_.assign(k_, 0);
        stack_.push_back(Work{0, idx_.size(), 0, kNoChild, false});
        while (!stack_.empty()) {
            const Work work = stack_.back();
            stack_.pop_back();
            const std::uint32_t id = open_node(work);
            if (!grow_node(id, work)) make_leaf(id, work);
        }
        return std::move(tree_);
    }

private:
    bool grow_node(std::uint32_t id, const Work& work) {
        const std::size_t n = work.end - work.begin;
        if (stops_early(n, work.depth)) return false;
        bool pure = true;
        for (std::size_t p = work.begin + 1; p < work.end && pure; ++p) {
            pure = entries_[p].cls == entries_[work.begin].cls;
        }
        if (pure || n == 0) return false;
        double W = 0.0;
        for (std::size_t p = work.begin; p < work.end; ++p) W += entries_[p].w;
        if (W <= 0.0) return false;
        node_statistics(work);
        double sum = 0.0;
        for (std::size_t c = 0; c < present_.size(); ++c) {
            const double q = node_counts_[c] / W;
            sum += q * q;
        }
        const double G = 1.0 - sum;
        Best best;
        for (std::size_t f : candidates()) {
            if (hist_.n_bins[f] >= 2) search_feature(f, work, W, G, best);
        }
        if (best.gain <= 0.0) return false;
        return try_split(id, work, best, entries_);
    }

    // The classes present in the node (ascending) get node-local ids 0 .. kn-1; the
    // node's class weights are summed in list order.
    void node_statistics(const Work& work) {
        present_.clear();
        for (std::size_t p = work.begin; p < work.end; ++p) {
            const std::uint32_t c = entries_[p].cls;
            if (!seen_[c]) {
                seen_[c] = 1;
                present_.push_back(c);
            }
        }
        std::sort(present_.begin(), present_.end());
        for (std::size_t l = 0; l < present_.size(); ++l) {
            seen_[present_[l]] = 0;
            local_of_[present_[l]] = static_cast<std::uint32_t>(l);
        }
        const std::size_t kn = present_.size();
        node_counts_.assign(kn, 0.0);
        local_.resize(work.end - work.begin);
        for (std::size_t p = work.begin; p < work.end; ++p) {
            const std::uint32_t l = local_of_[entries_[p].cls];
            local_[p - work.begin] = l;
            node_counts_[l] += entries_[p].w;
        }
        // Every slot the searches touch is cleared after use, so growing keeps it all zero.
        if (bin_cls_.size() < kMaxBins * kn) bin_cls_.resize(kMaxBins * kn, 0.0);
        left_.resize(kn);
    }

    void search_feature(std::size_t f, const Work& work, double W, double G, Best& best) {
        const std::uint8_t* codes = hist_.bin_codes[f].data();
        const std::size_t kn = present_.size();
        for (std::size_t p = work.begin; p < work.end; ++p) {
            const unsigned b = codes[idx_[p]];
            const double w = entries_[p].w;
            bin_w_[b] += w;
            ++bin_n_[b];
            bin_cls_[b * kn + local_[p - work.begin]] += w;
            mask_.set(b);
        }
        const std::size_t n = work.end - work.begin;
        const std::size_t last = hist_.n_bins[f] - 1;
        const std::uint64_t min_leaf = params_.min_samples_leaf;
        std::fill(left_.begin(), left_.end(), 0.0);
        double WL = 0.0;
        std::size_t nL = 0;
        mask_.for_each([&](unsigned b) {
            double* cls = &bin_cls_[b * kn];
            if (b < last) {
                WL += bin_w_[b];
                nL += bin_n_[b];
                for (std::size_t c = 0; c < kn; ++c) left_[c] += cls[c];
                const double WR = W - WL;
                if (WR > 0.0 && WL > 0.0 && nL >= min_leaf && n - nL >= min_leaf) {
                    double sum_l = 0.0, sum_r = 0.0;
                    for (std::size_t c = 0; c < kn; ++c) {
                        const double ql = left_[c] / WL;
                        sum_l += ql * ql;
                        const double qr = (node_counts_[c] - left_[c]) / WR;
                        sum_r += qr * qr;
                    }
                    const double GL = 1.0 - sum_l;
                    const double GR = 1.0 - sum_r;
                    const double gain = G - (WL * GL + WR * GR) / W;
                    if (gain > best.gain) best = Best{gain, f, hist_.bin_edges[f][b]};
                }
            }
            bin_w_[b] = 0.0;
            bin_n_[b] = 0;
            std::fill(cls, cls + kn, 0.0);
        });
        mask_.clear();
    }

    std::size_t k_ = 0;
    std::vector<ClsEntry> entries_;
    std::vector<std::uint32_t> local_of_;  // tree class id -> node-local id
    std::vector<std::uint8_t> seen_;       // presence marks while collecting a node's classes
    std::vector<std::uint32_t> present_;   // tree class ids present in the node, ascending
    std::vector<std::uint32_t> local_;     // node-local class id of each node entry
    std::vector<double> node_counts_;      // per node-local class
    std::vector<double> left_;
    std::vector<double> bin_cls_;          // kMaxBins x node classes
    std::array<double, kMaxBins> bin_w_{};
    std::array<std::size_t, kMaxBins> bin_n_{};
};

}  // namespace

Tree build_node(const MatrixView& x, std::span<const double> y,
                std::span<const double> sample_weight, std::span<const RowIndex> indices,
                const TreeParams& params, Pcg64& rng, const HistogramData& hist) {
    if (params.is_classification) {
        return ClassificationGrower(x, y, sample_weight, indices, params, rng, hist).grow();
    }
    return RegressionGrower(x, y, sample_weight, indices, params, rng, hist).grow();
}

}  // namespace canopy
