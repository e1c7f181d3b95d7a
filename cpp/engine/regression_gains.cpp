#include "engine/regression_gains.hpp"

#include <immintrin.h>

#include <cmath>
#include <limits>

namespace canopy {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The gain of every gathered boundary, one expression per boundary. The loop is compiled
// for AVX-512, AVX2 and the baseline, and the widest the processor has is picked once (a
// plain function pointer, not an ifunc, which would run before the sanitizers' runtimes are
// up): each operation is correctly rounded at any vector width, and contraction into fused
// multiply-adds is off, so every choice gives the same bits. Whole blocks of eight are
// computed (the arrays have room), so no scalar tail runs; values past `size` are never
// looked at.
[[gnu::always_inline]] inline void every_gain_body(RegBoundaries& c, double W, double S1,
                                                   double S2, double V) {
    static_assert(RegBoundaries::kCapacity % 8 == 0);
    const std::size_t blocks = (c.size + 7) / 8 * 8;
    for (std::size_t i = 0; i < blocks; ++i) {
        const double wl = c.wl[i];
        const double wr = W - wl;
        const double s1r = S1 - c.s1l[i];
        const double s2r = S2 - c.s2l[i];
        const double ml = c.s1l[i] / wl;
        const double mr = s1r / wr;
        const double vl = c.s2l[i] / wl - ml * ml;
        const double vr = s2r / wr - mr * mr;
        c.gain[i] = V - (wl * vl + wr * vr) / W;
    }
}

// Both sides' weights and sums at boundaries i .. i+7 of a node of weight W and sums S1, S2.
struct Sides {
    __m512d wl, s1l, s2l, wr, s1r, s2r;
};

[[gnu::target("avx512f")]] inline Sides sides_at(const RegBoundaries& c, std::size_t i,
                                                 __m512d W, __m512d S1, __m512d S2) {
    Sides b;
    b.wl = _mm512_loadu_pd(&c.wl[i]);
    b.s1l = _mm512_loadu_pd(&c.s1l[i]);
    b.s2l = _mm512_loadu_pd(&c.s2l[i]);
    b.wr = _mm512_sub_pd(W, b.wl);
    b.s1r = _mm512_sub_pd(S1, b.s1l);
    b.s2r = _mm512_sub_pd(S2, b.s2l);
    return b;
}

// The same expression for boundaries i .. i+7, operation by operation.
[[gnu::target("avx512f")]] inline __m512d exact_gains(const RegBoundaries& c, std::size_t i,
                                                      __m512d W, __m512d S1, __m512d S2,
                                                      __m512d V) {
    const auto [wl, s1l, s2l, wr, s1r, s2r] = sides_at(c, i, W, S1, S2);
    const __m512d ml = _mm512_div_pd(s1l, wl);
    const __m512d mr = _mm512_div_pd(s1r, wr);
    const __m512d vl = _mm512_sub_pd(_mm512_div_pd(s2l, wl), _mm512_mul_pd(ml, ml));
    const __m512d vr = _mm512_sub_pd(_mm512_div_pd(s2r, wr), _mm512_mul_pd(mr, mr));
    const __m512d spread = _mm512_add_pd(_mm512_mul_pd(wl, vl), _mm512_mul_pd(wr, vr));
    return _mm512_sub_pd(V, _mm512_div_pd(spread, W));
}

// 1/w to within 2^-27: the 14-bit estimate and a Newton step.
[[gnu::target("avx512f")]] inline __m512d reciprocal(__m512d w) {
    const __m512d r = _mm512_maskz_rcp14_pd(0xFF, w);
    return _mm512_mul_pd(r, _mm512_fnmadd_pd(w, r, _mm512_set1_pd(2.0)));
}

// Nodes with at most this many boundaries compute every gain: an estimate would not pay.
constexpr std::size_t kEstimated = 16;
// Nor do nodes larger than this, for which the bound below is not worked out.
constexpr double kMostEstimatedEntries = 0x1p20;

// For a node of unit weights: writes the exact gain of each boundary that may hold the
// largest, and -infinity for the others; false (having written nothing of use) for sums
// out of the range the bound below holds in.
//
// With u = 2^-53, write X = wl*vl + wr*vr for the computed sum the gain divides by W; the
// gain, V - X/W rounded, never rises as X grows. Every wl and wr is a count of at least
// one, so by Cauchy-Schwarz s1^2/w is at most s2 on either side up to the sums' rounding,
// and for a node of at most 2^20 entries every term below is within 4.2 S2. Then:
//  - The computed X is within 6.1u (|s2l| + |s2r| + s1l^2/wl + s1r^2/wr) of the real
//    s2l - s1l^2/wl + s2r - s1r^2/wr: each side's wl * (s2l/wl - ml*ml) is within 5.01u
//    (|s2l| + s1l^2/wl) of its real value, and their sum rounds once more.
//  - The estimate E = (s2l + s2r) - (s1l*s1l*rl + s1r*s1r*rr), with reciprocals within
//    2^-27, is within 2.1u (|s2l| + |s2r|) + 2^-26.9 (s1l^2/wl + s1r^2/wr) of the same.
//  - Two boundaries whose X differ by more than 2.1u W|V| + 4.1u |X| get different gains:
//    equal gains need the quotients X/W within an ulp of the gain of each other.
// So a boundary whose E exceeds the least E over the node by more than 2D, for
// D = 2^-24 (S2 + W|V|) + 2^-1000, cannot hold the largest gain: its X exceeds that
// boundary's X by more than the tie width. D is nearly eight times what these need; the
// floor covers operations that underflow. (In that range no estimate is NaN; one that
// were would send the node to the exact gains rather than hide the least.)
[[gnu::target("avx512f")]] bool estimated_gains(RegBoundaries& c, double W, double S1,
                                                double S2, double V) {
    const double spread = W * std::fabs(V);
    if (!(W <= kMostEstimatedEntries && S2 >= 0.0 && S2 < 0x1p900 && spread < 0x1p900 &&
          std::fabs(S1) < kInfinity)) {
        return false;
    }
    const double margin = 0x1p-24 * (S2 + spread) + 0x1p-1000;
    const __m512d w_all = _mm512_set1_pd(W);
    const __m512d s1_all = _mm512_set1_pd(S1);
    const __m512d s2_all = _mm512_set1_pd(S2);
    const std::size_t size = c.size;
    __m512d least = _mm512_set1_pd(kInfinity);
    __mmask8 not_numbers = 0;
    for (std::size_t i = 0; i < size; i += 8) {
        const __mmask8 live =
            size - i >= 8 ? 0xFF : static_cast<__mmask8>((1u << (size - i)) - 1);
        const auto [wl, s1l, s2l, wr, s1r, s2r] = sides_at(c, i, w_all, s1_all, s2_all);
        const __m512d p = _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(s1l, s1l), reciprocal(wl)),
                                        _mm512_mul_pd(_mm512_mul_pd(s1r, s1r), reciprocal(wr)));
        const __m512d estimate = _mm512_sub_pd(_mm512_add_pd(s2l, s2r), p);
        least = _mm512_mask_min_pd(least, live, least, estimate);
        not_numbers |= _mm512_mask_cmp_pd_mask(live, estimate, estimate, _CMP_UNORD_Q);
        _mm512_storeu_pd(&c.gain[i], estimate);  // until the exact pass below
    }
    if (not_numbers != 0) return false;
    alignas(64) std::array<double, 8> lanes;
    _mm512_store_pd(lanes.data(), least);
    double bound = lanes[0];
    for (double v : lanes) bound = v < bound ? v : bound;
    const __m512d bound_all = _mm512_set1_pd(bound + 2.0 * margin);
    const __m512d v_all = _mm512_set1_pd(V);
    const __m512d below = _mm512_set1_pd(-kInfinity);
    for (std::size_t i = 0; i < size; i += 8) {
        const __mmask8 live =
            size - i >= 8 ? 0xFF : static_cast<__mmask8>((1u << (size - i)) - 1);
        const __mmask8 maybe =
            live & _mm512_cmp_pd_mask(_mm512_loadu_pd(&c.gain[i]), bound_all, _CMP_LE_OQ);
        __m512d gains = below;
        if (maybe != 0) {
            gains = _mm512_mask_blend_pd(maybe, below,
                                         exact_gains(c, i, w_all, s1_all, s2_all, v_all));
        }
        _mm512_storeu_pd(&c.gain[i], gains);
    }
    return true;
}

