#include "estimators/tree_shap.hpp"
#include "python/bindings.hpp"

namespace canopy::py {
namespace {

using Est = TreeShap;

PyMethodDef kMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_tree_shap_type() {
    return make_type<Est>("builtins.TreeSHAP", "TreeSHAP(tree, x_train, model_type)\n--\n\n",
                          nullptr, kMethods, kProperties);
}

}  // namespace canopy::py
