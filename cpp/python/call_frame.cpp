#include "python/call_frame.hpp"

#include <cstring>
#include <new>

#include "engine/errors.hpp"
#include "python/numpy_api.hpp"

namespace canopy::py {

PyObject* PanicException = nullptr;
thread_local bool t_result_may_stop = false;
PyTypeObject* DecisionTreeType = nullptr;

Ref own(PyObject* o) {
    if (o == nullptr) throw PythonError{};
    return Ref(o);
}

// ---- Signature ------------------------------------------------------------------------------

Signature::Signature(const char* function, std::vector<Param> params)
    : function_(function), params_(std::move(params)) {
    bool optional_started = false;
    for (const Param& p : params_) {
        if (!p.required && !optional_started) {
            format_ += '|';
            optional_started = true;
        }
        format_ += 'O';
        keywords_.push_back(p.name);
    }
    format_ += ':';
    format_ += function_;
    keywords_.push_back(nullptr);
}

// ---- Conversion -----------------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxParams = 16;

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// Replaces the pending error by one of the same type whose message names the argument.
void name_argument_in_error(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    const char* message = text ? PyUnicode_AsUTF8(text) : nullptr;
    if (message == nullptr) PyErr_Clear();
    // The Unicode errors (text that cannot be encoded) are not made from a message alone;
    // like every other conversion failure they become TypeError.
    PyObject* raised = type == nullptr || PyErr_GivenExceptionMatches(type, PyExc_UnicodeError)
                           ? PyExc_TypeError
                           : type;
    PyErr_Format(raised, "argument '%s': %s", name, message ? message : "invalid value");
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

bool type_error(const char* name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected,
                 type_name(got));
    return false;
}

bool convert_count(PyObject* o, const Param& p, Value& v) {
    if (PyFloat_Check(o) || !PyIndex_Check(o)) return type_error(p.name, "int", o);
    PyObject* index = PyNumber_Index(o);
    if (index == nullptr) {
        name_argument_in_error(p.name);
        return false;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        name_argument_in_error(p.name);
        return false;
    }
    v.count = n;
    return true;
}

bool convert_real(PyObject* o, const Param& p, Value& v) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return type_error(p.name, "float", o);
        }
        name_argument_in_error(p.name);
        return false;
    }
    v.real = d;
    return true;
}

bool convert_text(PyObject* o, const Param& p, Value& v) {
    if (!PyUnicode_Check(o)) return type_error(p.name, "str", o);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) {
        name_argument_in_error(p.name);
        return false;
    }
    v.text.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool is_array(Kind k) { return k == Kind::Matrix || k == Kind::Vector || k == Kind::OptVector; }
int rank_of(Kind k) { return k == Kind::Matrix ? 2 : 1; }

// A float64 ndarray of the given rank in native byte order; a TypeError naming the
// argument otherwise. Runs no Python code except on the error path.
bool check_array(PyObject* o, const Param& p) {
    const int ndim = rank_of(p.kind);
    const char* expected = ndim == 2 ? "a 2-dimensional numpy.ndarray of float64"
                                     : "a 1-dimensional numpy.ndarray of float64";
    if (!PyArray_Check(o)) return type_error(p.name, expected, o);
    auto* array = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_TYPE(array) != NPY_DOUBLE || PyArray_NDIM(array) != ndim) {
        PyObject* dtype = PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        const char* dtype_text = dtype ? PyUnicode_AsUTF8(dtype) : nullptr;
        if (dtype_text == nullptr) PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected %s, got a %d-dimensional array of %s", p.name,
                     expected, PyArray_NDIM(array), dtype_text ? dtype_text : "another type");
        Py_XDECREF(dtype);
        return false;
    }
    if (!PyArray_ISNOTSWAPPED(array)) {
        PyErr_Format(
            PyExc_TypeError,
            "argument '%s': expected float64 in native byte order, got a byte-swapped array",
            p.name);
        return false;
    }
    return true;
}

