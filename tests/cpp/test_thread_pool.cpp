#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {
namespace {

TEST(ThreadPool, MapKeepsItemOrderAndRunsEachItemOnce) {
    std::vector<std::atomic<int>> runs(1000);
    auto out = parallel_map<std::size_t>(runs.size(), [&](std::size_t i) {
        runs[i].fetch_add(1);
        return i * i;
    });
    ASSERT_EQ(out.size(), runs.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i], i * i);
        EXPECT_EQ(runs[i].load(), 1);
    }
    EXPECT_TRUE(parallel_map<int>(0, [](std::size_t) { return 1; }).empty());
}

TEST(ThreadPool, SizeIsFixedOnceCreated) {
    const std::size_t size = pool_size();
    EXPECT_GE(size, 1u);
    EXPECT_LE(size, kMaxWorkers);
    set_thread_pool(size + 3);  // ignored: the pool exists
    set_thread_pool(0);
    set_thread_pool(std::nullopt);
    EXPECT_EQ(pool_size(), size);
}

TEST(ThreadPool, WorkRunsOnWorkersNotTheCaller) {
    const auto caller = std::this_thread::get_id();
    std::mutex m;
    std::set<std::thread::id> ids;
    parallel_for(64, [&](std::size_t) {
        std::lock_guard lock(m);
        ids.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(ids.count(caller), 0u);
    EXPECT_LE(ids.size(), pool_size());
}

TEST(ThreadPool, FailuresReachTheCallerAfterEveryItemEnded) {
    std::atomic<int> finished{0};
    try {
        parallel_for(100, [&](std::size_t i) {
            if (i == 37) fail_internal("item 37 failed");
            finished.fetch_add(1);
        });
        FAIL() << "expected an exception";
    } catch (const InternalError& e) {
        EXPECT_EQ(std::string(e.what()), "item 37 failed");
    }
    EXPECT_EQ(finished.load(), 99);
    // User errors keep their type; other exceptions become internal errors.
    EXPECT_THROW(parallel_for(3, [](std::size_t) { fail_user("bad input"); }), UserError);
    EXPECT_THROW(parallel_for(3, [](std::size_t) { throw std::out_of_range("index"); }),
                 InternalError);
    // The pool still works afterwards.
    auto out = parallel_map<int>(10, [](std::size_t i) { return static_cast<int>(i); });
    EXPECT_EQ(std::accumulate(out.begin(), out.end(), 0), 45);
}

TEST(ThreadPool, NestedSectionsRunInlineWithoutDeadlock) {
    auto out = parallel_map<std::size_t>(8, [](std::size_t i) {
        auto inner = parallel_map<std::size_t>(50, [i](std::size_t j) { return i + j; });
        return std::accumulate(inner.begin(), inner.end(), std::size_t{0});
    });
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], 50 * i + 1225);
}

TEST(ThreadPool, ScopeWaitsForEveryJobAndReportsFailure) {
    std::mutex m;
    std::vector<int> done;
    {
        Scope scope;
        for (int j = 0; j < 40; ++j) {
            scope.spawn([&, j] {
                std::lock_guard lock(m);
                done.push_back(j);
            });
        }
        scope.wait();
        EXPECT_EQ(done.size(), 40u);
    }
    Scope failing;
    std::atomic<int> ran{0};
    for (int j = 0; j < 10; ++j) {
        failing.spawn([&, j] {
            ran.fetch_add(1);
            if (j == 3) fail_internal("job 3 failed");
        });
    }
    EXPECT_THROW(failing.wait(), InternalError);
    EXPECT_EQ(ran.load(), 10);
}

// A caller's interrupt check that says stop once `stop` is set.
bool stop_requested(void* stop) { return static_cast<std::atomic<bool>*>(stop)->load(); }

TEST(ThreadPool, SectionsFromSeveralCallersRunSideBySide) {
    const auto lone = [](std::size_t seed) {
        return parallel_map<std::size_t>(300, [seed](std::size_t i) {
            auto inner = parallel_map<std::size_t>(20, [&](std::size_t j) { return seed * i + j; });
            return std::accumulate(inner.begin(), inner.end(), std::size_t{0});
        });
    };
    const auto scoped = [](std::size_t seed) {
        std::atomic<std::size_t> sum{0};
        Scope scope;
        for (std::size_t j = 0; j < 50; ++j) scope.spawn([&, j] { sum.fetch_add(seed + j); });
        scope.wait();
        return sum.load();
    };
    constexpr std::size_t kCallers = 4;
    std::vector<std::vector<std::size_t>> maps(kCallers);
    std::vector<std::size_t> sums(kCallers);
    std::vector<std::thread> callers;
    for (std::size_t c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 20; ++round) {
                maps[c] = lone(c + 1);
                sums[c] = scoped(c + 1);
            }
        });
    }
    for (auto& t : callers) t.join();
    for (std::size_t c = 0; c < kCallers; ++c) {
        EXPECT_EQ(maps[c], lone(c + 1));
        EXPECT_EQ(sums[c], 50 * (c + 1) + 1225);
    }
}

