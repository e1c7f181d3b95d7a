// The process-wide worker pool. Its size is fixed by the first positive n_jobs request or,
// failing that, by the environment on first parallel use; it is never resized.
//
// Guarantees the estimators rely on:
// - parallel_for / parallel_map: every item runs exactly once; results land in item order;
//   the caller blocks until all items are done.
// - Scope: jobs spawned in order; wait() returns when every job has ended.
// - An exception in any item or job is rethrown on the calling thread, after the section
//   ended, as InternalError (UserError keeps its type).
// - Sections started from inside a worker run inline on that worker, so nesting cannot
//   deadlock.
// - Several calling threads may run sections at the same time: their tasks share one queue
//   and no task ever waits for another, so each section ends with what it would give alone.
// - A section (or scope) uses at most section_width() workers: the calling thread's call may
//   cap them (engine/call_scope.hpp); with one worker allowed it runs on the caller.
// - Interrupts (engine/call_scope.hpp): a caller with an interrupt check polls it at the
//   start of every section and while it waits. When the check asks to stop, the section is
//   cancelled: items not started are skipped, running items stop at their next
//   poll_interrupt(), and once every task has ended the caller gets Interrupted, taking
//   precedence over any other failure of the section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace canopy {

inline constexpr std::size_t kMaxWorkers = 65535;

// The n_jobs request of a constructor: absent or 0 does nothing; otherwise creates the pool
// with that many workers unless it already exists (or cannot be created): then silently
// ignored.
void set_thread_pool(std::optional<std::uint64_t> n_jobs);

// Size the pool has, creating it from the environment if it does not exist yet.
std::size_t pool_size();

// Workers a section started now on this thread uses at most: the pool size, capped by the
// max_workers of the calling thread's call.
std::size_t section_width();

// Size the environment asks for: RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS, processor count.
std::size_t pool_size_from_environment();

void parallel_for(std::size_t n_items, const std::function<void(std::size_t)>& body);

template <class T, class F>
std::vector<T> parallel_map(std::size_t n_items, F&& fn) {
    std::vector<std::optional<T>> slots(n_items);
    parallel_for(n_items, [&](std::size_t i) { slots[i].emplace(fn(i)); });
    std::vector<T> out;
    out.reserve(n_items);
    for (auto& s : slots) out.push_back(std::move(*s));
    return out;
}

// A group of jobs on the pool; the destructor waits for them (and swallows their errors:
// call wait() to see them). Left by an exception, it skips the jobs that have not started.
class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    void spawn(std::function<void()> job);
    // Blocks until every spawned job has ended, then rethrows the first failure.
    void wait();

private:
    struct State;
    State* state_;
};

}  // namespace canopy
