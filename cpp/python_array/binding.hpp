// canopy._core: the estimators of canopy._rs with NumPy arrays in and out, the interpreter
// lock released while native code runs. This header is what every class file shares; its
// guarantees are the module's contract with the Python layer above it.
//
// Arrays in. Feature matrices and vectors are any object exporting a numeric array (DLPack or
// the buffer protocol). float64 input of any strides is read in place, without a copy; other
// numeric dtypes are converted to float64 once. While a call runs, the array that owns the
// memory is pinned: NumPy refuses to resize it (a buffer export alone does not stop
// `resize(refcheck=False)`; a weak reference does), so no other thread can free or move the
// memory under the call. Writing new values into the array from another thread while a call
// reads it is the caller's race, as with any NumPy function that releases the lock. Rows to
// predict or explain that are shorter than a feature the model tests raise ValueError before
// any work; longer rows are read as far as the model tests.
//
// Arrays out. Results are NumPy arrays that own the native result (no copy, no Python list):
// float64 predictions (n,), probabilities (n, k), intervals (n, 2), square proximities
// (n, n), embeddings (n, c), importances (features,), class indices as uint64.
//
// Locking. The interpreter lock is released for all native work. Each object has a
// reader/writer lock: calls that read the model (predictions, scores, properties) share it and
// run concurrently with identical results; calls that change the object (fit, and the sparse
// proximity cache) take it exclusively, so readers wait for a fit to finish and never see a
// mixture of two models. The lock is only ever waited for with the interpreter lock released.
// A call made on a thread that is already inside a call on the same object (from a progress
// callback) raises RuntimeError instead of deadlocking.
//
// Per-call options (keyword-only). n_jobs: None (the object's n_jobs, itself None by default:
// the whole pool), -1 (the whole pool) or a positive count of workers; it caps the workers of
// this call and never resizes the process-wide pool. Results are identical for every value.
// progress: None or a callable(done, total), called on the calling thread with the interpreter
// lock held, at most once per poll interval of the engine (kInterruptPollInterval) and once at
// the end, counting trees of a forest fit or rounds of a boosted fit. The same check point
// delivers pending signals: Ctrl-C stops a long call with KeyboardInterrupt (on the main
// thread), and so does any exception the callback raises; the object is left as it was.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/forest.hpp"
#include "engine/forest_part.hpp"
#include "engine/views.hpp"

namespace canopy::pyarray {

namespace nb = nanobind;

// ---- Arrays in ------------------------------------------------------------------------------

using MatrixArray = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using VectorArray = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;

// Keeps the array that owns a borrowed buffer from being resized while a call reads it.
class Pin {
  public:
    Pin() = default;
    // False with a Python error set when the owner cannot be pinned.
    bool attach(nb::handle source);

  private:
    nb::object weak_;
};

struct MatrixArg {
    MatrixArray array;
    Pin pin;
    MatrixView view() const;
};

struct VectorArg {
    VectorArray array;
    Pin pin;
    VectorView view() const;
};

std::optional<VectorView> view_of(const std::optional<VectorArg>& v);

// A float64 copy of a real-valued NumPy array that DLPack and the buffer protocol cannot
// export (non-native byte order); an invalid object for anything else. Never raises.
nb::object as_float64(nb::handle source) noexcept;

// ---- Arrays out -----------------------------------------------------------------------------

template <class T>
using ArrayOut = nb::ndarray<nb::numpy, T>;

// Hands a native vector to NumPy without copying: the array owns it from here on.
template <class T>
ArrayOut<T> to_array(std::vector<T>&& values, std::initializer_list<std::size_t> shape) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return ArrayOut<T>(owned->data(), shape.size(), shape.begin(), owner);
}

ArrayOut<double> to_array(std::vector<double>&& values);
ArrayOut<double> to_array(Matrix&& m);
ArrayOut<std::uint64_t> to_array(std::vector<std::uint64_t>&& values);
std::optional<ArrayOut<std::uint64_t>> to_array(std::optional<std::vector<std::uint64_t>> v);