TEST(ThreadPool, PollRunsTheCheckAtMostOncePerIntervalAndThenKeepsStopping) {
    int calls = 0;
    auto count = [](void* n) {
        ++*static_cast<int*>(n);
        return false;
    };
    {
        const CallScope scope(CallHooks{count, &calls});
        EXPECT_TRUE(interrupt_check_installed());
        for (int i = 0; i < 1000; ++i) poll_interrupt();
        EXPECT_LT(calls, 10);  // a clock read, not a check, per poll
        std::this_thread::sleep_for(kInterruptPollInterval * 2);
        poll_interrupt();
        EXPECT_GE(calls, 1);
    }
    EXPECT_FALSE(interrupt_check_installed());
    poll_interrupt();  // no check: nothing happens

    std::atomic<bool> stop{true};
    int seen = 0;
    {
        const CallScope outer(CallHooks{stop_requested, &stop});
        std::this_thread::sleep_for(kInterruptPollInterval * 2);
        {
            // A nested call on the same thread has its own check and state.
            const CallScope inner(CallHooks{count, &seen});
            std::this_thread::sleep_for(kInterruptPollInterval * 2);
            EXPECT_NO_THROW(poll_interrupt());
        }
        EXPECT_THROW(poll_interrupt(), Interrupted);
        stop = false;  // no longer asked, but the call has already been told to stop
        EXPECT_THROW(poll_interrupt(), Interrupted);
    }
    EXPECT_EQ(seen, 1);
}

TEST(ThreadPool, InterruptCancelsTheSectionAndTheCallerGetsIt) {
    // Items spin until they are told to stop, so this ends only through cancellation.
    std::atomic<bool> stop{false};
    std::atomic<int> started{0};
    const std::size_t n_items = 10 * pool_size() + 10;
    {
        const CallScope scope(CallHooks{stop_requested, &stop});
        EXPECT_THROW(parallel_for(n_items,
                                  [&](std::size_t i) {
                                      started.fetch_add(1);
                                      if (i == 3) fail_internal("a failure before the interrupt");
                                      stop = true;
                                      for (;;) poll_interrupt();
                                  }),
                     Interrupted);
        EXPECT_LE(static_cast<std::size_t>(started.load()), pool_size() + 1);
        // A scope of spinning jobs stops the same way.
        std::atomic<int> jobs{0};
        Scope jobs_scope;
        for (int j = 0; j < 100; ++j) {
            jobs_scope.spawn([&] {
                jobs.fetch_add(1);
                for (;;) poll_interrupt();
            });
        }
        EXPECT_THROW(jobs_scope.wait(), Interrupted);
        EXPECT_LT(jobs.load(), 100);
    }
    // Without the check the pool serves the next caller as before.
    auto out = parallel_map<int>(10, [](std::size_t i) { return static_cast<int>(i); });
    EXPECT_EQ(std::accumulate(out.begin(), out.end(), 0), 45);
}

TEST(ThreadPool, OneCallerInterruptedWhileAnotherFinishes) {
    std::atomic<bool> stop{false};
    std::atomic<bool> spinning{false};
    std::thread interrupted([&] {
        const CallScope scope(CallHooks{stop_requested, &stop});
        EXPECT_THROW(parallel_for(4,
                                  [&](std::size_t) {
                                      spinning = true;
                                      for (;;) poll_interrupt();
                                  }),
                     Interrupted);
    });
    while (!spinning) std::this_thread::yield();
    // The other caller's items queue behind the spinning ones; they run once those stop.
    std::thread other([&] {
        auto out = parallel_map<std::size_t>(100, [](std::size_t i) { return i; });
        EXPECT_EQ(std::accumulate(out.begin(), out.end(), std::size_t{0}), 4950u);
    });
    stop = true;
    interrupted.join();
    other.join();
}

TEST(ThreadPool, EnvironmentSizing) {
    auto with_env = [](const char* num, const char* cpus) {
        if (num) setenv("RAYON_NUM_THREADS", num, 1); else unsetenv("RAYON_NUM_THREADS");
        if (cpus) setenv("RAYON_RS_NUM_CPUS", cpus, 1); else unsetenv("RAYON_RS_NUM_CPUS");
        const std::size_t n = pool_size_from_environment();
        unsetenv("RAYON_NUM_THREADS");
        unsetenv("RAYON_RS_NUM_CPUS");
        return n;
    };
    const std::size_t cpus = with_env(nullptr, nullptr);
    EXPECT_GE(cpus, 1u);
    EXPECT_EQ(with_env("3", "7"), 3u);
    EXPECT_EQ(with_env("0", "7"), cpus);        // 0 means the processor count
    EXPECT_EQ(with_env("abc", "7"), 7u);        // unparsable falls through
    EXPECT_EQ(with_env(" 3", nullptr), cpus);   // no surrounding spaces
    EXPECT_EQ(with_env(nullptr, "0"), cpus);
    EXPECT_EQ(with_env("100000", nullptr), kMaxWorkers);
}

}  // namespace
}  // namespace canopy
