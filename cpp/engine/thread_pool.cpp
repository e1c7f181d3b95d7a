#include "engine/thread_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string_view>
#include <thread>

#include "engine/call_scope.hpp"
#include "engine/errors.hpp"

namespace canopy {

namespace {

thread_local bool t_on_worker = false;

class Pool {
public:
    explicit Pool(std::size_t n_workers) {
        try {
            for (std::size_t i = 0; i < n_workers; ++i) {
                workers_.emplace_back([this] { run(); });
            }
        } catch (...) {
            shutdown();
            throw;
        }
        std::unique_lock lock(mutex_);
        started_cv_.wait(lock, [&] { return started_ == workers_.size(); });
    }

    // The pool lives until the process exits; workers are detached so that exit does not
    // wait for them.
    void detach_all() {
        for (auto& w : workers_) w.detach();
    }

    std::size_t size() const { return workers_.size(); }

    void submit(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
        }
        work_cv_.notify_one();
    }

private:
    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        work_cv_.notify_all();
        for (auto& w : workers_) {
            if (w.joinable()) w.join();
        }
        workers_.clear();
    }

    void run() {
        t_on_worker = true;
        {
            std::lock_guard lock(mutex_);
            ++started_;
        }
        started_cv_.notify_all();
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                work_cv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (queue_.empty()) return;
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();
        }
    }

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable started_cv_;
    std::deque<std::function<void()>> queue_;
    std::size_t started_ = 0;
    bool stopping_ = false;
};

std::mutex g_pool_mutex;
Pool* g_pool = nullptr;  // never destroyed
bool g_atfork_registered = false;

// A forked child has none of the parent's workers; it builds its own pool on demand.
void forget_pool_in_child() { g_pool = nullptr; }

bool create_pool_locked(std::size_t n_workers) {
    n_workers = std::clamp<std::size_t>(n_workers, 1, kMaxWorkers);
    if (!g_atfork_registered) {
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        g_atfork_registered = true;
    }
    try {
        auto pool = std::make_unique<Pool>(n_workers);
        pool->detach_all();
        g_pool = pool.release();
        return true;
    } catch (...) {
        return false;
    }
}

std::optional<std::uint64_t> parse_unsigned(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string_view s(text);
    std::uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
    return value;
}

std::size_t logical_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

// The pool, created from the environment when missing; nullptr if threads cannot be made.
Pool* get_pool() {
    std::lock_guard lock(g_pool_mutex);
    if (g_pool == nullptr) create_pool_locked(pool_size_from_environment());
    return g_pool;
}

// Completion tracking shared by a section's tasks and its waiting caller. `cancelled` tells
// the tasks to skip the items they have not started and makes poll_interrupt() throw inside
// the ones that are running.
struct Section {
    std::mutex mutex;
    std::condition_variable done_cv;
    std::size_t pending = 0;
    std::exception_ptr error;
    std::atomic<bool> cancelled{false};

    void record(std::exception_ptr e) {
        std::lock_guard lock(mutex);
        if (!error) error = std::move(e);
    }
    void finish_one() {
        std::lock_guard lock(mutex);
        if (--pending == 0) done_cv.notify_all();
    }
    void cancel() { cancelled.store(true, std::memory_order_relaxed); }
    bool is_cancelled() const { return cancelled.load(std::memory_order_relaxed); }

    // Blocks until every task has ended. A caller with an interrupt check keeps polling it
    // while it waits; when the check asks to stop, the section is cancelled, the running
    // tasks are waited for, and the result is Interrupted (whatever the tasks reported).
    void wait() {
        std::unique_lock lock(mutex);
        const auto done = [&] { return pending == 0; };
        if (!interrupt_check_installed()) {
            done_cv.wait(lock, done);
            return;
        }
        bool interrupted = false;
        while (!interrupted && !done_cv.wait_for(lock, kInterruptPollInterval, done)) {
            lock.unlock();
            try {
                poll_interrupt();
            } catch (const Interrupted&) {
                interrupted = true;
                cancel();
            }
            lock.lock();
        }
        done_cv.wait(lock, done);
        if (interrupted) throw Interrupted();
    }
};

// Runs one item (or job) for a section, unless the section was cancelled. An interrupt
// cancels the rest of the section; other failures are recorded for the caller.
template <class F>
void run_for_section(Section& section, F&& item) {
    if (section.is_cancelled()) return;
    try {
        item();
    } catch (const Interrupted&) {
        section.cancel();
    } catch (...) {
        section.record(std::current_exception());
    }
}

[[noreturn]] void rethrow_as_section_error(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const Interrupted&) {
        throw;
    } catch (const UserError&) {
        throw;
    } catch (const InternalError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw InternalError("memory allocation failed");
    } catch (const std::exception& ex) {
        throw InternalError(ex.what());
    } catch (...) {
        throw InternalError("unknown failure in a worker thread");
    }
}

}  // namespace

