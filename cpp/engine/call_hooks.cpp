#include "engine/call_hooks.hpp"

#include <utility>

namespace canopy {

namespace {

thread_local CallScope* t_scope = nullptr;

}  // namespace

CallScope::CallScope(CallHooks hooks)
    : hooks_(std::move(hooks)), outer_(t_scope), last_check_(std::chrono::steady_clock::now()) {
    t_scope = this;
}

CallScope::~CallScope() { t_scope = outer_; }

Progress::Progress(std::uint64_t total) {
    CallScope* scope = t_scope;
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

void progress_step() {
    CallScope* scope = t_scope;
    if (scope == nullptr) return;
    if (scope->counting_) scope->done_.fetch_add(1, std::memory_order_relaxed);
    checkpoint();
}

void checkpoint() {
    CallScope* scope = t_scope;
    if (scope == nullptr || !scope->hooks_.check) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - scope->last_check_ < kCheckInterval) return;
    scope->last_check_ = now;
    scope->hooks_.check(scope->done(), scope->total());
}

std::size_t worker_cap() {
    const CallScope* scope = t_scope;
    return scope == nullptr ? 0 : scope->hooks_.max_workers;
}

}  // namespace canopy
