// What the caller of one native call asks of it, held on the calling thread for the call's
// length: the interrupt check that lets a long call stop early (Ctrl-C), a cap on the workers
// of its parallel sections, and a count of its progress that the check can report.
//
// Long loops call poll_interrupt() at their natural boundaries (nodes, trees, rounds, row
// blocks, iterations). Contract:
// - On a thread inside a CallScope with a check, poll_interrupt() runs the check at most once
//   per kInterruptPollInterval and otherwise only reads a clock. When the check asks to stop,
//   poll_interrupt() throws Interrupted, and keeps throwing it on every later poll of the
//   same call without running the check again.
// - On a pool worker, poll_interrupt() throws Interrupted once the parallel section it works
//   for has been cancelled by its caller: one atomic load, no clock.
// - Anywhere else it does nothing.
// - Interrupted carries no message: the check has already recorded why the call stops (the
//   binding's check leaves the exception raised by the signal handler pending).
// Estimators build their new state aside and replace the old one only after success, so an
// Interrupted unwinding out of a call discards its partial work and keeps the old state.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace canopy {

inline constexpr std::chrono::milliseconds kInterruptPollInterval{20};

// Thrown by poll_interrupt(); every parallel section passes it to its caller unchanged.
struct Interrupted : std::exception {
    const char* what() const noexcept override;
};

struct CallHooks {
    // True when the call must stop. Runs on the calling thread only, never on a worker; a
    // binding that has released the interpreter lock re-acquires it inside its check.
    bool (*interrupted)(void* context) = nullptr;
    void* context = nullptr;
    // Most pool workers each parallel section of the call uses; 0: the whole pool. Sections
    // are ordered maps, so results never depend on it.
    std::size_t max_workers = 0;
};

// Installs `hooks` on this thread for the scope's lifetime; those of an outer call on the
// same thread (a nested call) come back when the scope ends.
class CallScope {
  public:
    explicit CallScope(const CallHooks& hooks);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

    // Units of progress of the call so far and their total, as last counted (0 / 0 while
    // nothing is counted); readable from the interrupt check.
    std::uint64_t done() const { return done_.load(std::memory_order_relaxed); }
    std::uint64_t total() const { return total_.load(std::memory_order_relaxed); }

  private:
    friend class Progress;
    friend void progress_step();

    CallHooks saved_hooks_;
    std::chrono::steady_clock::time_point saved_next_poll_;
    bool saved_stopped_;
    CallScope* saved_scope_;
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
    bool counting_ = false;
};

void poll_interrupt();

// Whether this thread's call has an interrupt check (the pool then waits in slices and polls).
bool interrupt_check_installed();

// For the pool: while alive, poll_interrupt() on this (worker) thread answers to `cancelled`.
class CancelBinding {
  public:
    explicit CancelBinding(const std::atomic<bool>* cancelled);
    ~CancelBinding();
    CancelBinding(const CancelBinding&) = delete;
    CancelBinding& operator=(const CancelBinding&) = delete;

  private:
    const std::atomic<bool>* saved_;
};

// The calling thread's cap on workers per section; 0 when there is none (and on workers).
std::size_t worker_cap();

// Counts units of progress of the calling thread's call (trees of a forest fit, rounds of a
// boosted fit). Made on the calling thread; the outermost counter alive is the one reported,
// so a boosted fit counts rounds and the forests of its rounds do not count trees over them.
// advance() may be called from any thread.
class Progress {
  public:
    explicit Progress(std::uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(std::uint64_t n = 1) noexcept;
    // On the calling thread, once the counted work is done and before the call replaces any
    // state: runs the check now, whatever the poll interval, so that the last count is
    // reported while a stop (a callback that raises on it) still leaves the old state in
    // place. Throws Interrupted when the check asks to stop; nothing for a counter that is not
    // the reported one.
    void complete();

  private:
    CallScope* scope_ = nullptr;  // null unless this is the reported counter
};

// On the calling thread: one unit of the reported counter, then poll_interrupt().
void progress_step();

}  // namespace canopy
