#include "engine/partition.hpp"

#include <algorithm>
#include <bit>
#include <immintrin.h>

namespace canopy {

namespace {

// The low `n` bits set, for n in 0 .. 64.
constexpr std::uint64_t low_bits(unsigned n) {
    return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

bool detect_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("popcnt");
}

const bool kAvx512 = detect_avx512();

// With popcnt too, which every processor with these has: without it the counts of mask
// bits below are calls into the compiler's runtime.
#define CANOPY_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt")))

// Blocks are loaded and stored under masks, so no lane outside [begin, end) is read or
// written. The left side is written in place: it ends at or before the block just loaded.
CANOPY_AVX512 std::size_t mark_avx512(const std::uint8_t* codes, std::size_t begin,
                                      std::size_t end, unsigned bin, std::uint64_t* words) {
    const __m512i limit = _mm512_set1_epi8(static_cast<char>(bin));
    std::size_t count = 0;
    for (std::size_t p = begin, k = 0; p < end; p += 64, ++k) {
        const __mmask64 live = low_bits(static_cast<unsigned>(std::min<std::size_t>(64, end - p)));
        const __m512i v = _mm512_maskz_loadu_epi8(live, codes + p);
        const __mmask64 m = _mm512_mask_cmple_epu8_mask(live, v, limit);
        words[k] = m;
        count += static_cast<std::size_t>(std::popcount(m));
    }
    return count;
}

CANOPY_AVX512 void partition_bytes_avx512(std::uint8_t* a, std::size_t begin, std::size_t end,
                                          const std::uint64_t* words, std::uint8_t* scratch) {
    std::size_t l = begin;
    std::size_t r = 0;
    for (std::size_t p = begin, k = 0; p < end; p += 64, ++k) {
        const __mmask64 live = low_bits(static_cast<unsigned>(std::min<std::size_t>(64, end - p)));
        const __m512i v = _mm512_maskz_loadu_epi8(live, a + p);
        const __mmask64 left = words[k] & live;
        const __mmask64 right = ~words[k] & live;
        const auto nl = static_cast<unsigned>(std::popcount(left));
        const auto nr = static_cast<unsigned>(std::popcount(right));
        _mm512_mask_storeu_epi8(a + l, low_bits(nl), _mm512_maskz_compress_epi8(left, v));
        _mm512_mask_storeu_epi8(scratch + r, low_bits(nr), _mm512_maskz_compress_epi8(right, v));
        l += nl;
        r += nr;
    }
    std::copy(scratch, scratch + r, a + l);
}

CANOPY_AVX512 void partition_doubles_avx512(double* a, std::size_t begin, std::size_t end,
                                            const std::uint64_t* words, double* scratch) {
    std::size_t l = begin;
    std::size_t r = 0;
    for (std::size_t p = begin, k = 0; p < end; p += 8, k += 8) {
        const auto live = static_cast<__mmask8>(
            low_bits(static_cast<unsigned>(std::min<std::size_t>(8, end - p))));
        const __m512d v = _mm512_maskz_loadu_pd(live, a + p);
        const auto bits = static_cast<__mmask8>(words[k >> 6] >> (k & 63));
        const auto left = static_cast<__mmask8>(bits & live);
        const auto right = static_cast<__mmask8>(~bits & live);
        const auto nl = static_cast<unsigned>(std::popcount(static_cast<unsigned>(left)));
        const auto nr = static_cast<unsigned>(std::popcount(static_cast<unsigned>(right)));
        _mm512_mask_storeu_pd(a + l, static_cast<__mmask8>(low_bits(nl)),
                              _mm512_maskz_compress_pd(left, v));
        _mm512_mask_storeu_pd(scratch + r, static_cast<__mmask8>(low_bits(nr)),
                              _mm512_maskz_compress_pd(right, v));
        l += nl;
        r += nr;
    }
    std::copy(scratch, scratch + r, a + l);
}

// Four pairs a block: each entry's bit stands for both of its lanes.
CANOPY_AVX512 void partition_pairs_avx512(SumPair* a, std::size_t begin, std::size_t end,
                                          const std::uint64_t* words, SumPair* scratch) {
    const auto lanes = [](unsigned m4) {
        unsigned m8 = 0;
        for (unsigned i = 0; i < 4; ++i) m8 |= ((m4 >> i) & 1u) * (3u << (2 * i));
        return static_cast<__mmask8>(m8);
    };
    std::size_t l = begin;
    std::size_t r = 0;
    for (std::size_t p = begin, k = 0; p < end; p += 4, k += 4) {
        const auto live = static_cast<unsigned>(
            low_bits(static_cast<unsigned>(std::min<std::size_t>(4, end - p))));
        const __m512d v =
            _mm512_maskz_loadu_pd(lanes(live), reinterpret_cast<const double*>(a + p));
        const auto bits = static_cast<unsigned>(words[k >> 6] >> (k & 63)) & 15u;
        const unsigned left = bits & live;
        const unsigned right = ~bits & live;
        const auto nl = static_cast<unsigned>(std::popcount(left));
        const auto nr = static_cast<unsigned>(std::popcount(right));
        _mm512_mask_storeu_pd(reinterpret_cast<double*>(a + l), lanes(low_bits(nl)),
                              _mm512_maskz_compress_pd(lanes(left), v));
        _mm512_mask_storeu_pd(reinterpret_cast<double*>(scratch + r), lanes(low_bits(nr)),
                              _mm512_maskz_compress_pd(lanes(right), v));
        l += nl;
        r += nr;
    }
    std::copy(scratch, scratch + r, a + l);
}

// One record a step, moved as one vector: one load and two stores instead of a move per
// word. `move(from, to, aside)` copies one record of W words to both places.
template <class Move>
CANOPY_AVX512 inline void partition_records_by(Move move, std::uint64_t* a, std::size_t W,
                                               std::size_t begin, std::size_t end,
                                               const std::uint64_t* words, std::uint64_t* scratch) {
    std::size_t l = begin;
    std::size_t r = 0;
    for (std::size_t p = begin; p < end; ++p) {
        const std::size_t k = p - begin;
        const std::size_t goes_left = (words[k >> 6] >> (k & 63)) & 1;
        move(a + p * W, a + l * W, scratch + r * W);  // l <= p: already read
        l += goes_left;
        r += 1 - goes_left;
    }
    std::copy(scratch, scratch + r * W, a + l * W);
}

// Records of four words fill a 256-bit vector; those of six to eight a 512-bit one, under a
// mask below eight. (Other sizes measured no faster than moving word by word.)
CANOPY_AVX512 void partition_records_avx512(std::uint64_t* a, std::size_t W, std::size_t begin,
                                            std::size_t end, const std::uint64_t* words,
                                            std::uint64_t* scratch) {
    if (W == 4) {
        const auto move = [](const std::uint64_t* from, std::uint64_t* to,
                             std::uint64_t* aside) CANOPY_AVX512 {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), v);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(aside), v);
        };
        partition_records_by(move, a, 4, begin, end, words, scratch);
        return;
    }
    const auto lanes = static_cast<__mmask8>(low_bits(static_cast<unsigned>(W)));
    const auto move = [lanes](const std::uint64_t* from, std::uint64_t* to, std::uint64_t* aside)
                          CANOPY_AVX512 {
                              const __m512i v = _mm512_maskz_loadu_epi64(lanes, from);
                              _mm512_mask_storeu_epi64(to, lanes, v);
                              _mm512_mask_storeu_epi64(aside, lanes, v);
                          };
    partition_records_by(move, a, W, begin, end, words, scratch);
}