// Native reshaping, done inside the native section (no Python objects):
// rows of equal length (`cols` when there are no rows) as one row-major matrix,
Matrix flatten(const std::vector<std::vector<double>>& rows, std::size_t cols);
// and (lower, upper) pairs as an (n, 2) matrix.
Matrix flatten(const std::vector<std::array<double, 2>>& intervals);

// ---- Per-object lock ------------------------------------------------------------------------

enum class Access { Shared, Exclusive };

// A writer-preferring reader/writer lock: a waiting fit is not starved by a stream of
// predictions.
class RwLock {
  public:
    void lock(Access access);
    void unlock(Access access);

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::size_t readers_ = 0;
    std::size_t writers_waiting_ = 0;
    bool writer_ = false;
};

// The Python object's payload: the estimator, its default n_jobs and its lock.
template <class Est>
struct Box {
    Est est;
    std::optional<std::int64_t> n_jobs;
    RwLock lock;

    Box(Est e, std::optional<std::int64_t> jobs) : est(std::move(e)), n_jobs(jobs) {}
};

// n_jobs as a worker cap (0: the whole pool); ValueError for 0 and negatives other than -1.
std::size_t resolve_n_jobs(std::optional<std::int64_t> n_jobs);

// ---- One call -------------------------------------------------------------------------------

struct CallOptions {
    std::optional<std::int64_t> n_jobs;
    nb::object progress;  // None or callable(done, total)
};

// Everything a call needs from Python while its native work runs without the interpreter
// lock: the worker cap, the progress callback and the signal check, and the Python error that
// stopped the call, if any. Made and destroyed with the interpreter lock held.
class CallControl {
  public:
    CallControl(const CallOptions& options, std::optional<std::int64_t> object_n_jobs);
    // The hooks of the call's CallScope, whose progress counts the check then reports.
    CallHooks hooks();
    void watch(const CallScope& scope) { scope_ = &scope; }
    // After a successful call, with the interpreter lock: the last progress report.
    void finish(std::uint64_t done, std::uint64_t total);
    // The Python error that stopped the call, raised again.
    [[noreturn]] void raise_stopped();

  private:
    // The engine's interrupt check, on the calling thread without the interpreter lock: runs
    // pending signal handlers (main thread only) and the progress callback; true when either
    // raised.
    static bool interrupted(void* self);
    bool check();
    void report(std::uint64_t done, std::uint64_t total);

    std::size_t max_workers_;
    nb::object progress_;
    bool main_thread_;
    const CallScope* scope_ = nullptr;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> reported_;
    std::optional<nb::python_error> error_;
};

// Refuses (RuntimeError) a call on a lock this thread already holds; otherwise records it as
// held by this thread until destruction.
class Reentry {
  public:
    explicit Reentry(const RwLock& lock);
    ~Reentry();
    Reentry(const Reentry&) = delete;
    Reentry& operator=(const Reentry&) = delete;

  private:
    const RwLock* lock_;
};

// Holds a native result between the native section and the return (nothing for void).
template <class R>
struct Slot {
    std::optional<R> value;
    template <class G>
    void fill(G&& g) {
        value.emplace(g());
    }
    R take() { return std::move(*value); }
};
template <>
struct Slot<void> {
    template <class G>
    void fill(G&& g) {
        g();
    }
    void take() {}
};

// Runs fn(box.est) with the interpreter lock released and the object's lock held as `A`, and
// returns its native result once both locks are back as they were.
template <Access A, class Est, class F>
auto run(Box<Est>& box, const CallOptions& options, F&& fn) {
    using Result = std::decay_t<decltype(fn(box.est))>;
    CallControl control(options, box.n_jobs);
    Reentry reentry(box.lock);
    Slot<Result> result;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    try {
        nb::gil_scoped_release unlocked;
        box.lock.lock(A);
        struct Unlock {
            RwLock& lock;
            ~Unlock() { lock.unlock(A); }
        } unlock{box.lock};
        CallScope scope(control.hooks());
        control.watch(scope);
        result.fill([&]() -> decltype(auto) { return fn(box.est); });
        done = scope.done();
        total = scope.total();
    } catch (const Interrupted&) {
        control.raise_stopped();
    }
    control.finish(done, total);
    return result.take();
}

