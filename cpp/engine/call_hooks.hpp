// What the caller of a long native call can ask of it, without the engine knowing who the
// caller is. A binding installs a CallScope on the thread that makes the call; the engine
// consults it on that thread only (workers have none):
//
// - max_workers caps the pool workers that each parallel section of the call uses (0: the
//   whole pool). Sections are ordered maps, so results never depend on it.
// - check(done, total) is the call's one check point. The engine passes it at natural
//   boundaries on the calling thread: while waiting for a parallel section, before starting
//   one, between boosting rounds, between nodes of a tree grown on the calling thread, between
//   explained rows. Calls are at least kCheckInterval apart, so a check that is costly (one
//   that must take a lock of its own) costs little. done / total count the call's units of
//   progress (trees of a forest fit, rounds of a boosted fit), 0 / 0 while none are counted.
//   check may throw to stop the call: a section being waited for skips the items not yet
//   started, waits for the running ones and passes the exception on unchanged, so partial
//   work is discarded and a fit leaves the estimator as it was.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

namespace canopy {

inline constexpr std::chrono::milliseconds kCheckInterval{50};

// What a check throws to stop the call; the binding knows why (a pending signal, an
// exception raised by a progress callback) and reports that.
struct CallStopped : std::exception {
    const char* what() const noexcept override { return "call stopped by its caller"; }
};

struct CallHooks {
    std::size_t max_workers = 0;
    std::function<void(std::uint64_t done, std::uint64_t total)> check;
};

class CallScope {
public:
    explicit CallScope(CallHooks hooks);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Units of progress of the call so far, and their total (as last counted).
    std::uint64_t done() const { return done_.load(std::memory_order_relaxed); }
    std::uint64_t total() const { return total_.load(std::memory_order_relaxed); }

private:
    friend class Progress;
    friend void checkpoint();
    friend void progress_step();
    friend std::size_t worker_cap();

    CallHooks hooks_;
    CallScope* outer_;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
    bool counting_ = false;
    std::chrono::steady_clock::time_point last_check_;
};

// Counts units of progress of the calling thread's call. Made on the calling thread; the
// outermost counter alive is the one reported (a boosted fit counts rounds, and the forests
// of its rounds do not count trees over them). advance() may be called from any thread.
class Progress {
public:
    explicit Progress(std::uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(std::uint64_t n = 1) noexcept;

private:
    CallScope* scope_ = nullptr;  // null when not the reported counter
};

// One unit of the calling thread's reported counter, then a check point.
void progress_step();

// The check point: calls the installed check when kCheckInterval has passed since the last
// one. Does nothing on a thread without a CallScope (every worker).
void checkpoint();

// The calling thread's cap on workers per section; 0 when there is none.
std::size_t worker_cap();

}  // namespace canopy
