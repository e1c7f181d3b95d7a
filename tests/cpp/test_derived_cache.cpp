#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/derived_cache.hpp"

namespace canopy {
namespace {

TEST(DerivedCache, ComputedOnceAcrossThreadsAndAgainAfterClearOrFailure) {
    DerivedCache<std::vector<int>> cache;
    std::atomic<int> made{0};
    const auto make = [&] {
        ++made;
        return std::vector<int>{1, 2, 3};
    };
    std::vector<std::shared_ptr<const std::vector<int>>> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&] { slot = cache.get_or_make(make); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(made.load(), 1);
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);

    // A copy shares the value; clearing the original leaves the copy's and a reader's intact.
    DerivedCache<std::vector<int>> copy = cache;
    cache.clear();
    EXPECT_EQ(copy.get(), seen[0]);
    EXPECT_EQ(cache.get(), nullptr);
    EXPECT_EQ(*seen[0], (std::vector<int>{1, 2, 3}));

    EXPECT_THROW(cache.get_or_make([]() -> std::vector<int> { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_EQ(cache.get(), nullptr);
    EXPECT_EQ(*cache.get_or_make(make), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(made.load(), 2);
}

}  // namespace
}  // namespace canopy
