// Module initialisation: the PanicException type and the eight classes, in order.
#define CANOPY_NUMPY_IMPORT
#include "python/numpy_api.hpp"
#include "python/bindings.hpp"

namespace canopy::py {
namespace {

bool g_initialised = false;

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_rs", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

struct ClassEntry {
    const char* name;
    PyTypeObject* (*make)();
};

const ClassEntry kClasses[] = {
    {"DecisionTree", make_decision_tree_type},
    {"RandomForestRegressor", make_random_forest_regressor_type},
    {"RandomForestClassifier", make_random_forest_classifier_type},
    {"TreeSHAP", make_tree_shap_type},
    {"Canopy", make_canopy_type},
    {"CanopyClassifier", make_canopy_classifier_type},
    {"CanopyRegressor", make_canopy_regressor_type},
    {"RandomForestUnsupervised", make_random_forest_unsupervised_type},
};

// Adds the class under its name and appends the name to __all__.
bool register_class(PyObject* module, PyObject* all, const ClassEntry& entry) {
    PyObject* type = reinterpret_cast<PyObject*>(entry.make());
    if (type == nullptr) return false;
    if (entry.make == make_decision_tree_type) {
        Py_INCREF(type);
        DecisionTreeType = reinterpret_cast<PyTypeObject*>(type);
    }
    if (PyModule_AddObject(module, entry.name, type) < 0) {
        Py_DECREF(type);
        return false;
    }
    PyObject* name = PyUnicode_FromString(entry.name);
    if (name == nullptr) return false;
    const int appended = PyList_Append(all, name);
    Py_DECREF(name);
    return appended == 0;
}

PyObject* init_module() {
    if (g_initialised) {
        PyErr_SetString(PyExc_ImportError,
                        "canopy._rs can only be initialised once per interpreter process");
        return nullptr;
    }
    import_array1(nullptr);
    PyObject* module = PyModule_Create(&g_module);
    if (module == nullptr) return nullptr;
    PanicException = PyErr_NewExceptionWithDoc(
        "canopy._rs.PanicException",
        "Raised when a native call is aborted by an internal error.", PyExc_BaseException, nullptr);
    if (PanicException == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    Py_INCREF(PanicException);
    if (PyModule_AddObject(module, "PanicException", PanicException) < 0) {
        Py_DECREF(PanicException);
        Py_DECREF(module);
        return nullptr;
    }
    PyObject* all = PyList_New(0);
    if (all == nullptr || PyModule_AddObject(module, "__all__", all) < 0) {
        Py_XDECREF(all);
        Py_DECREF(module);
        return nullptr;
    }
    for (const ClassEntry& entry : kClasses) {
        if (!register_class(module, all, entry)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    g_initialised = true;
    return module;
}

}  // namespace
}  // namespace canopy::py

PyMODINIT_FUNC PyInit__rs() { return canopy::py::init_module(); }
