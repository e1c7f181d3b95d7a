#include "engine/call_scope.hpp"

namespace canopy {

namespace {

struct ThreadCallState {
    CallHooks hooks;
    std::chrono::steady_clock::time_point next_poll{};
    bool stopped = false;                          // the check has asked this call to stop
    const std::atomic<bool>* cancelled = nullptr;  // set on a worker inside a section
    CallScope* scope = nullptr;                    // the innermost call on this thread
};

thread_local ThreadCallState t_call;

}  // namespace

const char* Interrupted::what() const noexcept { return "interrupted"; }

CallScope::CallScope(const CallHooks& hooks)
    : saved_hooks_(t_call.hooks),
      saved_next_poll_(t_call.next_poll),
      saved_stopped_(t_call.stopped),
      saved_scope_(t_call.scope) {
    t_call.hooks = hooks;
    t_call.next_poll = std::chrono::steady_clock::now() + kInterruptPollInterval;
    t_call.stopped = false;
    t_call.scope = this;
}

CallScope::~CallScope() {
    t_call.hooks = saved_hooks_;
    t_call.next_poll = saved_next_poll_;
    t_call.stopped = saved_stopped_;
    t_call.scope = saved_scope_;
}

namespace {

// poll_interrupt, with `force` running the check even before the interval has passed.
void poll(bool force) {
    ThreadCallState& s = t_call;
    if (s.cancelled != nullptr) {
        if (s.cancelled->load(std::memory_order_relaxed)) throw Interrupted();
        return;
    }
    if (s.hooks.interrupted == nullptr) return;
    if (s.stopped) throw Interrupted();
    const auto now = std::chrono::steady_clock::now();
    if (!force && now < s.next_poll) return;
    s.next_poll = now + kInterruptPollInterval;
    if (s.hooks.interrupted(s.hooks.context)) {
        s.stopped = true;
        throw Interrupted();
    }
}

}  // namespace

void poll_interrupt() { poll(false); }

bool interrupt_check_installed() { return t_call.hooks.interrupted != nullptr; }

CancelBinding::CancelBinding(const std::atomic<bool>* cancelled) : saved_(t_call.cancelled) {
    t_call.cancelled = cancelled;
}

CancelBinding::~CancelBinding() { t_call.cancelled = saved_; }

std::size_t worker_cap() { return t_call.hooks.max_workers; }

Progress::Progress(std::uint64_t total) {
    CallScope* scope = t_call.scope;
    if (scope == nullptr || scope->counting_) return;
    scope->counting_ = true;
    scope->done_.store(0, std::memory_order_relaxed);
    scope->total_.store(total, std::memory_order_relaxed);
    scope_ = scope;
}

Progress::~Progress() {
    if (scope_ != nullptr) scope_->counting_ = false;
}

void Progress::advance(std::uint64_t n) noexcept {
    if (scope_ != nullptr) scope_->done_.fetch_add(n, std::memory_order_relaxed);
}

void Progress::complete() {
    if (scope_ != nullptr && scope_ == t_call.scope) poll(true);
}

void progress_step() {
    CallScope* scope = t_call.scope;
    if (scope != nullptr && scope->counting_) scope->done_.fetch_add(1, std::memory_order_relaxed);
    poll_interrupt();
}

}  // namespace canopy
