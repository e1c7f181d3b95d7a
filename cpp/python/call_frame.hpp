// The frame every constructor, method and property goes through: argument matching
// (the interpreter's own wording), conversion of arguments, shared or exclusive access to
// the receiver, the mapping of native errors to Python exceptions, and result conversion.
// Native code never sees a PyObject; Python never sees a C++ exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/call_scope.hpp"
#include "engine/views.hpp"

namespace canopy::py {

// The module's exception for internal errors; derives directly from BaseException.
extern PyObject* PanicException;

// Thrown by result builders when the Python runtime has already set an error.
struct PythonError {};

// ---- Owned references -------------------------------------------------------------------

struct Decref {
    void operator()(PyObject* o) const { Py_XDECREF(o); }
};
using Ref = std::unique_ptr<PyObject, Decref>;

// Takes ownership of a new reference; throws PythonError when it is null.
Ref own(PyObject* o);

// ---- Parameters and converted arguments ---------------------------------------------------

enum class Kind {
    Count,         // int or __index__ object, 0 .. 2^64-1
    OptCount,      // the same, or None
    Real,          // anything float() accepts
    Flag,          // exactly True or False
    Text,          // str
    OptText,       // str or None
    Matrix,        // 2-D float64 ndarray, any strides
    Vector,        // 1-D float64 ndarray, any strides
    OptVector,     // the same, or None
    DecisionTree,  // an instance of DecisionTree
};

struct Param {
    const char* name;
    Kind kind;
    bool required = false;
};

// The parameters of one callable; positional-or-keyword, in order. Parameters without a
// default (required) come first.
class Signature {
public:
    Signature(const char* function, std::vector<Param> params);
    const char* function() const { return function_; }
    const std::vector<Param>& params() const { return params_; }
    const char* format() const { return format_.c_str(); }
    char** keywords() const { return const_cast<char**>(keywords_.data()); }

private:
    const char* function_;
    std::vector<Param> params_;
    std::string format_;
    std::vector<const char*> keywords_;
};

struct Value {
    bool present = false;
    std::uint64_t count = 0;
    double real = 0.0;
    bool flag = false;
    std::string text;
    MatrixView matrix;
    VectorView vector;
    std::vector<double> copy;  // backing store when an array had to be copied
    PyObject* object = nullptr;  // kept alive by `held`
    Ref held;                    // arrays and objects the native call reads
    std::vector<Ref> pins;       // weak references that keep NumPy from resizing the memory
};

class Args {
public:
    // Matches and converts; false with a Python error set on failure. Arrays are borrowed
    // last, after every number was converted: a conversion may run Python code
    // (__index__, __float__, a finaliser), which could otherwise resize or free an array
    // already borrowed. Borrowed memory is pinned for the life of the Args, so Python code
    // that runs during the native work (a signal handler) cannot reallocate it either.
    bool parse(const Signature& sig, PyObject* args, PyObject* kwargs);

    bool has(std::size_t i) const { return values_[i].present; }
    std::uint64_t count(std::size_t i) const { return values_[i].count; }
    std::optional<std::uint64_t> opt_count(std::size_t i) const;
    double real(std::size_t i) const { return values_[i].real; }
    bool flag(std::size_t i) const { return values_[i].flag; }
    const std::string& text(std::size_t i) const { return values_[i].text; }
    std::optional<std::string> opt_text(std::size_t i) const;
    const MatrixView& matrix(std::size_t i) const { return values_[i].matrix; }
    const VectorView& vector(std::size_t i) const { return values_[i].vector; }
    std::optional<VectorView> opt_vector(std::size_t i) const;
    PyObject* object(std::size_t i) const { return values_[i].object; }

