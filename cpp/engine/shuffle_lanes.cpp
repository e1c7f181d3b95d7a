#include "engine/shuffle_lanes.hpp"

#include <immintrin.h>

#include <algorithm>
#include <numeric>

#include "engine/errors.hpp"

namespace canopy {

namespace {

struct LaneState {
    std::uint64_t* hi;
    std::uint64_t* lo;
    const std::uint64_t* inc_hi;
    const std::uint64_t* inc_lo;
    std::uint64_t* len;
};

// The plain shift and 32 x 32 multiply of every lane. Here, and for the rotation, the
// variable shift and the narrowing below, the masked forms with every lane on: GCC 12's
// plain forms start from an undefined vector it then warns about.
[[gnu::target("avx512f")]] inline __m512i srl(__m512i v, unsigned bits) {
    return _mm512_maskz_srli_epi64(0xFF, v, bits);
}
[[gnu::target("avx512f")]] inline __m512i mul32(__m512i a, __m512i b) {
    return _mm512_maskz_mul_epu32(0xFF, a, b);
}

// kSteps draws of every lane, as Pcg64::shuffle makes them: the generator steps (state *
// multiplier + increment, modulo 2^128), the XSL RR output's low 32 bits times the list
// length, and the draw is taken when the product's low half is within the zone. A taken
// draw's j (the product's high half) is appended to the lane's run in `drawn` and the
// length drops by one; after the last draw of a list (length 2) the next list starts at m.
// counts[k] receives how many of lane k's draws were taken.
[[gnu::target("avx512f,avx512dq,avx512cd")]] void draw_lanes(LaneState s, std::uint64_t m,
                                                             std::uint32_t* drawn,
                                                             std::uint64_t* counts) {
    constexpr u128 kMul = Pcg64::multiplier();
    const __m512i mul_lo =
        _mm512_set1_epi64(static_cast<long long>(static_cast<std::uint64_t>(kMul)));
    const __m512i mul_hi =
        _mm512_set1_epi64(static_cast<long long>(static_cast<std::uint64_t>(kMul >> 64)));
    const __m512i mul_lo_top = srl(mul_lo, 32);
    const __m512i low32 = _mm512_set1_epi64(0xFFFFFFFFLL);
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i two = _mm512_set1_epi64(2);
    const __m512i thirty_two = _mm512_set1_epi64(32);
    const __m512i first_len = _mm512_set1_epi64(static_cast<long long>(m));
    const __m512i run_start = _mm512_mullo_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7),
                                                 _mm512_set1_epi64(ShuffleGroup::kSteps));
    __m512i hi = _mm512_loadu_si512(s.hi);
    __m512i lo = _mm512_loadu_si512(s.lo);
    __m512i len = _mm512_loadu_si512(s.len);
    const __m512i inc_hi = _mm512_loadu_si512(s.inc_hi);
    const __m512i inc_lo = _mm512_loadu_si512(s.inc_lo);
    __m512i taken = _mm512_setzero_si512();
    for (std::size_t step = 0; step < ShuffleGroup::kSteps; ++step) {
        // The low word: lo * mul_lo + inc_lo, with its carry.
        const __m512i next_lo = _mm512_add_epi64(_mm512_mullo_epi64(lo, mul_lo), inc_lo);
        const __mmask8 carry = _mm512_cmplt_epu64_mask(next_lo, inc_lo);
        // The high word of lo * mul_lo from four 32 x 32 products.
        const __m512i lo_top = srl(lo, 32);
        const __m512i p00 = mul32(lo, mul_lo);
        const __m512i p01 = mul32(lo, mul_lo_top);
        const __m512i p10 = mul32(lo_top, mul_lo);
        const __m512i p11 = mul32(lo_top, mul_lo_top);
        const __m512i middle = _mm512_add_epi64(
            _mm512_add_epi64(srl(p00, 32), _mm512_and_si512(p01, low32)),
            _mm512_and_si512(p10, low32));
        const __m512i product_hi = _mm512_add_epi64(
            _mm512_add_epi64(p11, srl(p01, 32)),
            _mm512_add_epi64(srl(p10, 32), srl(middle, 32)));
        __m512i next_hi = _mm512_add_epi64(
            _mm512_add_epi64(product_hi, _mm512_mullo_epi64(hi, mul_lo)),
            _mm512_add_epi64(_mm512_mullo_epi64(lo, mul_hi), inc_hi));
        next_hi = _mm512_mask_add_epi64(next_hi, carry, next_hi, one);
        hi = next_hi;
        lo = next_lo;
        // The output, and the draw for the lane's list length.
        const __m512i out = _mm512_maskz_rorv_epi64(0xFF, _mm512_xor_si512(hi, lo), srl(hi, 58));
        const __m512i product = mul32(out, len);
        const __m512i shift = _mm512_sub_epi64(_mm512_lzcnt_epi64(len), thirty_two);
        const __m512i top = _mm512_maskz_sllv_epi64(0xFF, len, shift);  // len << clz32(len)
        const __m512i zone = _mm512_and_si512(_mm512_sub_epi64(top, one), low32);
        const __mmask8 take = _mm512_cmple_epu64_mask(_mm512_and_si512(product, low32), zone);
        _mm512_mask_i64scatter_epi32(drawn, take, _mm512_add_epi64(run_start, taken),
                                     _mm512_maskz_cvtepi64_epi32(0xFF, srl(product, 32)), 4);
        taken = _mm512_mask_add_epi64(taken, take, taken, one);
        const __mmask8 restart = take & _mm512_cmpeq_epu64_mask(len, two);
        len = _mm512_mask_sub_epi64(len, take, len, one);
        len = _mm512_mask_mov_epi64(len, restart, first_len);
    }
    _mm512_storeu_si512(s.hi, hi);
    _mm512_storeu_si512(s.lo, lo);
    _mm512_storeu_si512(s.len, len);
    _mm512_storeu_si512(counts, taken);
}

}  // namespace

