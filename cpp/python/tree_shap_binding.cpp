#include "estimators/tree_shap.hpp"
#include "python/bindings.hpp"

namespace canopy::py {
namespace {

using Est = TreeShap;

const Signature kNew("TreeSHAP", {{"tree", Kind::DecisionTree, true},
                                  {"x_train", Kind::Matrix, true},
                                  {"model_type", Kind::Text, true}});
const Signature kExplain("explain", {{"x", Kind::Matrix, true}});

// The tree is only read while it is copied, so shared access suffices; a tree in the middle
// of a fit (re-entrant use) is refused rather than copied half-grown.
Est make(const Args& a) {
    PyObject* tree = a.object(0);
    AccessGuard guard(reinterpret_cast<Boxed<DecisionTree>*>(tree)->borrow, Access::Shared);
    if (!guard.ok()) throw PythonError{};
    return Est(receiver<DecisionTree>(tree), a.matrix(1), a.text(2));
}

PyObject* nested(const std::vector<std::vector<std::vector<double>>>& rows) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(rows[i]));
    }
    return list.release();
}

PyMethodDef kMethods[] = {
    {"explain",
     cfunc(method<Est, kExplain, Access::Shared,
                  [](Est& e, const Args& a) { return nested(e.explain(a.matrix(0))); }>),
     METH_VARARGS | METH_KEYWORDS, "explain($self, x)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_tree_shap_type() {
    return make_type<Est>("builtins.TreeSHAP", "TreeSHAP(tree, x_train, model_type)\n--\n\n",
                          construct<Est, kNew, make>, kMethods, kProperties);
}

}  // namespace canopy::py