// Reads a property under the shared lock.
template <class Est, class F>
auto read(Box<Est>& box, F&& fn) {
    return run<Access::Shared>(box, CallOptions{}, std::forward<F>(fn));
}

// A method that takes only n_jobs.
inline CallOptions jobs(std::optional<std::int64_t> n_jobs) { return CallOptions{n_jobs, {}}; }

// ---- Rows too short for the model ------------------------------------------------------------

// canopy._rs walks prediction rows as given and stops on a row shorter than a feature some
// tree tests with an internal error (PanicException). Here such input is bad input: it is
// refused with ValueError before any walk. Wider rows are accepted, their extra values unread.
template <class Est>
void require_columns(const Est& e, const MatrixView& x, const char* what = "x") {
    std::size_t needed = 0;
    if constexpr (requires { e.forests; }) {
        for (const Forest& f : e.forests) needed = std::max(needed, f.min_row_length());
    } else {
        needed = e.forest.min_row_length();
    }
    require_row_length(needed, x.cols, what);
}

// ---- Methods several classes share ------------------------------------------------------------

// The keyword-only arguments of CallOptions, for nb::class_::def.
#define CANOPY_CALL_ARGS \
    nb::kw_only(), nb::arg("n_jobs") = nb::none(), nb::arg("progress") = nb::none()
#define CANOPY_JOBS_ARG nb::kw_only(), nb::arg("n_jobs") = nb::none()
#define CANOPY_FIT_ARGS \
    nb::arg("x"), nb::arg("y"), nb::arg("sample_weight") = nb::none(), CANOPY_CALL_ARGS

// fit(x, y, sample_weight=None, *, n_jobs=None, progress=None) -> None
template <class Est>
void fit_supervised(Box<Est>& b, const MatrixArg& x, const VectorArg& y,
                    const std::optional<VectorArg>& w, std::optional<std::int64_t> n_jobs,
                    nb::object progress) {
    run<Access::Exclusive>(b, CallOptions{n_jobs, progress},
                           [&](Est& e) { e.fit(x.view(), y.view(), view_of(w)); });
}

// predict(x, *, n_jobs=None) -> (n,) float64
template <class Est>
ArrayOut<double> predict(Box<Est>& b, const MatrixArg& x, std::optional<std::int64_t> n_jobs) {
    return to_array(run<Access::Shared>(b, jobs(n_jobs), [&](Est& e) {
        require_columns(e, x.view());
        return e.predict(x.view());
    }));
}

// feature_importances(*, n_jobs=None) -> (features,) float64
template <class Est>
ArrayOut<double> importances(Box<Est>& b, std::optional<std::int64_t> n_jobs) {
    return to_array(
        run<Access::Shared>(b, jobs(n_jobs), [](Est& e) { return e.feature_importances(); }));
}

// ---- Forests grown in parts -------------------------------------------------------------------

// tree_range as Python passes and reads it: None or (begin, end).
using RangeArg = std::optional<std::tuple<std::uint64_t, std::uint64_t>>;

inline std::optional<TreeRange> tree_range_of(const RangeArg& r) {
    if (!r) return std::nullopt;
    return TreeRange{std::get<0>(*r), std::get<1>(*r)};
}

// The tree_range property: the trees a part holds, None for a whole forest.
template <class Est>
RangeArg part_range(Box<Est>& b) {
    return read(b, [](Est& e) -> RangeArg {
        if (!e.part) return std::nullopt;
        return std::make_tuple(e.part->range.begin, e.part->range.end);
    });
}