bool ShuffleGroup::supported() {
    static const bool yes = __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512dq") &&
                            __builtin_cpu_supports("avx512cd");
    return yes;
}

ShuffleGroup::ShuffleGroup(std::span<const std::uint64_t> seeds, std::size_t m,
                           std::size_t prefix)
    : m_(m), prefix_(prefix) {
    if (seeds.size() > kLanes || m < 2 || m > 256 || prefix < 1 || prefix > m) {
        fail_internal("shuffle group out of range");
    }
    for (std::size_t k = 0; k < kLanes; ++k) {
        const Pcg64 g = Pcg64::seed_from_u64(k < seeds.size() ? seeds[k] : 0);
        hi_[k] = static_cast<std::uint64_t>(g.state() >> 64);
        lo_[k] = static_cast<std::uint64_t>(g.state());
        inc_hi_[k] = static_cast<std::uint64_t>(g.increment() >> 64);
        inc_lo_[k] = static_cast<std::uint64_t>(g.increment());
        len_[k] = m;
        std::iota(items_[k].begin(), items_[k].begin() + static_cast<std::ptrdiff_t>(m),
                  std::uint8_t{0});
    }
}

std::span<const std::uint8_t> ShuffleGroup::chunk(std::size_t c, std::size_t lane) {
    const std::vector<std::uint8_t>* run = nullptr;
    bool short_ahead = false;
    {
        std::lock_guard list(list_mutex_);
        if (c < chunks_.size()) {
            run = &chunks_[c][lane];
            short_ahead = c + kAhead >= chunks_.size();
        }
    }
    if (run == nullptr) {
        std::lock_guard make(make_mutex_);
        make_through(c);
        std::lock_guard list(list_mutex_);
        run = &chunks_[c][lane];
    } else if (short_ahead) {
        // The chunks ahead, unless another tree is making some already.
        std::unique_lock make(make_mutex_, std::try_to_lock);
        if (make.owns_lock()) make_through(c + kAhead);
    }
    return {run->data(), run->size()};
}

