#include "estimators/decision_tree.hpp"
#include "python/bindings.hpp"

namespace canopy::py {
namespace {

using Est = DecisionTree;

const Signature kNew("DecisionTree", {{"max_depth", Kind::OptCount},
                                      {"criterion", Kind::Text},
                                      {"task", Kind::Text},
                                      {"random_state", Kind::OptCount},
                                      {"min_samples_split", Kind::Count},
                                      {"min_samples_leaf", Kind::Count}});
const Signature kNoArgs_get_depth("get_depth", {});
const Signature kNoArgs_get_n_leaves("get_n_leaves", {});

Est make(const Args& a) {
    return Est(DecisionTreeConfig{a.opt_count(0), a.text_or(1, "entropy"),
                                  a.text_or(2, "classification"), a.opt_count(3),
                                  a.count_or(4, 2), a.count_or(5, 1)});
}

PyMethodDef kMethods[] = {
    {"get_depth",
     cfunc(method<Est, kNoArgs_get_depth, Access::Shared,
                  [](Est& e, const Args&) { return to_py(std::uint64_t{e.get_depth()}); }>),
     METH_VARARGS | METH_KEYWORDS, "get_depth($self)\n--\n\n"},
    {"get_n_leaves",
     cfunc(method<Est, kNoArgs_get_n_leaves, Access::Shared,
                  [](Est& e, const Args&) { return to_py(std::uint64_t{e.get_n_leaves()}); }>),
     METH_VARARGS | METH_KEYWORDS, "get_n_leaves($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"classes_", getter<Est, [](const Est& e) { return to_py(e.classes); }>, nullptr, nullptr,
     nullptr},
    {"is_fitted", getter<Est, [](const Est& e) { return to_py(e.is_fitted); }>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_decision_tree_type() {
    return make_type<Est>(
        "builtins.DecisionTree",
        "DecisionTree(max_depth=None, criterion=\"entropy\", task=\"classification\", "
        "random_state=None, min_samples_split=2, min_samples_leaf=1)\n--\n\n",
        construct<Est, kNew, make>, kMethods, kProperties);
}

}  // namespace canopy::py
