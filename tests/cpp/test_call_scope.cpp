// The per-call worker cap and progress count (the interrupt check has its tests beside the
// pool's).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {
namespace {

using namespace std::chrono_literals;

TEST(CallScope, WorkerCapLimitsSectionsAndScopes) {
    ASSERT_GE(pool_size(), 2u) << "needs a pool of at least two workers";
    const auto caller = std::this_thread::get_id();
    const CallScope scope(CallHooks{nullptr, nullptr, 1});
    EXPECT_EQ(section_width(), 1u);
    std::set<std::thread::id> ids;
    auto out = parallel_map<std::size_t>(200, [&](std::size_t i) {
        ids.insert(std::this_thread::get_id());  // one runner: no lock needed
        return 3 * i;
    });
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 3 * i);
    EXPECT_EQ(ids, std::set<std::thread::id>{caller});

    std::atomic<int> running{0}, most{0}, ran{0};
    Scope jobs;
    for (int j = 0; j < 20; ++j) {
        jobs.spawn([&] {
            const int now = running.fetch_add(1) + 1;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(1ms);
            running.fetch_sub(1);
            ran.fetch_add(1);
        });
    }
    jobs.wait();
    EXPECT_EQ(ran.load(), 20);
    EXPECT_EQ(most.load(), 1);
}

TEST(CallScope, CappedCallersAtOnceEachGetTheLoneResult) {
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (std::size_t c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            const CallScope scope(CallHooks{nullptr, nullptr, c % 3});
            for (int rep = 0; rep < 20; ++rep) {
                auto out =
                    parallel_map<std::size_t>(500, [&](std::size_t i) { return i * (c + 1); });
                for (std::size_t i = 0; i < out.size(); ++i) {
                    if (out[i] != i * (c + 1)) wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

struct Seen {
    const CallScope* scope = nullptr;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
};

bool record(void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->reports.emplace_back(seen->scope->done(), seen->scope->total());
    return false;
}

TEST(CallScope, TheCheckSeesTheOutermostCounter) {
    Seen seen;
    {
        const CallScope scope(CallHooks{record, &seen});
        seen.scope = &scope;
        Progress rounds(3);
        for (int r = 0; r < 3; ++r) {
            Progress trees(50);  // nested: not reported
            parallel_for(50, [&](std::size_t) { trees.advance(); });
            std::this_thread::sleep_for(kInterruptPollInterval + 5ms);
            progress_step();
        }
        EXPECT_EQ(scope.done(), 3u);
        EXPECT_EQ(scope.total(), 3u);
    }
    ASSERT_FALSE(seen.reports.empty());
    for (const auto& [done, total] : seen.reports) {
        EXPECT_EQ(total, 3u);
        EXPECT_LE(done, 3u);
    }
    EXPECT_EQ(seen.reports.back().first, 3u);
    // Outside a call nothing is counted and nothing is checked.
    Progress lone(10);
    lone.advance();
    progress_step();
}

// A fit faster than the poll interval is never checked while it runs: complete() must run the
// check at once, report the last count and stop the call there when the check says so.
TEST(CallScope, CompleteChecksAtOnceAndCanStopTheCall) {
    Seen seen;
    {
        const CallScope scope(CallHooks{record, &seen});
        seen.scope = &scope;
        Progress trees(4);
        parallel_for(4, [&](std::size_t) { trees.advance(); });
        trees.complete();
    }
    ASSERT_EQ(seen.reports.size(), 1u);
    EXPECT_EQ(seen.reports[0], std::make_pair(std::uint64_t{4}, std::uint64_t{4}));

    const auto stop = [](void*) { return true; };
    const CallScope scope(CallHooks{stop, nullptr});
    Progress rounds(2);
    Progress nested(9);  // not the reported counter: never checks
    nested.complete();
    rounds.advance(2);
    EXPECT_THROW(rounds.complete(), Interrupted);
    EXPECT_THROW(poll_interrupt(), Interrupted);  // the call stays stopped
}

}  // namespace
}  // namespace canopy
