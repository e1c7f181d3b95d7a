#include "estimators/random_forest.hpp"
#include "python/bindings.hpp"
#include "python/config_table.hpp"

namespace canopy::py {
namespace {

using Reg = RandomForestRegressor;
using Clf = RandomForestClassifier;

// The classifier grows more trees unless told otherwise; everything else is shared.
struct ClassifierConfig : ForestConfig {
    ClassifierConfig() { n_estimators = 100; }
};

template <class Config>
Fields<Config> forest_fields() {
    return {CANOPY_FIELD(Config, n_estimators),    CANOPY_FIELD(Config, max_depth),
            CANOPY_FIELD(Config, max_features),    CANOPY_FIELD(Config, bootstrap),
            CANOPY_FIELD(Config, random_state),    CANOPY_FIELD(Config, min_samples_split),
            CANOPY_FIELD(Config, min_samples_leaf)};
}

const Fields<ForestConfig> kRegressorFields = forest_fields<ForestConfig>();
const Fields<ClassifierConfig> kClassifierFields = forest_fields<ClassifierConfig>();
const Signature kNewRegressor("RandomForestRegressor", params_of(kRegressorFields));
const Signature kNewClassifier("RandomForestClassifier", params_of(kClassifierFields));
const std::string kRegressorDoc = text_signature("RandomForestRegressor", kRegressorFields);
const std::string kClassifierDoc = text_signature("RandomForestClassifier", kClassifierFields);
const Signature kGetInfo("get_info", {});
const Signature kFit("fit", {{"x", Kind::Matrix, true},
                             {"y", Kind::Vector, true},
                             {"sample_weight", Kind::OptVector}});
const Signature kPredict("predict", {{"x", Kind::Matrix, true}});
const Signature kPredictProba("predict_proba", {{"x", Kind::Matrix, true}});
const Signature kScore("score", {{"x", Kind::Matrix, true}, {"y", Kind::Vector, true}});

Reg make_regressor(const Args& a) { return Reg(read_config(kRegressorFields, a)); }
Clf make_classifier(const Args& a) { return Clf(read_config(kClassifierFields, a)); }

PyObject* regressor_info(Reg& e, const Args&) {
    Dict d;
    d.set("n_estimators", to_py(e.config.n_estimators));
    d.set("is_fitted", to_py(std::int64_t{e.is_fitted ? 1 : 0}));
    return d.release();
}

PyObject* classifier_info(Clf& e, const Args&) {
    Dict d;
    d.set("n_estimators", to_py(e.config.n_estimators));
    d.set("n_classes", to_py(std::uint64_t{e.n_classes}));
    d.set("is_fitted", to_py(std::int64_t{e.is_fitted ? 1 : 0}));
    return d.release();
}

template <class Est>
PyObject* fit(Est& e, const Args& a) {
    e.fit(a.matrix(0), a.vector(1), a.opt_vector(2));
    return none();
}

template <class Est>
PyObject* predict(Est& e, const Args& a) {
    return to_py(e.predict(a.matrix(0)));
}

PyObject* predict_proba(Clf& e, const Args& a) { return to_py(e.predict_proba(a.matrix(0))); }
PyObject* score(Clf& e, const Args& a) { return to_py(e.score(a.matrix(0), a.vector(1))); }

PyMethodDef kRegressorMethods[] = {
    {"fit", cfunc(method<Reg, kFit, Access::Exclusive, fit<Reg>>), METH_VARARGS | METH_KEYWORDS,
     "fit($self, x, y, sample_weight=None)\n--\n\n"},
    {"predict", cfunc(method<Reg, kPredict, Access::Shared, predict<Reg>>),
     METH_VARARGS | METH_KEYWORDS, "predict($self, x)\n--\n\n"},
    {"get_info", cfunc(method<Reg, kGetInfo, Access::Shared, regressor_info>),
     METH_VARARGS | METH_KEYWORDS, "get_info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kClassifierMethods[] = {
    {"fit", cfunc(method<Clf, kFit, Access::Exclusive, fit<Clf>>), METH_VARARGS | METH_KEYWORDS,
     "fit($self, x, y, sample_weight=None)\n--\n\n"},
    {"predict", cfunc(method<Clf, kPredict, Access::Shared, predict<Clf>>),
     METH_VARARGS | METH_KEYWORDS, "predict($self, x)\n--\n\n"},
    {"predict_proba", cfunc(method<Clf, kPredictProba, Access::Shared, predict_proba>),
     METH_VARARGS | METH_KEYWORDS, "predict_proba($self, x)\n--\n\n"},
    {"score", cfunc(method<Clf, kScore, Access::Shared, score>), METH_VARARGS | METH_KEYWORDS,
     "score($self, x, y)\n--\n\n"},
    {"get_info", cfunc(method<Clf, kGetInfo, Access::Shared, classifier_info>),
     METH_VARARGS | METH_KEYWORDS, "get_info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kRegressorProperties[] = {
    {"n_estimators", getter<Reg, [](const Reg& e) { return to_py(e.config.n_estimators); }>,
     nullptr, nullptr, nullptr},
    {"is_fitted", getter<Reg, [](const Reg& e) { return to_py(e.is_fitted); }>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kClassifierProperties[] = {
    {"n_estimators", getter<Clf, [](const Clf& e) { return to_py(e.config.n_estimators); }>,
     nullptr, nullptr, nullptr},
    {"n_classes", getter<Clf, [](const Clf& e) { return to_py(std::uint64_t{e.n_classes}); }>,
     nullptr, nullptr, nullptr},
    {"classes_", getter<Clf, [](const Clf& e) { return to_py(e.classes); }>, nullptr, nullptr,
     nullptr},
    {"is_fitted", getter<Clf, [](const Clf& e) { return to_py(e.is_fitted); }>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_random_forest_regressor_type() {
    return make_type<Reg>("builtins.RandomForestRegressor", kRegressorDoc.c_str(),
                          construct<Reg, kNewRegressor, make_regressor>, kRegressorMethods,
                          kRegressorProperties);
}

PyTypeObject* make_random_forest_classifier_type() {
    return make_type<Clf>("builtins.RandomForestClassifier", kClassifierDoc.c_str(),
                          construct<Clf, kNewClassifier, make_classifier>, kClassifierMethods,
                          kClassifierProperties);
}

}  // namespace canopy::py