// NumPy refuses to resize an array that is weakly referenced, and a view cannot be resized
// at all; so a weak reference to the array and to every array it takes its memory from
// keeps that memory in place until the references are dropped. (Creating one may run a
// garbage collection, and with it Python code: pin before borrowing.)
bool pin_array(PyObject* o, Value& v) {
    for (PyObject* a = o; a != nullptr && PyArray_Check(a);
         a = PyArray_BASE(reinterpret_cast<PyArrayObject*>(a))) {
        PyObject* ref = PyWeakref_NewRef(a, nullptr);
        if (ref == nullptr) return false;
        v.pins.emplace_back(ref);
    }
    return true;
}

// Borrows a checked, pinned array. Element strides when the data is aligned; otherwise
// (rare: unaligned or byte-level strides) a contiguous copy held by the Value.
void borrow_array(PyObject* o, int ndim, Value& v) {
    auto* array = reinterpret_cast<PyArrayObject*>(o);
    const npy_intp* shape = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    const auto* data = static_cast<const char*>(PyArray_DATA(array));
    bool usable = PyArray_ISALIGNED(array);
    for (int d = 0; d < ndim; ++d)
        usable = usable && strides[d] % static_cast<npy_intp>(sizeof(double)) == 0;
    const std::size_t rows = static_cast<std::size_t>(shape[0]);
    const std::size_t cols = ndim == 2 ? static_cast<std::size_t>(shape[1]) : 1;
    const double* base = reinterpret_cast<const double*>(data);
    std::ptrdiff_t s0 = strides[0] / static_cast<npy_intp>(sizeof(double));
    std::ptrdiff_t s1 = ndim == 2 ? strides[1] / static_cast<npy_intp>(sizeof(double)) : 1;
    if (!usable) {
        v.copy.resize(checked_mul(rows, cols));
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                const char* src = data + static_cast<npy_intp>(r) * strides[0] +
                                  (ndim == 2 ? static_cast<npy_intp>(c) * strides[1] : 0);
                std::memcpy(&v.copy[r * cols + c], src, sizeof(double));
            }
        }
        base = v.copy.data();
        s0 = static_cast<std::ptrdiff_t>(cols);
        s1 = 1;
    }
    if (ndim == 2) {
        v.matrix = MatrixView{base, rows, cols, s0, s1};
    } else {
        v.vector = VectorView{base, rows, s0};
    }
}

bool is_optional(Kind k) {
    return k == Kind::OptCount || k == Kind::OptText || k == Kind::OptVector;
}

// Converts everything but arrays, which are only checked and held here (borrowed later).
bool convert(PyObject* o, const Param& p, Value& v) {
    if (is_optional(p.kind) && o == Py_None) return true;  // absent
    v.present = true;
    switch (p.kind) {
        case Kind::Count:
        case Kind::OptCount:
            return convert_count(o, p, v);
        case Kind::Real:
            return convert_real(o, p, v);
        case Kind::Flag:
            if (o != Py_True && o != Py_False) return type_error(p.name, "bool", o);
            v.flag = o == Py_True;
            return true;
        case Kind::Text:
        case Kind::OptText:
            return convert_text(o, p, v);
        case Kind::Matrix:
        case Kind::Vector:
        case Kind::OptVector:
            if (!check_array(o, p)) return false;
            v.object = o;
            v.held = Ref(Py_NewRef(o));
            return true;
        case Kind::DecisionTree:
            if (DecisionTreeType == nullptr || !PyObject_TypeCheck(o, DecisionTreeType)) {
                return type_error(p.name, "DecisionTree", o);
            }
            v.object = o;
            v.held = Ref(Py_NewRef(o));
            return true;
    }
    return type_error(p.name, "a supported value", o);
}

}  // namespace

