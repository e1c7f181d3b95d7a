#include "engine/shuffle_lanes.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
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

// Draws for every lane, as Pcg64::shuffle makes them, until each has taken `target`: the
// generator steps (state * multiplier + increment, modulo 2^128), the XSL RR output's low
// 32 bits times the list length, and the draw is taken when the product's low half is
// within the zone. A lane's t-th taken draw (the product's high half, its j) goes to
// drawn[t * 8 + lane], and the length drops by one; after the last draw of a list (length
// 2) the next list starts at m. A lane that has taken `target` stops where it is. With
// kTable (m below 32) each length's zone is looked up rather than computed.
template <bool kTable>
[[gnu::target("avx512f,avx512dq,avx512cd")]] void draw_lanes(LaneState s, std::uint64_t m,
                                                             std::uint64_t target,
                                                             std::uint32_t* drawn) {
    constexpr u128 kMul = Pcg64::multiplier();
    const __m512i mul_lo =
        _mm512_set1_epi64(static_cast<long long>(static_cast<std::uint64_t>(kMul)));
    const __m512i mul_hi =
        _mm512_set1_epi64(static_cast<long long>(static_cast<std::uint64_t>(kMul >> 64)));
    const __m512i mul_lo_top = srl(mul_lo, 32);
    const __m512i low32 = _mm512_set1_epi64(0xFFFFFFFFLL);
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i two = _mm512_set1_epi64(2);
    const __m512i eight = _mm512_set1_epi64(8);
    const __m512i thirty_two = _mm512_set1_epi64(32);
    const __m512i first_len = _mm512_set1_epi64(static_cast<long long>(m));
    const __m512i lane_ids = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i end_slot = _mm512_set1_epi64(static_cast<long long>(8 * target));
    __m512i hi = _mm512_loadu_si512(s.hi);
    __m512i lo = _mm512_loadu_si512(s.lo);
    __m512i len = _mm512_loadu_si512(s.len);
    const __m512i inc_hi = _mm512_loadu_si512(s.inc_hi);
    const __m512i inc_lo = _mm512_loadu_si512(s.inc_lo);
    // The zones of lengths 0 to 31 as 32-bit words, 0 at length 0: indexed by a 64-bit
    // length, whose upper word (0) picks that 0, the pair is the zone as a 64-bit lane.
    alignas(64) std::array<std::uint32_t, 32> zones{};
    for (std::uint32_t n = 1; n < 32; ++n) zones[n] = (n << std::countl_zero(n)) - 1;
    const __m512i zones_low = _mm512_load_si512(zones.data());
    const __m512i zones_high = _mm512_load_si512(zones.data() + 16);
    __m512i slot = lane_ids;  // where a lane's next taken draw goes: 8 * taken + lane
    // One step of the lanes in `active` (a constant 0xFF where every lane steps).
    const auto step = [&](__mmask8 active) __attribute__((
                          always_inline, target("avx512f,avx512dq,avx512cd"))) {
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
        hi = _mm512_mask_mov_epi64(hi, active, next_hi);
        lo = _mm512_mask_mov_epi64(lo, active, next_lo);
        // The output, and the draw for the lane's list length.
        const __m512i out = _mm512_maskz_rorv_epi64(0xFF, _mm512_xor_si512(hi, lo), srl(hi, 58));
        const __m512i product = mul32(out, len);
        __m512i zone;
        if constexpr (kTable) {
            zone = _mm512_permutex2var_epi32(zones_low, len, zones_high);
        } else {
            const __m512i shift = _mm512_sub_epi64(_mm512_lzcnt_epi64(len), thirty_two);
            const __m512i top = _mm512_maskz_sllv_epi64(0xFF, len, shift);  // len << clz32
            zone = _mm512_and_si512(_mm512_sub_epi64(top, one), low32);
        }
        const __mmask8 take =
            active & _mm512_cmple_epu64_mask(_mm512_and_si512(product, low32), zone);
        _mm512_mask_i64scatter_epi32(drawn, take, slot,
                                     _mm512_maskz_cvtepi64_epi32(0xFF, srl(product, 32)), 4);
        slot = _mm512_mask_add_epi64(slot, take, slot, eight);
        const __mmask8 restart = take & _mm512_cmpeq_epu64_mask(len, two);
        len = _mm512_mask_sub_epi64(len, take, len, one);
        len = _mm512_mask_mov_epi64(len, restart, first_len);
    };
    for (;;) {
        // A lane takes at most one draw a step, so none reaches the target within as many
        // steps as the lane nearest to it still needs: those run without checks.
        alignas(64) std::array<std::uint64_t, 8> slots;
        _mm512_store_si512(slots.data(), slot);
        const std::uint64_t most = *std::max_element(slots.begin(), slots.end()) / 8;
        const std::uint64_t free_steps = target - most;
        if (free_steps < 8) break;
        for (std::uint64_t k = 0; k < free_steps; ++k) step(0xFF);
    }
    for (__mmask8 active = _mm512_cmplt_epu64_mask(slot, end_slot); active != 0;
         active = _mm512_cmplt_epu64_mask(slot, end_slot)) {
        step(active);
    }
    _mm512_storeu_si512(s.hi, hi);
    _mm512_storeu_si512(s.lo, lo);
    _mm512_storeu_si512(s.len, len);
}

