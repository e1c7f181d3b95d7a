#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/partition.hpp"
#include "engine/rng.hpp"

namespace canopy {
namespace {

// The obvious stable partition of one array by per-entry flags.
template <class T>
std::vector<T> expected_partition(const std::vector<T>& a, std::size_t begin, std::size_t end,
                                  const std::vector<bool>& left) {
    std::vector<T> out(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(begin));
    for (int side = 1; side >= 0; --side) {
        for (std::size_t p = begin; p < end; ++p) {
            if (left[p - begin] == static_cast<bool>(side)) out.push_back(a[p]);
        }
    }
    out.insert(out.end(), a.begin() + static_cast<std::ptrdiff_t>(end), a.end());
    return out;
}

// n distinct values from `start` up.
std::vector<double> counting_from(std::size_t n, double start) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = start + static_cast<double>(i);
    return v;
}

// Records of W words, moved in whichever form the processor has, and one at a time.
template <std::size_t W>
void check_records(std::size_t begin, std::size_t end, std::size_t total,
                   const std::vector<std::uint64_t>& words, const std::vector<bool>& left) {
    std::vector<std::array<std::uint64_t, W>> records(total);
    std::vector<std::uint64_t> flat(W * total);
    for (std::size_t i = 0; i < W * total; ++i) flat[i] = records[i / W][i % W] = i * 977 + W;
    const auto want = expected_partition(records, begin, end, left);
    std::vector<std::uint64_t> scratch(W * (end - begin));
    std::vector<std::uint64_t> scalar = flat;
    partition_stable_records<W>(flat.data(), begin, end, words.data(), scratch.data());
    partition_stable_records_scalar<W>(scalar.data(), begin, end, words.data(), scratch.data());
    for (std::size_t i = 0; i < W * total; ++i) {
        ASSERT_EQ(flat[i], want[i / W][i % W]) << W << " words, word " << i;
        ASSERT_EQ(scalar[i], want[i / W][i % W]) << W << " words, word " << i;
    }
}

TEST(Partition, MarksAndMovesLikeTheObviousLoop) {
    // Ranges that start anywhere and end inside, at or past whole 64-entry blocks, with
    // masks from all-left to all-right; the values around the range must stay untouched.
    Pcg64 g = Pcg64::seed_from_u64(7);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t begin = g.index_u64(70);
        const std::size_t len = trial < 20 ? static_cast<std::size_t>(trial) : g.index_u64(300);
        const std::size_t end = begin + len;
        const std::size_t total = end + g.index_u64(70);
        std::vector<std::uint8_t> codes(total);
        std::vector<double> values(total);
        for (std::size_t i = 0; i < total; ++i) {
            codes[i] = static_cast<std::uint8_t>(g.index_u64(256));
            values[i] = static_cast<double>(i) + 0.5;
        }
        // The extremes too: nothing above bin 0 (often), everything at most 255, and beyond.
        unsigned bin = static_cast<unsigned>(g.index_u64(256));
        if (trial % 5 == 0) bin = 0;
        if (trial % 7 == 0) bin = trial % 2 == 0 ? 255 : 300;
        std::vector<std::uint64_t> words(mask_words(len) + 1, ~std::uint64_t{0});
        const std::size_t count = mark_codes_at_most(codes.data(), begin, end, bin, words.data());

        std::vector<bool> left(len);
        for (std::size_t k = 0; k < len; ++k) {
            left[k] = codes[begin + k] <= bin;
            ASSERT_EQ((words[k / 64] >> (k % 64)) & 1, left[k] ? 1u : 0u) << "entry " << k;
        }
        ASSERT_EQ(count, static_cast<std::size_t>(std::count(left.begin(), left.end(), true)));
        std::vector<std::uint64_t> scalar_words(words.size(), ~std::uint64_t{0});
        ASSERT_EQ(mark_codes_at_most_scalar(codes.data(), begin, end, bin, scalar_words.data()),
                  count);
        const auto used = static_cast<std::ptrdiff_t>(mask_words(len));
        ASSERT_TRUE(std::equal(words.begin(), words.begin() + used, scalar_words.begin()));

        const std::vector<std::uint8_t> want_codes = expected_partition(codes, begin, end, left);
        const std::vector<double> want_values = expected_partition(values, begin, end, left);
        std::vector<std::uint8_t> byte_scratch(len);
        std::vector<double> double_scratch(len);
        std::vector<std::uint8_t> scalar_codes = codes;
        std::vector<double> scalar_values = values;
        partition_stable_blocks(codes.data(), begin, end, words.data(), byte_scratch.data());
        partition_stable_blocks(values.data(), begin, end, words.data(), double_scratch.data());
        partition_stable_scalar(scalar_codes.data(), begin, end, words.data(), byte_scratch.data());
        partition_stable_scalar(scalar_values.data(), begin, end, words.data(),
                                double_scratch.data());
        ASSERT_EQ(codes, want_codes) << "trial " << trial;
        ASSERT_EQ(values, want_values) << "trial " << trial;
        ASSERT_EQ(scalar_codes, want_codes) << "trial " << trial;
        ASSERT_EQ(scalar_values, want_values) << "trial " << trial;

        // Pairs move whole, both halves with their entry.
        const auto pair_equal = [](const SumPair& x, const SumPair& y) {
            return x.a == y.a && x.b == y.b;
        };
        std::vector<SumPair> pairs(total);
        for (std::size_t i = 0; i < total; ++i) {
            pairs[i] = SumPair{static_cast<double>(i) + 0.25, -static_cast<double>(i)};
        }
        const std::vector<SumPair> pairs_before = pairs;
        const std::vector<SumPair> want_pairs = expected_partition(pairs, begin, end, left);
        std::vector<SumPair> pair_scratch(len);
        std::vector<SumPair> scalar_pairs = pairs;
        partition_stable_blocks(pairs.data(), begin, end, words.data(), pair_scratch.data());
        partition_stable_scalar(scalar_pairs.data(), begin, end, words.data(), pair_scratch.data());
        ASSERT_TRUE(std::equal(pairs.begin(), pairs.end(), want_pairs.begin(), pair_equal))
            << "trial " << trial;
        ASSERT_TRUE(
            std::equal(scalar_pairs.begin(), scalar_pairs.end(), want_pairs.begin(), pair_equal))
            << "trial " << trial;

        // Records of three words move whole, like one value each.
        std::vector<std::array<std::uint64_t, 3>> records(total);
        std::vector<std::uint64_t> flat(3 * total);
        for (std::size_t i = 0; i < 3 * total; ++i) flat[i] = records[i / 3][i % 3] = i;
        const std::vector<std::uint64_t> flat_before = flat;
        const auto want_records = expected_partition(records, begin, end, left);
        std::vector<std::uint64_t> record_scratch(3 * len);
        std::vector<std::uint64_t> fused = flat;
        partition_stable_records<3>(flat.data(), begin, end, words.data(), record_scratch.data());
        for (std::size_t i = 0; i < 3 * total; ++i) {
            ASSERT_EQ(flat[i], want_records[i / 3][i % 3]) << "trial " << trial << " word " << i;
        }
        // Records of every width move whole, including those moved as vectors.
        [&]<std::size_t... W>(std::index_sequence<W...>) {
            (check_records<W + 1>(begin, end, total, words, left), ...);
        }(std::make_index_sequence<9>{});
        // ... and so do records with two arrays of values beside them, in one pass.
        std::vector<double> first = counting_from(values.size(), 0.5);
        std::vector<double> second = counting_from(values.size(), -7.25);
        const auto want_first = expected_partition(first, begin, end, left);
        const auto want_second = expected_partition(second, begin, end, left);
        std::vector<double> values_scratch(2 * len);
        partition_stable_records_with<3>(fused.data(), std::array{first.data(), second.data()},
                                         begin, end, words.data(), record_scratch.data(),
                                         values_scratch.data());
        ASSERT_EQ(fused, flat) << "trial " << trial;
        ASSERT_EQ(first, want_first) << "trial " << trial;
        ASSERT_EQ(second, want_second) << "trial " << trial;
        // ... or one array of pairs.
        std::vector<std::uint64_t> with_pairs = flat_before;
        std::vector<SumPair> moved = pairs_before;
        partition_stable_records_with<3>(with_pairs.data(), std::array{moved.data()}, begin, end,
                                         words.data(), record_scratch.data(), pair_scratch.data());
        ASSERT_EQ(with_pairs, flat) << "trial " << trial;
        ASSERT_TRUE(std::equal(moved.begin(), moved.end(), want_pairs.begin(), pair_equal))
            << "trial " << trial;
    }
}

