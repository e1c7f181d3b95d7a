// CanopyRegressor, CanopyClassifier and Canopy.
#include "estimators/boosting/canopy.hpp"
#include "python/bindings.hpp"

namespace canopy::py {
namespace {

using Reg = CanopyRegressor;
using Clf = CanopyClassifier;

// The thirteen arguments the three classes share, in the order of the regressor and the
// classifier; Canopy inserts `task` after min_samples_leaf.
std::vector<Param> boost_params(bool with_task) {
    std::vector<Param> p = {{"n_estimators", Kind::Count},      {"learning_rate", Kind::Real},
                            {"rf_n_estimators", Kind::Count},   {"rf_max_depth", Kind::OptCount},
                            {"rf_max_features", Kind::OptText}, {"bootstrap", Kind::Flag},
                            {"random_state", Kind::OptCount},   {"min_samples_split", Kind::Count},
                            {"min_samples_leaf", Kind::Count}};
    if (with_task) p.push_back({"task", Kind::Text});
    p.insert(p.end(), {{"use_histogram", Kind::Flag},
                       {"async_mode", Kind::Flag},
                       {"tol", Kind::Real},
                       {"n_jobs", Kind::OptCount}});
    return p;
}

std::vector<Param> regressor_params() {
    auto p = boost_params(false);
    p.push_back({"conformal_fraction", Kind::Real});
    return p;
}

const Signature kNewRegressor("CanopyRegressor", regressor_params());
const Signature kNewClassifier("CanopyClassifier", boost_params(false));
const Signature kNewCanopy("Canopy", boost_params(true));

// `skip` is the index of `task` in Canopy's list, so the later arguments shift by one.
BoostConfig boost_config(const Args& a, std::size_t shift) {
    BoostConfig c;
    c.n_estimators = a.count_or(0, 20);
    c.learning_rate = a.real_or(1, 0.1);
    c.rf_n_estimators = a.count_or(2, 20);
    c.rf_max_depth = a.opt_count(3);
    c.rf_max_features = a.opt_text(4);
    c.bootstrap = a.flag_or(5, true);
    c.random_state = a.opt_count(6);
    c.min_samples_split = a.count_or(7, 2);
    c.min_samples_leaf = a.count_or(8, 1);
    c.use_histogram = a.flag_or(9 + shift, true);
    c.async_mode = a.flag_or(10 + shift, false);
    c.tol = a.real_or(11 + shift, 1e-4);
    c.n_jobs = a.opt_count(12 + shift);
    return c;
}

Reg make_regressor(const Args& a) { return Reg(boost_config(a, 0), a.real_or(13, 0.2)); }
Clf make_classifier(const Args& a) { return Clf(boost_config(a, 0)); }
Canopy make_canopy(const Args& a) { return Canopy(boost_config(a, 1), a.text_or(9, "classification")); }

template <class E>
PyObject* n_estimators(const E& e) {
    return to_py(e.config.n_estimators);
}
template <class E>
PyObject* is_fitted(const E& e) {
    return to_py(e.is_fitted);
}
template <class E>
PyObject* trees_used(const E& e) {
    return to_py(e.trees_used);
}

PyMethodDef kNoMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef kNoMethodsClassifier[] = {
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef kNoMethodsCanopy[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kRegressorProperties[] = {
    {"n_estimators", getter<Reg, n_estimators<Reg>>, nullptr, nullptr, nullptr},
    {"is_fitted", getter<Reg, is_fitted<Reg>>, nullptr, nullptr, nullptr},
    {"trees_used", getter<Reg, trees_used<Reg>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kClassifierProperties[] = {
    {"n_estimators", getter<Clf, n_estimators<Clf>>, nullptr, nullptr, nullptr},
    {"n_classes", getter<Clf, [](const Clf& e) { return to_py(std::uint64_t{e.n_classes}); }>,
     nullptr, nullptr, nullptr},
    {"is_fitted", getter<Clf, is_fitted<Clf>>, nullptr, nullptr, nullptr},
    {"trees_used", getter<Clf, trees_used<Clf>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kCanopyProperties[] = {
    {"n_estimators",
     getter<Canopy, [](const Canopy& c) { return c.visit([](const auto& e) { return n_estimators(e); }); }>,
     nullptr, nullptr, nullptr},
    {"is_fitted",
     getter<Canopy, [](const Canopy& c) { return c.visit([](const auto& e) { return is_fitted(e); }); }>,
     nullptr, nullptr, nullptr},
    {"trees_used",
     getter<Canopy, [](const Canopy& c) { return c.visit([](const auto& e) { return trees_used(e); }); }>,
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_canopy_regressor_type() {
    return make_type<Reg>(
        "builtins.CanopyRegressor",
        "CanopyRegressor(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, "
        "rf_max_depth=None, rf_max_features=None, bootstrap=True, random_state=None, "
        "min_samples_split=2, min_samples_leaf=1, use_histogram=True, async_mode=False, "
        "tol=1e-4, n_jobs=None, conformal_fraction=0.2)\n--\n\n",
        construct<Reg, kNewRegressor, make_regressor>, kNoMethods, kRegressorProperties);
}

PyTypeObject* make_canopy_classifier_type() {
    return make_type<Clf>(
        "builtins.CanopyClassifier",
        "CanopyClassifier(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, "
        "rf_max_depth=None, rf_max_features=None, bootstrap=True, random_state=None, "
        "min_samples_split=2, min_samples_leaf=1, use_histogram=True, async_mode=False, "
        "tol=1e-4, n_jobs=None)\n--\n\n",
        construct<Clf, kNewClassifier, make_classifier>, kNoMethodsClassifier,
        kClassifierProperties);
}

PyTypeObject* make_canopy_type() {
    return make_type<Canopy>(
        "builtins.Canopy",
        "Canopy(n_estimators=20, learning_rate=0.1, rf_n_estimators=20, rf_max_depth=None, "
        "rf_max_features=None, bootstrap=True, random_state=None, min_samples_split=2, "
        "min_samples_leaf=1, task=\"classification\", use_histogram=True, async_mode=False, "
        "tol=1e-4, n_jobs=None)\n--\n\n",
        construct<Canopy, kNewCanopy, make_canopy>, kNoMethodsCanopy, kCanopyProperties);
}

}  // namespace canopy::py
