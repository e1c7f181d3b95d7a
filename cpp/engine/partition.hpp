// Stable two-way partitions of a node's entries, driven by a bit mask.
//
// Bit k of words[k / 64] says whether entry begin + k goes left. Every array of a node is
// partitioned with the same mask, so the entries keep their relative order on both sides.
// On processors with AVX-512 (byte compression included) whole blocks of 64 codes or 8
// doubles move at once; elsewhere a branch-free loop does the same moves one at a time.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace canopy {

// Words needed for the mask of n entries.
inline std::size_t mask_words(std::size_t n) { return (n + 63) / 64; }

// Sets the mask of entries [begin, end) to codes[p] <= bin and returns how many are set.
std::size_t mark_codes_at_most(const std::uint8_t* codes, std::size_t begin, std::size_t end,
                               unsigned bin, std::uint64_t* words);

// Two per-entry values that always move together.
struct SumPair {
    double a, b;
};

// The block-wise forms where the processor has them (else the one-at-a-time form).
void partition_stable_blocks(std::uint8_t* a, std::size_t begin, std::size_t end,
                             const std::uint64_t* words, std::uint8_t* scratch);
void partition_stable_blocks(double* a, std::size_t begin, std::size_t end,
                             const std::uint64_t* words, double* scratch);
void partition_stable_blocks(SumPair* a, std::size_t begin, std::size_t end,
                             const std::uint64_t* words, SumPair* scratch);

// The one-at-a-time forms (the second for any copyable type), which the block-wise forms
// must match exactly.
std::size_t mark_codes_at_most_scalar(const std::uint8_t* codes, std::size_t begin,
                                      std::size_t end, unsigned bin, std::uint64_t* words);
// The same over any indexable codes (a pointer, or a strided view of records).
template <class Codes>
std::size_t mark_at_most_scalar(const Codes& codes, std::size_t begin, std::size_t end,
                                unsigned bin, std::uint64_t* words) {
    std::size_t count = 0;
    for (std::size_t p = begin, k = 0; p < end; p += 64, ++k) {
        const std::size_t len = std::min<std::size_t>(64, end - p);
        std::uint64_t m = 0;
        // Counted as marked: a popcount is a runtime call where the baseline lacks it.
        for (std::size_t j = 0; j < len; ++j) {
            const bool left = codes[p + j] <= bin;
            m |= static_cast<std::uint64_t>(left) << j;
            count += left;
        }
        words[k] = m;
    }
    return count;
}
template <class T>
void partition_stable_scalar(T* a, std::size_t begin, std::size_t end,
                             const std::uint64_t* words, T* scratch) {
    std::size_t l = begin;
    std::size_t r = 0;
    for (std::size_t p = begin; p < end; ++p) {
        const std::size_t k = p - begin;
        const T v = a[p];
        const std::size_t goes_left = (words[k >> 6] >> (k & 63)) & 1;
        a[l] = v;  // l <= p: that slot has already been read
        scratch[r] = v;
        l += goes_left;
        r += 1 - goes_left;
    }
    for (std::size_t i = 0; i < r; ++i) a[l + i] = scratch[i];
}

// partition_stable_scalar for records of W words each (record p is a[p * W .. p * W + W)),
// and of each of the K arrays of per-entry values in `extra` with them, in one pass.
// `extra_scratch` has room for K * (end - begin) values.
template <std::size_t W, class T, std::size_t K>
void partition_stable_records_with(std::uint64_t* a, const std::array<T*, K>& extra,
                                   std::size_t begin, std::size_t end,
                                   const std::uint64_t* words, std::uint64_t* scratch,
                                   T* extra_scratch) {
    const std::size_t len = end - begin;
    std::size_t l = begin;
    std::size_t r = 0;
    for (std::size_t p = begin; p < end; ++p) {
        const std::size_t k = p - begin;
        std::uint64_t v[W];
        for (std::size_t i = 0; i < W; ++i) v[i] = a[p * W + i];
        std::array<T, K> e;
        for (std::size_t j = 0; j < K; ++j) e[j] = extra[j][p];
        const std::size_t goes_left = (words[k >> 6] >> (k & 63)) & 1;
        for (std::size_t i = 0; i < W; ++i) a[l * W + i] = v[i];  // l <= p: already read
        for (std::size_t i = 0; i < W; ++i) scratch[r * W + i] = v[i];
        for (std::size_t j = 0; j < K; ++j) {
            extra[j][l] = e[j];
            extra_scratch[j * len + r] = e[j];
        }
        l += goes_left;
        r += 1 - goes_left;
    }
    for (std::size_t i = 0; i < r * W; ++i) a[l * W + i] = scratch[i];
    for (std::size_t j = 0; j < K; ++j) {
        for (std::size_t i = 0; i < r; ++i) extra[j][l + i] = extra_scratch[j * len + i];
    }
}

// The records alone, one at a time.
template <std::size_t W>
void partition_stable_records_scalar(std::uint64_t* a, std::size_t begin, std::size_t end,
                                     const std::uint64_t* words, std::uint64_t* scratch) {
    partition_stable_records_with<W>(a, std::array<std::uint64_t*, 0>{}, begin, end, words,
                                     scratch, static_cast<std::uint64_t*>(nullptr));
}

// The records alone, each moved as one vector where the processor has AVX-512 and W is 4
// or 6 to 8 (then returns true); otherwise moves nothing and returns false.
bool partition_records_blocks(std::uint64_t* a, std::size_t W, std::size_t begin, std::size_t end,
                              const std::uint64_t* words, std::uint64_t* scratch);

// The records alone, in whichever form the processor has.
template <std::size_t W>
void partition_stable_records(std::uint64_t* a, std::size_t begin, std::size_t end,
                              const std::uint64_t* words, std::uint64_t* scratch) {
    if (!partition_records_blocks(a, W, begin, end, words, scratch)) {
        partition_stable_records_scalar<W>(a, begin, end, words, scratch);
    }
}

// Moves the entries of [begin, end) whose bit is set to the front, in order, then the others
// in order. `scratch` has room for end - begin values. Short ranges, the most common by far
// deep in a tree, are moved inline.
template <class T>
void partition_stable(T* a, std::size_t begin, std::size_t end, const std::uint64_t* words,
                      T* scratch) {
    if (end - begin <= 16) {
        partition_stable_scalar(a, begin, end, words, scratch);
    } else {
        partition_stable_blocks(a, begin, end, words, scratch);
    }
}

// Writes the positions of the set bits of words[0 .. n_words) (at most 4 words), in
// ascending order, to `out`, which has room for 64 * (n_words + 1) bytes; returns how many.
std::size_t set_bit_positions(const std::uint64_t* words, std::size_t n_words,
                              std::uint8_t* out);
std::size_t set_bit_positions_scalar(const std::uint64_t* words, std::size_t n_words,
                                     std::uint8_t* out);

}  // namespace canopy