    // Defaults for optional parameters that were omitted.
    std::uint64_t count_or(std::size_t i, std::uint64_t d) const { return has(i) ? count(i) : d; }
    double real_or(std::size_t i, double d) const { return has(i) ? real(i) : d; }
    bool flag_or(std::size_t i, bool d) const { return has(i) ? flag(i) : d; }
    std::string text_or(std::size_t i, const char* d) const { return has(i) ? text(i) : d; }

private:
    std::vector<Value> values_;
};

// ---- Native errors to Python --------------------------------------------------------------

// Runs fn (returning a new reference) and turns every C++ exception into exactly one
// Python exception: UserError -> ValueError, StorageError -> MemoryError, Interrupted -> the
// exception the signal handler raised (already pending), everything else -> PanicException.
template <class F>
PyObject* guarded(F&& fn) noexcept;

void set_error_from_current_exception() noexcept;

template <class F>
PyObject* guarded(F&& fn) noexcept {
    try {
        PyObject* result = fn();
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PanicException, "native call returned no result");
        }
        return result;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// ---- Receiver objects and access ----------------------------------------------------------

template <class Est>
struct Boxed {
    PyObject_HEAD
    Est* value;
    int borrow;  // > 0: shared borrows, -1: exclusive
};

enum class Access { Shared, Exclusive };

// Holds shared or exclusive access to a receiver for one call; conflicts raise RuntimeError.
class AccessGuard {
public:
    AccessGuard(int& borrow, Access access);
    ~AccessGuard();
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;
    bool ok() const { return ok_; }

private:
    int& borrow_;
    Access access_;
    bool ok_;
};

template <class Est>
Est& receiver(PyObject* self) {
    return *reinterpret_cast<Boxed<Est>*>(self)->value;
}

// ---- Results -------------------------------------------------------------------------------

// Building a result of millions of Python objects takes a while too, so a signal handler may
// stop a call between items of its result: builders call poll_result() per large item (a row
// of n values) or poll_result_item(i) per item. Only calls with shared access stop there: a
// call that has changed the estimator (fit_transform, proximity_sparse) must return what it
// stored.
extern thread_local bool t_result_may_stop;

inline void poll_result() {
    if (t_result_may_stop) poll_interrupt();
}

inline void poll_result_item(std::size_t i) {
    if (i % 4096 == 4095) poll_result();
}

// Sets t_result_may_stop for one call; a nested call gets its own.
class ResultStops {
public:
    explicit ResultStops(bool may_stop) : saved_(t_result_may_stop) {
        t_result_may_stop = may_stop;
    }
    ~ResultStops() { t_result_may_stop = saved_; }
    ResultStops(const ResultStops&) = delete;
    ResultStops& operator=(const ResultStops&) = delete;

private:
    bool saved_;
};

PyObject* none();
PyObject* to_py(double v);
PyObject* to_py(bool v);
PyObject* to_py(std::uint64_t v);
PyObject* to_py(std::int64_t v);
PyObject* to_py(const std::string& v);
PyObject* to_py(const std::vector<double>& v);
PyObject* to_py(const std::vector<std::uint64_t>& v);
PyObject* to_py(const std::vector<std::vector<double>>& v);
template <class T>
PyObject* to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : none();
}

// A dict built key by key, in insertion order.
class Dict {
public:
    Dict();
    Dict& set(const char* key, PyObject* new_ref);
    PyObject* release() { return dict_.release(); }

private:
    Ref dict_;
};

// ---- Callables ------------------------------------------------------------------------------


// The interrupt check of a method call: runs the handlers of pending signals (the call holds
// the interpreter lock throughout); true when one raised, its exception then pending.
bool signal_raised(void* unused);

// Method: match and convert the arguments, take access, run the body; long bodies stop
// when a signal handler raises (Ctrl-C).
template <class Est, const Signature& Sig, Access A, auto Fn>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
    Args a;
    if (!a.parse(Sig, args, kwargs)) return nullptr;
    AccessGuard guard(reinterpret_cast<Boxed<Est>*>(self)->borrow, A);
    if (!guard.ok()) return nullptr;
    const CallScope call(CallHooks{&signal_raised, nullptr});
    const ResultStops result_stops(A == Access::Shared);
    return guarded([&]() -> PyObject* { return Fn(receiver<Est>(self), a); });
}

// Read-only property. Properties are quick and never stop, also when read by a signal
// handler in the middle of another call.
template <class Est, auto Fn>
PyObject* getter(PyObject* self, void*) {
    AccessGuard guard(reinterpret_cast<Boxed<Est>*>(self)->borrow, Access::Shared);
    if (!guard.ok()) return nullptr;
    const CallScope call(CallHooks{});
    return guarded([&]() -> PyObject* { return Fn(receiver<Est>(self)); });
}

// __new__: match and convert, build the native value, then the Python object.
template <class Est, const Signature& Sig, auto Make>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Args a;
    if (!a.parse(Sig, args, kwargs)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto value = std::make_unique<Est>(Make(a));
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* boxed = reinterpret_cast<Boxed<Est>*>(self);
        boxed->value = value.release();
        boxed->borrow = 0;
        return self;
    });
}

template <class Est>
void dealloc(PyObject* self) {
    auto* boxed = reinterpret_cast<Boxed<Est>*>(self);
    delete boxed->value;
    boxed->value = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <class F>
constexpr PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a heap type named "builtins.<Class>" with the given doc (the class signature),
// methods and read-only properties.
template <class Est>
PyTypeObject* make_type(const char* qualified_name, const char* doc, newfunc tp_new,
                        PyMethodDef* methods, PyGetSetDef* getset);

PyTypeObject* make_type_impl(const char* qualified_name, const char* doc, int basicsize,
                             newfunc tp_new, destructor tp_dealloc, PyMethodDef* methods,
                             PyGetSetDef* getset);

template <class Est>
PyTypeObject* make_type(const char* qualified_name, const char* doc, newfunc tp_new,
                        PyMethodDef* methods, PyGetSetDef* getset) {
    return make_type_impl(qualified_name, doc, sizeof(Boxed<Est>), tp_new, &dealloc<Est>, methods,
                          getset);
}

// The DecisionTree type, for arguments of Kind::DecisionTree.
extern PyTypeObject* DecisionTreeType;

}  // namespace canopy::py
