// What the caller of one native call asks of it, held on the calling thread for the call's
// length: today the interrupt check that lets a long call stop early (Ctrl-C).
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
};

// Installs `hooks` on this thread for the scope's lifetime; those of an outer call on the
// same thread (a nested call) come back when the scope ends.
class CallScope {
  public:
    explicit CallScope(const CallHooks& hooks);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

  private:
    CallHooks saved_hooks_;
    std::chrono::steady_clock::time_point saved_next_poll_;
    bool saved_stopped_;
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

}  // namespace canopy