#define CANOPY_FOREST_FIT_ARGS                                                        \
    nb::arg("x"), nb::arg("y"), nb::arg("sample_weight") = nb::none(), nb::kw_only(), \
                                nb::arg("tree_range") = nb::none(),                   \
                                nb::arg("n_jobs") = nb::none(), nb::arg("progress") = nb::none()

// fit(x, y, sample_weight=None, *, tree_range=None, n_jobs=None, progress=None) -> None
template <class Est>
void fit_forest(Box<Est>& b, const MatrixArg& x, const VectorArg& y,
                const std::optional<VectorArg>& w, const RangeArg& tree_range,
                std::optional<std::int64_t> n_jobs, nb::object progress) {
    run<Access::Exclusive>(b, CallOptions{n_jobs, progress}, [&](Est& e) {
        e.fit(x.view(), y.view(), view_of(w), tree_range_of(tree_range));
    });
}

// join(parts) -> a new object holding the whole forest. Each part is copied under its own
// shared lock (never two locks at once, so a part passed twice cannot deadlock), and the
// copies are joined with the interpreter lock released.
template <class Est>
Box<Est>* join_parts(const std::vector<Box<Est>*>& parts) {
    std::vector<Est> copies;
    copies.reserve(parts.size());
    for (Box<Est>* b : parts) {
        if (b == nullptr) throw nb::type_error("join takes fitted parts, not None");
        copies.push_back(read(*b, [](Est& e) { return e; }));
    }
    const std::optional<std::int64_t> n_jobs = parts.empty() ? std::nullopt : parts.front()->n_jobs;
    std::optional<Est> joined;
    {
        nb::gil_scoped_release unlocked;
        joined.emplace(Est::join(std::move(copies)));
    }
    return new Box<Est>(std::move(*joined), n_jobs);
}

#define CANOPY_JOIN_DOC                                                                         \
    "The parts of one fit (each fitted with a tree_range, together covering every tree once), " \
    "in tree order, joined into the estimator a whole fit makes. ValueError when the parts "    \
    "differ in parameters or data, or their ranges leave gaps or overlap."

// A read-only property computed from the estimator under the shared lock.
template <class Est, class F>
auto property(F fn) {
    return [fn](Box<Est>& b) { return read(b, fn); };
}

void register_errors(nb::module_& m);

// Factories, one per class file.
void bind_decision_tree(nb::module_& m);
void bind_random_forest_regressor(nb::module_& m);
void bind_random_forest_classifier(nb::module_& m);
void bind_canopy_regressor(nb::module_& m);
void bind_canopy_classifier(nb::module_& m);
void bind_random_forest_unsupervised(nb::module_& m);
void bind_tree_shap(nb::module_& m);

}  // namespace canopy::pyarray

// ---- Casters: MatrixArg / VectorArg from any numeric array ------------------------------------

namespace nanobind::detail {

template <class Arg, class Array>
struct pinned_array_caster {
    NB_TYPE_CASTER(Arg, make_caster<Array>::Name)

    bool from_python(handle src, uint8_t flags, cleanup_list* cleanup) noexcept {
        make_caster<Array> inner;
        if (!inner.from_python(src, flags, cleanup)) {
            if (!(flags & static_cast<uint8_t>(cast_flags::convert))) return false;
            object converted = canopy::pyarray::as_float64(src);
            if (!converted.is_valid() || !inner.from_python(converted, flags, cleanup)) {
                return false;
            }
        }
        value.array = inner.value;
        if (!value.pin.attach(src)) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
};

template <>
struct type_caster<canopy::pyarray::MatrixArg>
    : pinned_array_caster<canopy::pyarray::MatrixArg, canopy::pyarray::MatrixArray> {};
template <>
struct type_caster<canopy::pyarray::VectorArg>
    : pinned_array_caster<canopy::pyarray::VectorArg, canopy::pyarray::VectorArray> {};

}  // namespace nanobind::detail