std::size_t pool_size_from_environment() {
    if (auto n = parse_unsigned(std::getenv("RAYON_NUM_THREADS"))) {
        if (*n > 0) return static_cast<std::size_t>(std::min<std::uint64_t>(*n, kMaxWorkers));
        return std::min(logical_processors(), kMaxWorkers);
    }
    if (auto n = parse_unsigned(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(*n, kMaxWorkers));
    }
    return std::min(logical_processors(), kMaxWorkers);
}

void set_thread_pool(std::optional<std::uint64_t> n_jobs) {
    if (!n_jobs || *n_jobs == 0) return;
    std::lock_guard lock(g_pool_mutex);
    if (g_pool != nullptr) return;
    create_pool_locked(static_cast<std::size_t>(std::min<std::uint64_t>(*n_jobs, kMaxWorkers)));
}

std::size_t pool_size() {
    Pool* pool = get_pool();
    return pool ? pool->size() : 1;
}

std::size_t section_width() {
    const std::size_t size = pool_size();
    const std::size_t cap = worker_cap();
    return cap == 0 ? size : std::min(size, cap);
}

void parallel_for(std::size_t n_items, const std::function<void(std::size_t)>& body) {
    if (n_items == 0) return;
    // Between sections is a natural boundary of every long call.
    poll_interrupt();
    Pool* pool = t_on_worker ? nullptr : get_pool();
    const std::size_t n_runners = pool == nullptr ? 1 : std::min(section_width(), n_items);
    if (n_runners == 1) {
        // Inline: on a worker already, no threads could be made, or the caller allows one
        // worker. An interrupt ends the section at once; other failures let the remaining
        // items run first.
        std::exception_ptr error;
        for (std::size_t i = 0; i < n_items; ++i) {
            if (i > 0) poll_interrupt();
            try {
                body(i);
            } catch (const Interrupted&) {
                throw;
            } catch (...) {
                if (!error) error = std::current_exception();
            }
        }
        if (error) rethrow_as_section_error(error);
        return;
    }
    Section section;
    std::atomic<std::size_t> next{0};
    section.pending = n_runners;
    for (std::size_t r = 0; r < n_runners; ++r) {
        pool->submit([&] {
            {
                const CancelBinding binding(&section.cancelled);
                for (;;) {
                    const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
                    if (i >= n_items || section.is_cancelled()) break;
                    run_for_section(section, [&] { body(i); });
                }
            }
            section.finish_one();
        });
    }
    section.wait();
    if (section.is_cancelled()) throw Interrupted();
    if (section.error) rethrow_as_section_error(section.error);
}

// Jobs wait in the scope's own queue, and at most `width` runners on the pool take them in
// spawn order, so that a scope keeps to the caller's worker cap as a section does.
struct Scope::State {
    Section section;  // pending counts runners; section.mutex also guards jobs and runners
    bool inline_mode = false;
    int exceptions_at_start = std::uncaught_exceptions();
    std::deque<std::function<void()>> jobs;
    std::size_t runners = 0;
    std::size_t width = 1;

    void run_jobs() {
        {
            const CancelBinding binding(&section.cancelled);
            for (;;) {
                std::function<void()> job;
                {
                    std::lock_guard lock(section.mutex);
                    if (jobs.empty() || section.is_cancelled()) {
                        --runners;
                        break;
                    }
                    job = std::move(jobs.front());
                    jobs.pop_front();
                }
                run_for_section(section, job);
            }
        }
        section.finish_one();
    }
};

Scope::Scope() : state_(new State) {
    state_->inline_mode = t_on_worker || get_pool() == nullptr;
    state_->width = state_->inline_mode ? 1 : section_width();
}

Scope::~Scope() {
    // Left by an exception before wait(): the jobs that have not started need not run.
    if (std::uncaught_exceptions() > state_->exceptions_at_start) state_->section.cancel();
    try {
        state_->section.wait();
    } catch (const Interrupted&) {
        // Swallowed like the jobs' own failures; the caller is already stopping.
    }
    delete state_;
}

void Scope::spawn(std::function<void()> job) {
    State& state = *state_;
    if (state.inline_mode) {
        run_for_section(state.section, [&] {
            poll_interrupt();
            job();
        });
        return;
    }
    bool start_runner = false;
    {
        std::lock_guard lock(state.section.mutex);
        state.jobs.push_back(std::move(job));
        if (state.runners < state.width) {
            ++state.runners;
            ++state.section.pending;
            start_runner = true;
        }
    }
    if (start_runner) get_pool()->submit([&state] { state.run_jobs(); });
}

void Scope::wait() {
    Section& section = state_->section;
    section.wait();
    if (section.is_cancelled()) throw Interrupted();
    if (section.error) {
        auto e = section.error;
        section.error = nullptr;
        rethrow_as_section_error(e);
    }
}

}  // namespace canopy
