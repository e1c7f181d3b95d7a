#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
