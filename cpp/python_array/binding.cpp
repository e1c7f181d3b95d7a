#include "python_array/binding.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/errors.hpp"

namespace canopy::pyarray {

namespace {

// numpy.ndarray, looked up once at import.
PyObject* g_ndarray_type = nullptr;

// The thread that runs signal handlers.
unsigned long g_main_thread = 0;

// Locks held by this thread, innermost last.
thread_local std::vector<const RwLock*> t_held;

PyObject* g_panic = nullptr;

}  // namespace

// ---- Arrays in ------------------------------------------------------------------------------

bool Pin::attach(nb::handle source) {
    if (g_ndarray_type == nullptr ||
        !PyObject_TypeCheck(source.ptr(), reinterpret_cast<PyTypeObject*>(g_ndarray_type))) {
        return true;  // not a NumPy array: nothing NumPy could resize under us
    }
    // Only the array at the end of the chain of bases owns (and could reallocate) the memory.
    nb::handle owner = source;
    for (;;) {
        nb::object base = nb::steal(PyObject_GetAttrString(owner.ptr(), "base"));
        if (!base.is_valid()) return false;
        if (!PyObject_TypeCheck(base.ptr(), reinterpret_cast<PyTypeObject*>(g_ndarray_type))) {
            break;
        }
        owner = base;  // kept alive by the array that refers to it
    }
    weak_ = nb::steal(PyWeakref_NewRef(owner.ptr(), nullptr));
    return weak_.is_valid();
}

nb::object as_float64(nb::handle source) noexcept {
    if (g_ndarray_type == nullptr ||
        !PyObject_TypeCheck(source.ptr(), reinterpret_cast<PyTypeObject*>(g_ndarray_type))) {
        return nb::object();
    }
    try {
        const std::string kind = nb::cast<std::string>(source.attr("dtype").attr("kind"));
        if (kind != "b" && kind != "i" && kind != "u" && kind != "f") return nb::object();
        return source.attr("astype")("float64");
    } catch (...) {
        PyErr_Clear();
        return nb::object();
    }
}

MatrixView MatrixArg::view() const {
    return MatrixView{array.data(), array.shape(0), array.shape(1), array.stride(0),
                      array.stride(1)};
}

VectorView VectorArg::view() const {
    return VectorView{array.data(), array.shape(0), array.stride(0)};
}

std::optional<VectorView> view_of(const std::optional<VectorArg>& v) {
    if (!v) return std::nullopt;
    return v->view();
}

// ---- Arrays out -----------------------------------------------------------------------------

ArrayOut<double> to_array(std::vector<double>&& values) {
    const std::size_t n = values.size();
    return to_array(std::move(values), {n});
}

ArrayOut<double> to_array(Matrix&& m) {
    const std::size_t rows = m.rows;
    const std::size_t cols = m.cols;
    return to_array(std::move(m.values), {rows, cols});
}

ArrayOut<std::uint64_t> to_array(std::vector<std::uint64_t>&& values) {
    const std::size_t n = values.size();
    return to_array(std::move(values), {n});
}

std::optional<ArrayOut<std::uint64_t>> to_array(std::optional<std::vector<std::uint64_t>> v) {
    if (!v) return std::nullopt;
    return to_array(std::move(*v));
}

Matrix flatten(const std::vector<std::vector<double>>& rows, std::size_t cols) {
    if (!rows.empty()) cols = rows.front().size();
    Matrix out(rows.size(), cols);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].size() != cols) fail_internal("rows of a result differ in length");
        std::copy(rows[r].begin(), rows[r].end(),
                  out.values.begin() + static_cast<std::ptrdiff_t>(r * cols));
    }
    return out;
}

Matrix flatten(const std::vector<std::array<double, 2>>& intervals) {
    Matrix out(intervals.size(), 2);
    if (!intervals.empty()) {
        std::memcpy(out.values.data(), intervals.data(), out.values.size() * sizeof(double));
    }
    return out;
}

// ---- Per-object lock ------------------------------------------------------------------------

