#include "estimators/decision_tree.hpp"
#include "python/bindings.hpp"
#include "python/config_table.hpp"

namespace canopy::py {
namespace {

using Est = DecisionTree;

using Config = DecisionTreeConfig;
const Fields<Config> kFields = {CANOPY_FIELD(Config, max_depth),
                                CANOPY_FIELD(Config, criterion),
                                CANOPY_FIELD(Config, task),
                                CANOPY_FIELD(Config, random_state),
                                CANOPY_FIELD(Config, min_samples_split),
                                CANOPY_FIELD(Config, min_samples_leaf)};
const Signature kNew("DecisionTree", params_of(kFields));
const std::string kDoc = text_signature("DecisionTree", kFields);
const Signature kFit("fit", {{"x", Kind::Matrix, true},
                             {"y", Kind::Vector, true},
                             {"sample_weight", Kind::OptVector}});
const Signature kPredict("predict", {{"x", Kind::Matrix, true}});
const Signature kPredictProba("predict_proba", {{"x", Kind::Matrix, true}});
const Signature kNoArgs_get_depth("get_depth", {});
const Signature kNoArgs_get_n_leaves("get_n_leaves", {});

Est make(const Args& a) { return Est(read_config(kFields, a)); }

PyObject* fit(Est& e, const Args& a) {
    e.fit(a.matrix(0), a.vector(1), a.opt_vector(2));
    return none();
}

PyMethodDef kMethods[] = {
    {"fit", cfunc(method<Est, kFit, Access::Exclusive, fit>), METH_VARARGS | METH_KEYWORDS,
     "fit($self, x, y, sample_weight=None)\n--\n\n"},
    {"predict",
     cfunc(method<Est, kPredict, Access::Shared,
                  [](Est& e, const Args& a) { return to_py(e.predict(a.matrix(0))); }>),
     METH_VARARGS | METH_KEYWORDS, "predict($self, x)\n--\n\n"},
    {"predict_proba",
     cfunc(method<Est, kPredictProba, Access::Shared,
                  [](Est& e, const Args& a) { return to_py(e.predict_proba(a.matrix(0))); }>),
     METH_VARARGS | METH_KEYWORDS, "predict_proba($self, x)\n--\n\n"},
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
    return make_type<Est>("builtins.DecisionTree", kDoc.c_str(), construct<Est, kNew, make>,
                          kMethods, kProperties);
}

}  // namespace canopy::py