void ShuffleGroup::make_through(std::size_t c) {
    for (;;) {
        {
            std::lock_guard list(list_mutex_);
            if (chunks_.size() > c) return;
        }
        Chunk made = make_chunk();
        std::lock_guard list(list_mutex_);
        chunks_.push_back(std::move(made));
    }
}

ShuffleGroup::Chunk ShuffleGroup::make_chunk() {
    drawn_.resize(kLanes * kSteps);
    alignas(64) std::array<std::uint64_t, kLanes> counts{};
    draw_lanes(LaneState{hi_.data(), lo_.data(), inc_hi_.data(), inc_lo_.data(), len_.data()},
               m_, drawn_.data(), counts.data());
    // Each lane's swaps, in the order Pcg64::shuffle makes them (positions m-1 down to 1);
    // a list that is complete leaves its prefix and starts again in order.
    Chunk made;
    for (std::size_t k = 0; k < kLanes; ++k) {
        std::array<std::uint8_t, 256>& items = items_[k];
        std::size_t swaps = swaps_[k];
        std::vector<std::uint8_t>& out = made[k];
        out.reserve(counts[k] / (m_ - 1) * prefix_ + prefix_);
        const std::uint32_t* js = drawn_.data() + k * kSteps;
        for (std::uint64_t t = 0; t < counts[k]; ++t) {
            std::swap(items[m_ - 1 - swaps], items[js[t]]);
            if (++swaps == m_ - 1) {
                out.insert(out.end(), items.begin(),
                           items.begin() + static_cast<std::ptrdiff_t>(prefix_));
                std::iota(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(m_),
                          std::uint8_t{0});
                swaps = 0;
            }
        }
        swaps_[k] = swaps;
    }
    return made;
}

void NodeShuffles::shuffle_prefix(std::span<std::size_t> items, std::size_t prefix) {
    if (rng_ != nullptr) {
        std::iota(items.begin(), items.end(), std::size_t{0});
        rng_->shuffle(items);
        return;
    }
    while (ready_.empty()) ready_ = group_->chunk(next_chunk_++, lane_);
    for (std::size_t k = 0; k < prefix; ++k) items[k] = ready_[k];
    ready_ = ready_.subspan(prefix);
}

ForestShuffles::ForestShuffles(std::vector<std::uint64_t> seeds, std::size_t m,
                               std::uint64_t prefix)
    : seeds_(std::move(seeds)), m_(m), prefix_(static_cast<std::size_t>(prefix)) {
    active_ = !seeds_.empty() && prefix >= 1 && prefix < m && m <= 256 &&
              ShuffleGroup::supported();
    const std::size_t n_groups =
        (seeds_.size() + ShuffleGroup::kLanes - 1) / ShuffleGroup::kLanes;
    groups_.resize(n_groups);
    taken_.assign(n_groups, 0);
}

std::shared_ptr<ShuffleGroup> ForestShuffles::group_of(std::size_t i) {
    if (!active_) return nullptr;
    const std::size_t g = i / ShuffleGroup::kLanes;
    const std::size_t begin = g * ShuffleGroup::kLanes;
    const std::size_t size = std::min(seeds_.size() - begin, ShuffleGroup::kLanes);
    if (size < kMinTrees) return nullptr;
    std::lock_guard lock(mutex_);
    if (!groups_[g]) {
        groups_[g] = std::make_shared<ShuffleGroup>(
            std::span<const std::uint64_t>(seeds_.data() + begin, size), m_, prefix_);
    }
    std::shared_ptr<ShuffleGroup> group = groups_[g];
    if (++taken_[g] == size) groups_[g].reset();  // its trees hold it from here on
    return group;
}

}  // namespace canopy