TEST(Partition, ListsSetBitsInOrder) {
    Pcg64 g = Pcg64::seed_from_u64(11);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n_words = 1 + g.index_u64(4);
        std::vector<std::uint64_t> words(n_words);
        for (auto& w : words) {
            // Sparse, dense, empty and full words.
            const std::uint64_t kind = g.index_u64(4);
            w = kind == 0 ? 0 : kind == 1 ? ~std::uint64_t{0} : g.next_u64() & g.next_u64();
        }
        std::vector<std::uint8_t> want;
        for (std::size_t b = 0; b < 64 * n_words; ++b) {
            if ((words[b / 64] >> (b % 64)) & 1) want.push_back(static_cast<std::uint8_t>(b));
        }
        std::vector<std::uint8_t> fast(64 * (n_words + 1)), scalar(64 * (n_words + 1));
        const std::size_t nf = set_bit_positions(words.data(), n_words, fast.data());
        const std::size_t ns = set_bit_positions_scalar(words.data(), n_words, scalar.data());
        ASSERT_EQ(nf, want.size());
        ASSERT_EQ(ns, want.size());
        EXPECT_TRUE(std::equal(want.begin(), want.end(), fast.begin())) << "trial " << trial;
        EXPECT_TRUE(std::equal(want.begin(), want.end(), scalar.begin())) << "trial " << trial;
    }
}

}  // namespace
}  // namespace canopy
