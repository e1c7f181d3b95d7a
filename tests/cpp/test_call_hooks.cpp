#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "engine/call_hooks.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {
namespace {

using namespace std::chrono_literals;

TEST(CallHooks, WorkerCapLimitsEverySection) {
    ASSERT_GE(pool_size(), 2u) << "needs a pool of at least two workers";
    const auto caller = std::this_thread::get_id();
    CallScope scope(CallHooks{1, {}});
    EXPECT_EQ(section_width(), 1u);
    std::set<std::thread::id> ids;
    auto out = parallel_map<std::size_t>(200, [&](std::size_t i) {
        ids.insert(std::this_thread::get_id());  // one runner: no lock needed
        return 3 * i;
    });
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 3 * i);
    EXPECT_EQ(ids, std::set<std::thread::id>{caller});

    // A scope keeps to the cap as well: never two jobs at once.
    std::atomic<int> running{0}, most{0};
    Scope jobs;
    for (int j = 0; j < 20; ++j) {
        jobs.spawn([&] {
            const int now = running.fetch_add(1) + 1;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(1ms);
            running.fetch_sub(1);
        });
    }
    jobs.wait();
    EXPECT_EQ(most.load(), 1);
}

TEST(CallHooks, ACheckThatThrowsStopsTheSectionAfterItsRunningItems) {
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> checked_elsewhere{false};
    std::atomic<int> checks{0};
    CallScope scope(CallHooks{0, [&](std::uint64_t, std::uint64_t) {
                                  if (std::this_thread::get_id() != caller) checked_elsewhere = true;
                                  if (checks.fetch_add(1) >= 1) throw CallStopped{};
                              }});
    std::atomic<int> started{0}, ended{0};
    EXPECT_THROW(parallel_for(100000,
                              [&](std::size_t) {
                                  started.fetch_add(1);
                                  std::this_thread::sleep_for(1ms);
                                  ended.fetch_add(1);
                              }),
                 CallStopped);
    EXPECT_FALSE(checked_elsewhere.load());
    EXPECT_LT(started.load(), 100000);
    EXPECT_EQ(started.load(), ended.load());  // nothing still running on the caller's stack

    Scope jobs;
    std::atomic<int> ran{0};
    for (int j = 0; j < 100000; ++j) {
        jobs.spawn([&] {
            std::this_thread::sleep_for(1ms);
            ran.fetch_add(1);
        });
    }
    EXPECT_THROW(jobs.wait(), CallStopped);
    EXPECT_LT(ran.load(), 100000);
}

TEST(CallHooks, ProgressReportsTheOutermostCounter) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
    {
        CallScope scope(CallHooks{0, [&](std::uint64_t done, std::uint64_t total) {
                                      seen.emplace_back(done, total);
                                  }});
        Progress rounds(3);
        for (int r = 0; r < 3; ++r) {
            Progress trees(50);  // nested: not reported
            parallel_for(50, [&](std::size_t) { trees.advance(); });
            std::this_thread::sleep_for(kCheckInterval + 5ms);
            progress_step();
        }
        EXPECT_EQ(scope.done(), 3u);
        EXPECT_EQ(scope.total(), 3u);
    }
    ASSERT_FALSE(seen.empty());
    for (const auto& [done, total] : seen) {
        EXPECT_EQ(total, 3u);
        EXPECT_LE(done, 3u);
    }
    EXPECT_EQ(seen.back().first, 3u);
    // Without a scope nothing is counted and nothing is called.
    Progress lone(10);
    lone.advance();
    progress_step();
    checkpoint();
}

TEST(CallHooks, SectionsFromSeveralCallersEachGiveTheLoneResult) {
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            CallScope scope(CallHooks{static_cast<std::size_t>(c % 3), {}});
            for (int rep = 0; rep < 20; ++rep) {
                auto out = parallel_map<std::size_t>(
                    500, [&](std::size_t i) { return i * static_cast<std::size_t>(c + 1); });
                for (std::size_t i = 0; i < out.size(); ++i) {
                    if (out[i] != i * static_cast<std::size_t>(c + 1)) wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace canopy
