#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

#include "engine/rng.hpp"

namespace canopy {
namespace {

TEST(Pcg64, KnownOutputs) {
    std::array<std::uint8_t, 32> bytes{};
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
    EXPECT_EQ(Pcg64::from_seed(bytes).next_u64(), 8740028313290271629ULL);
    EXPECT_EQ(Pcg64::seed_from_u64(0).next_u64(), 2354861276966075475ULL);
}

TEST(Pcg64, ShuffleVectorAndShortLists) {
    Pcg64 g = Pcg64::seed_from_u64(42);
    std::vector<int> items{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    g.shuffle(std::span<int>(items));
    EXPECT_EQ(items, (std::vector<int>{2, 4, 0, 5, 9, 3, 8, 7, 1, 6}));

    // Lists of zero or one element draw nothing.
    Pcg64 a = Pcg64::seed_from_u64(7);
    Pcg64 b = Pcg64::seed_from_u64(7);
    std::vector<int> one{5};
    std::vector<int> none;
    a.shuffle(std::span<int>(one));
    a.shuffle(std::span<int>(none));
    EXPECT_EQ(a.next_u64(), b.next_u64());
    EXPECT_EQ(one, std::vector<int>{5});
}

TEST(Pcg64, ShuffleMakesTheFisherYatesDraws) {
    // The shuffle's own loop must make exactly the draws index_for_shuffle makes, rejections
    // included, and leave the generator where they do.
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        const std::size_t len = 2 + seed * 7;
        Pcg64 fast = Pcg64::seed_from_u64(seed);
        Pcg64 plain = Pcg64::seed_from_u64(seed);
        std::vector<std::size_t> shuffled(len), expected(len);
        std::iota(shuffled.begin(), shuffled.end(), std::size_t{0});
        std::iota(expected.begin(), expected.end(), std::size_t{0});
        fast.shuffle(std::span<std::size_t>(shuffled));
        for (std::size_t i = len; i > 1; --i) {
            std::swap(expected[i - 1], expected[plain.index_for_shuffle(i)]);
        }
        ASSERT_EQ(shuffled, expected) << "seed " << seed;
        ASSERT_EQ(fast.next_u64(), plain.next_u64()) << "seed " << seed;
    }
}

TEST(Pcg64, BulkIndicesMakeTheOneAtATimeDraws) {
    // Rejection rates from none (powers of two) to nearly one half (just above them), and
    // the extremes of n; each run must leave the generator where the single draws do.
    const std::uint64_t top = std::uint64_t{1} << 32;
    for (std::uint64_t n :
         {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{10},
          std::uint64_t{1025}, std::uint64_t{10000}, (top >> 1) + 1, top - 1, top}) {
        for (std::size_t count :
             {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
            Pcg64 bulk = Pcg64::seed_from_u64(n + count);
            Pcg64 skipped = Pcg64::seed_from_u64(n + count);
            Pcg64 plain = Pcg64::seed_from_u64(n + count);
            std::vector<std::uint32_t> got(count + 1, 12345);
            bulk.fill_indices(n, got.data(), count);
            skipped.skip_indices(n, count);
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_EQ(got[k], plain.index_u64(n)) << "n " << n << " draw " << k;
            }
            EXPECT_EQ(got[count], 12345u) << "wrote past the end";
            const std::uint64_t next = plain.next_u64();
            EXPECT_EQ(bulk.next_u64(), next) << "n " << n;
            EXPECT_EQ(skipped.next_u64(), next) << "n " << n;
        }
    }
}

TEST(Pcg64, SeededFromEntropyDiffers) {
    Pcg64 a = seed_rng(std::nullopt);
    Pcg64 b = seed_rng(std::nullopt);
    EXPECT_NE(a.next_u64(), b.next_u64());
    EXPECT_EQ(seed_rng(42).next_u64(), Pcg64::seed_from_u64(42).next_u64());
}

}  // namespace
}  // namespace canopy