using GainsFn = double (*)(RegBoundaries&, double, double, double, double, double);

[[gnu::target("avx512f")]] double every_gain_avx512(RegBoundaries& c, double W, double S1,
                                                    double S2, double V, double beat) {
    every_gain_body(c, W, S1, S2, V);
    return largest_gain(c.gain.data(), c.size, beat);
}

[[gnu::target("avx512f")]] double count_gains_avx512(RegBoundaries& c, double W,
                                                         double S1, double S2, double V,
                                                         double beat) {
    if (c.size <= kEstimated || !estimated_gains(c, W, S1, S2, V)) {
        every_gain_body(c, W, S1, S2, V);
    }
    return largest_gain(c.gain.data(), c.size, beat);
}

[[gnu::target("avx2")]] double every_gain_avx2(RegBoundaries& c, double W, double S1,
                                               double S2, double V, double beat) {
    every_gain_body(c, W, S1, S2, V);
    return largest_gain(c.gain.data(), c.size, beat);
}

double every_gain_baseline(RegBoundaries& c, double W, double S1, double S2, double V,
                           double beat) {
    every_gain_body(c, W, S1, S2, V);
    return largest_gain(c.gain.data(), c.size, beat);
}

struct GainsFns {
    GainsFn counts;  // unit weights
    GainsFn every;
};

GainsFns pick_gains() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return {count_gains_avx512, every_gain_avx512};
    if (__builtin_cpu_supports("avx2")) return {every_gain_avx2, every_gain_avx2};
    return {every_gain_baseline, every_gain_baseline};
}

const GainsFns gains_fns = pick_gains();

}  // namespace

double regression_gains(RegBoundaries& c, double W, double S1, double S2, double V,
                        double beat) {
    return gains_fns.every(c, W, S1, S2, V, beat);
}

double count_regression_gains(RegBoundaries& c, double W, double S1, double S2, double V,
                              double beat) {
    return gains_fns.counts(c, W, S1, S2, V, beat);
}

}  // namespace canopy