bool Args::parse(const Signature& sig, PyObject* args, PyObject* kwargs) {
    const auto& params = sig.params();
    if (params.size() > kMaxParams) {
        PyErr_SetString(PanicException, "too many parameters in a signature");
        return false;
    }
    PyObject* raw[kMaxParams] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, sig.format(), sig.keywords(), &raw[0], &raw[1],
                                     &raw[2], &raw[3], &raw[4], &raw[5], &raw[6], &raw[7], &raw[8],
                                     &raw[9], &raw[10], &raw[11], &raw[12], &raw[13], &raw[14],
                                     &raw[15])) {
        return false;
    }
    values_.clear();
    values_.resize(params.size());
    try {
        // In parameter order, so the first bad argument is the one reported.
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (raw[i] != nullptr && !convert(raw[i], params[i], values_[i])) return false;
        }
        const auto arrays = [&](auto&& step) {
            for (std::size_t i = 0; i < params.size(); ++i) {
                if (is_array(params[i].kind) && values_[i].object && !step(i)) return false;
            }
            return true;
        };
        if (!arrays([&](std::size_t i) { return pin_array(values_[i].object, values_[i]); })) {
            return false;
        }
        // The code the conversions and pins may have run can have changed an array's type
        // or shape in place: check again, then read the memory. Nothing below runs Python.
        if (!arrays([&](std::size_t i) {
                if (!check_array(values_[i].object, params[i])) return false;
                borrow_array(values_[i].object, rank_of(params[i].kind), values_[i]);
                return true;
            })) {
            return false;
        }
    } catch (...) {
        set_error_from_current_exception();
        return false;
    }
    return true;
}

std::optional<std::uint64_t> Args::opt_count(std::size_t i) const {
    return has(i) ? std::optional<std::uint64_t>(count(i)) : std::nullopt;
}

std::optional<std::string> Args::opt_text(std::size_t i) const {
    return has(i) ? std::optional<std::string>(text(i)) : std::nullopt;
}

std::optional<VectorView> Args::opt_vector(std::size_t i) const {
    return has(i) ? std::optional<VectorView>(vector(i)) : std::nullopt;
}

// ---- Errors -------------------------------------------------------------------------------

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PanicException, "Python error without an exception");
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetString(PanicException, "interrupted without an exception");
    } catch (const UserError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const StorageError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const InternalError& e) {
        PyErr_SetString(PanicException, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PanicException, "memory allocation failed");
    } catch (const std::exception& e) {
        PyErr_SetString(PanicException, e.what());
    } catch (...) {
        PyErr_SetString(PanicException, "unknown native failure");
    }
}

bool signal_raised(void*) { return PyErr_CheckSignals() != 0; }

// ---- Access --------------------------------------------------------------------------------

AccessGuard::AccessGuard(int& borrow, Access access)
    : borrow_(borrow), access_(access), ok_(false) {
    if (access == Access::Exclusive) {
        if (borrow != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        borrow = -1;
    } else {
        if (borrow < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        ++borrow;
    }
    ok_ = true;
}

AccessGuard::~AccessGuard() {
    if (!ok_) return;
    if (access_ == Access::Exclusive) {
        borrow_ = 0;
    } else {
        --borrow_;
    }
}

// ---- Results ---------------------------------------------------------------------------------

PyObject* none() { Py_RETURN_NONE; }
PyObject* to_py(double v) { return own(PyFloat_FromDouble(v)).release(); }
PyObject* to_py(bool v) { return PyBool_FromLong(v ? 1 : 0); }
PyObject* to_py(std::uint64_t v) { return own(PyLong_FromUnsignedLongLong(v)).release(); }
PyObject* to_py(std::int64_t v) { return own(PyLong_FromLongLong(v)).release(); }
PyObject* to_py(const std::string& v) {
    return own(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()))).release();
}

namespace {
template <class Seq>
PyObject* list_of(const Seq& items) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        poll_result_item(i);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(items[i]));
    }
    return list.release();
}
}  // namespace

PyObject* to_py(const std::vector<double>& v) { return list_of(v); }
PyObject* to_py(const std::vector<std::uint64_t>& v) { return list_of(v); }
PyObject* to_py(const std::vector<std::vector<double>>& v) { return list_of(v); }

Dict::Dict() : dict_(own(PyDict_New())) {}

Dict& Dict::set(const char* key, PyObject* new_ref) {
    Ref value = own(new_ref);
    if (PyDict_SetItemString(dict_.get(), key, value.get()) < 0) throw PythonError{};
    return *this;
}

// ---- Types ------------------------------------------------------------------------------------

PyTypeObject* make_type_impl(const char* qualified_name, const char* doc, int basicsize,
                             newfunc tp_new, destructor tp_dealloc, PyMethodDef* methods,
                             PyGetSetDef* getset) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace canopy::py