// The kept prefixes of `shuffles` whole shuffles of every lane, from their draws (a lane's
// swaps, in the order made, exchange positions m-1, m-2, ..., 1 with its draws' j). Each
// kept position is followed back through the swaps, last to first: where a swap exchanged
// it, it came from the other position. Where it started is the feature it holds. A vector
// follows two positions of all eight lanes, V vectors 2V positions.
template <std::size_t V>
[[gnu::target("avx512f")]] void trace_prefixes(const std::uint32_t* drawn, std::size_t m,
                                               std::size_t prefix, std::size_t shuffles,
                                               std::uint8_t* out) {
    const std::size_t swaps = m - 1;
    __m512i start[V];
    for (std::size_t v = 0; v < V; ++v) {
        alignas(64) std::array<std::int32_t, 16> positions;
        for (std::size_t e = 0; e < 16; ++e) {
            positions[e] = static_cast<std::int32_t>(2 * v + e / 8);
        }
        start[v] = _mm512_load_si512(positions.data());
    }
    for (std::size_t s = 0; s < shuffles; ++s) {
        const std::uint32_t* js = drawn + s * swaps * 8;
        __m512i at[V];
        for (std::size_t v = 0; v < V; ++v) at[v] = start[v];
        for (std::size_t t = swaps; t-- > 0;) {
            // Swap t exchanged position m-1-t with the lane's j.
            const __m512i i = _mm512_set1_epi32(static_cast<int>(m - 1 - t));
            const __m512i j = _mm512_maskz_broadcast_i64x4(
                0xFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(js + t * 8)));
            for (std::size_t v = 0; v < V; ++v) {
                const __mmask16 was_i = _mm512_cmpeq_epi32_mask(at[v], i);
                const __mmask16 was_j = _mm512_cmpeq_epi32_mask(at[v], j);
                // Both hold only where i is j: the swap left the position as it was.
                at[v] = _mm512_mask_mov_epi32(at[v], was_i, j);
                at[v] = _mm512_mask_mov_epi32(at[v], was_j, i);
            }
        }
        std::uint8_t* to = out + s * prefix * 8;
        for (std::size_t v = 0; v < V; ++v) {
            // Two positions' bytes; an odd prefix keeps the first half of the last vector.
            const __mmask16 keep = 2 * v + 1 < prefix ? 0xFFFF : 0x00FF;
            _mm512_mask_cvtepi32_storeu_epi8(to + 16 * v, keep, at[v]);
        }
    }
}