CANOPY_AVX512 std::size_t set_bits_avx512(const std::uint64_t* words, std::size_t n_words,
                                         std::uint8_t* out) {
    const __m512i step = _mm512_set1_epi8(64);
    __m512i positions = _mm512_set_epi8(
        63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42,
        41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20,
        19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    std::size_t count = 0;
    for (std::size_t w = 0; w < n_words; ++w) {
        _mm512_storeu_si512(out + count, _mm512_maskz_compress_epi8(words[w], positions));
        count += static_cast<std::size_t>(std::popcount(words[w]));
        positions = _mm512_add_epi8(positions, step);
    }
    return count;
}

#undef CANOPY_AVX512

}  // namespace

std::size_t mark_codes_at_most(const std::uint8_t* codes, std::size_t begin, std::size_t end,
                               unsigned bin, std::uint64_t* words) {
    if (kAvx512) return mark_avx512(codes, begin, end, std::min(bin, 255u), words);
    return mark_codes_at_most_scalar(codes, begin, end, bin, words);
}

std::size_t mark_codes_at_most_scalar(const std::uint8_t* codes, std::size_t begin,
                                      std::size_t end, unsigned bin, std::uint64_t* words) {
    return mark_at_most_scalar(codes, begin, end, bin, words);
}

namespace {

// The AVX-512 form where the processor has it, else the one-at-a-time form.
template <class T>
void blocks_or_scalar(void (*blocks)(T*, std::size_t, std::size_t, const std::uint64_t*, T*), T* a,
                      std::size_t begin, std::size_t end, const std::uint64_t* words, T* scratch) {
    if (kAvx512) {
        blocks(a, begin, end, words, scratch);
    } else {
        partition_stable_scalar(a, begin, end, words, scratch);
    }
}

}  // namespace

void partition_stable_blocks(std::uint8_t* a, std::size_t begin, std::size_t end,
                             const std::uint64_t* words, std::uint8_t* scratch) {
    blocks_or_scalar(partition_bytes_avx512, a, begin, end, words, scratch);
}

void partition_stable_blocks(double* a, std::size_t begin, std::size_t end,
                             const std::uint64_t* words, double* scratch) {
    blocks_or_scalar(partition_doubles_avx512, a, begin, end, words, scratch);
}

void partition_stable_blocks(SumPair* a, std::size_t begin, std::size_t end,
                             const std::uint64_t* words, SumPair* scratch) {
    blocks_or_scalar(partition_pairs_avx512, a, begin, end, words, scratch);
}

bool partition_records_blocks(std::uint64_t* a, std::size_t W, std::size_t begin, std::size_t end,
                              const std::uint64_t* words, std::uint64_t* scratch) {
    if (!kAvx512 || !(W == 4 || (W >= 6 && W <= 8))) return false;
    partition_records_avx512(a, W, begin, end, words, scratch);
    return true;
}

std::size_t set_bit_positions(const std::uint64_t* words, std::size_t n_words,
                              std::uint8_t* out) {
    if (kAvx512) return set_bits_avx512(words, n_words, out);
    return set_bit_positions_scalar(words, n_words, out);
}

std::size_t set_bit_positions_scalar(const std::uint64_t* words, std::size_t n_words,
                                     std::uint8_t* out) {
    std::size_t count = 0;
    for (std::size_t w = 0; w < n_words; ++w) {
        for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
            out[count++] = static_cast<std::uint8_t>(w * 64 + std::countr_zero(bits));
        }
    }
    return count;
}

}  // namespace canopy