void RwLock::lock(Access access) {
    std::unique_lock guard(mutex_);
    if (access == Access::Shared) {
        cv_.wait(guard, [&] { return !writer_ && writers_waiting_ == 0; });
        ++readers_;
        return;
    }
    ++writers_waiting_;
    cv_.wait(guard, [&] { return !writer_ && readers_ == 0; });
    --writers_waiting_;
    writer_ = true;
}

void RwLock::unlock(Access access) {
    {
        std::lock_guard guard(mutex_);
        if (access == Access::Shared) {
            --readers_;
        } else {
            writer_ = false;
        }
    }
    cv_.notify_all();
}

std::size_t resolve_n_jobs(std::optional<std::int64_t> n_jobs) {
    if (!n_jobs || *n_jobs == -1) return 0;
    if (*n_jobs > 0) return static_cast<std::size_t>(*n_jobs);
    throw std::invalid_argument("n_jobs must be None, -1 or a positive count of workers, got " +
                                std::to_string(*n_jobs));
}

Reentry::Reentry(const RwLock& lock) : lock_(&lock) {
    if (std::find(t_held.begin(), t_held.end(), lock_) != t_held.end()) {
        throw std::runtime_error(
            "this object is in the middle of a call on the same thread (a callback called back "
            "into it); call it again after that call has returned");
    }
    t_held.push_back(lock_);
}

Reentry::~Reentry() { t_held.erase(std::find(t_held.begin(), t_held.end(), lock_)); }

// ---- One call -------------------------------------------------------------------------------

CallControl::CallControl(const CallOptions& options, std::optional<std::int64_t> object_n_jobs)
    : max_workers_(resolve_n_jobs(options.n_jobs ? options.n_jobs : object_n_jobs)),
      progress_(options.progress),
      main_thread_(PyThread_get_thread_ident() == g_main_thread) {
    if (progress_.is_valid() && progress_.is_none()) progress_ = nb::object();
    if (progress_.is_valid() && !PyCallable_Check(progress_.ptr())) {
        throw nb::type_error("progress must be None or a callable taking (done, total)");
    }
}

CallHooks CallControl::hooks() {
    // Off the main thread no signal handler can run, so without a callback there is nothing
    // to check, and the call never needs the interpreter lock back.
    if (!main_thread_ && !progress_.is_valid()) return CallHooks{nullptr, nullptr, max_workers_};
    return CallHooks{&CallControl::interrupted, this, max_workers_};
}

bool CallControl::interrupted(void* self) { return static_cast<CallControl*>(self)->check(); }

bool CallControl::check() {
    nb::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0) {
        error_.emplace();
        return true;
    }
    try {
        if (scope_ != nullptr) report(scope_->done(), scope_->total());
    } catch (nb::python_error& e) {
        error_.emplace(std::move(e));
        return true;
    }
    return false;
}

void CallControl::report(std::uint64_t done, std::uint64_t total) {
    if (!progress_.is_valid() || total == 0) return;
    const std::pair<std::uint64_t, std::uint64_t> now{done, total};
    if (reported_ == now) return;
    reported_ = now;
    progress_(done, total);
}

void CallControl::finish(std::uint64_t done, std::uint64_t total) { report(done, total); }

void CallControl::raise_stopped() {
    if (error_) throw std::move(*error_);
    throw std::runtime_error("call stopped without a Python error");
}

// ---- Errors ---------------------------------------------------------------------------------

void register_errors(nb::module_& m) {
    g_ndarray_type = nb::object(nb::module_::import_("numpy").attr("ndarray")).release().ptr();
    g_main_thread = nb::cast<unsigned long>(
        nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    g_panic = PyErr_NewExceptionWithDoc(
        "canopy._core.PanicException", "Raised when a native call is aborted by an internal error.",
        PyExc_BaseException, nullptr);
    if (g_panic == nullptr) throw nb::python_error();
    m.attr("PanicException") = nb::borrow(g_panic);
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const UserError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const InternalError& e) {
            PyErr_SetString(g_panic, e.what());
        }
    });
}

}  // namespace canopy::pyarray