using TraceFn = void (*)(const std::uint32_t*, std::size_t, std::size_t, std::size_t,
                         std::uint8_t*);

TraceFn trace_for(std::size_t prefix) {
    switch ((prefix + 1) / 2) {
        case 1:
            return trace_prefixes<1>;
        case 2:
            return trace_prefixes<2>;
        case 3:
            return trace_prefixes<3>;
        case 4:
            return trace_prefixes<4>;
        case 5:
            return trace_prefixes<5>;
        case 6:
            return trace_prefixes<6>;
        case 7:
            return trace_prefixes<7>;
        default:
            return trace_prefixes<8>;
    }
}

// The same prefixes for longer ones, each lane's swaps made in turn on its list.
void replay_prefixes(const std::uint32_t* drawn, std::size_t m, std::size_t prefix,
                     std::size_t shuffles, std::uint8_t* out) {
    std::array<std::uint8_t, 256> items;
    for (std::size_t lane = 0; lane < ShuffleGroup::kLanes; ++lane) {
        const std::uint32_t* js = drawn + lane;
        for (std::size_t s = 0; s < shuffles; ++s) {
            std::iota(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(m),
                      std::uint8_t{0});
            for (std::size_t i = m - 1; i >= 1; --i, js += 8) std::swap(items[i], items[*js]);
            for (std::size_t q = 0; q < prefix; ++q) {
                out[(s * prefix + q) * 8 + lane] = items[q];
            }
        }
    }
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
    : m_(m), prefix_(prefix), per_chunk_(std::max<std::size_t>(1, kDraws / (m - 1))) {
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
    }
}

std::span<const std::uint8_t> ShuffleGroup::chunk(std::size_t c) {
    const Chunk* made = nullptr;
    bool short_ahead = false;
    {
        std::lock_guard list(list_mutex_);
        if (c < chunks_.size()) {
            made = &chunks_[c];
            short_ahead = c + kAhead >= chunks_.size();
        }
    }
    if (made == nullptr) {
        std::lock_guard make(make_mutex_);
        make_through(c);
        std::lock_guard list(list_mutex_);
        made = &chunks_[c];
    } else if (short_ahead) {
        // The chunks ahead, unless another tree is making some already.
        std::unique_lock make(make_mutex_, std::try_to_lock);
        if (make.owns_lock()) make_through(c + kAhead);
    }
    return {made->data(), made->size()};
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
    const std::size_t draws = per_chunk_ * (m_ - 1);
    drawn_.resize(kLanes * draws);
    const LaneState lanes{hi_.data(), lo_.data(), inc_hi_.data(), inc_lo_.data(), len_.data()};
    if (m_ < 32) {
        draw_lanes<true>(lanes, m_, draws, drawn_.data());
    } else {
        draw_lanes<false>(lanes, m_, draws, drawn_.data());
    }
    Chunk made(per_chunk_ * prefix_ * kLanes);
    if (prefix_ <= kTracedPrefix) {
        trace_for(prefix_)(drawn_.data(), m_, prefix_, per_chunk_, made.data());
    } else {
        replay_prefixes(drawn_.data(), m_, prefix_, per_chunk_, made.data());
    }
    return made;
}

void NodeShuffles::shuffle_prefix(std::span<std::size_t> items, std::size_t prefix) {
    if (rng_ != nullptr) {
        std::iota(items.begin(), items.end(), std::size_t{0});
        rng_->shuffle(items);
        return;
    }
    if (prefix != group_->prefix()) fail_internal("shuffle prefix differs from its group's");
    if (taken_ == per_chunk_) {
        chunk_ = group_->chunk(next_chunk_++);
        taken_ = 0;
    }
    const std::uint8_t* at = chunk_.data() + taken_ * prefix * ShuffleGroup::kLanes + lane_;
    for (std::size_t k = 0; k < prefix; ++k) items[k] = at[k * ShuffleGroup::kLanes];
    ++taken_;
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
