// CanopyRegressor, CanopyClassifier and Canopy.
#include "estimators/boosting/canopy.hpp"
#include "estimators/boosting/export.hpp"
#include "python/bindings.hpp"
#include "python/config_table.hpp"

namespace canopy::py {
namespace {

using Reg = CanopyRegressor;
using Clf = CanopyClassifier;

// The constructor arguments of each class: the shared configuration, plus the held-out
// share of the regressor and the task of Canopy.
struct RegressorArgs : BoostConfig {
    double conformal_fraction = kDefaultConformalFraction;
};
struct CanopyArgs : BoostConfig {
    std::string task = "classification";
};

// The thirteen keywords the three classes share, in order; `after_leaf` goes between
// min_samples_leaf and use_histogram, `last` at the end.
template <class Config>
Fields<Config> boost_fields(Fields<Config> after_leaf, Fields<Config> last) {
    Fields<Config> f = {
        CANOPY_FIELD(Config, n_estimators),    CANOPY_FIELD(Config, learning_rate),
        CANOPY_FIELD(Config, rf_n_estimators), CANOPY_FIELD(Config, rf_max_depth),
        CANOPY_FIELD(Config, rf_max_features), CANOPY_FIELD(Config, bootstrap),
        CANOPY_FIELD(Config, random_state),    CANOPY_FIELD(Config, min_samples_split),
        CANOPY_FIELD(Config, min_samples_leaf)};
    f.insert(f.end(), after_leaf.begin(), after_leaf.end());
    f.insert(f.end(), {CANOPY_FIELD(Config, use_histogram), CANOPY_FIELD(Config, async_mode),
                       CANOPY_FIELD(Config, tol), CANOPY_FIELD(Config, n_jobs)});
    f.insert(f.end(), last.begin(), last.end());
    return f;
}

const Fields<RegressorArgs> kRegressorFields =
    boost_fields<RegressorArgs>({}, {CANOPY_FIELD(RegressorArgs, conformal_fraction)});
const Fields<BoostConfig> kClassifierFields = boost_fields<BoostConfig>({}, {});
const Fields<CanopyArgs> kCanopyFields =
    boost_fields<CanopyArgs>({CANOPY_FIELD(CanopyArgs, task)}, {});

const Signature kNewRegressor("CanopyRegressor", params_of(kRegressorFields));
const Signature kNewClassifier("CanopyClassifier", params_of(kClassifierFields));
const Signature kNewCanopy("Canopy", params_of(kCanopyFields));
const std::string kRegressorDoc = text_signature("CanopyRegressor", kRegressorFields);
const std::string kClassifierDoc = text_signature("CanopyClassifier", kClassifierFields);
const std::string kCanopyDoc = text_signature("Canopy", kCanopyFields);

Reg make_regressor(const Args& a) {
    const RegressorArgs c = read_config(kRegressorFields, a);
    return Reg(c, c.conformal_fraction);
}
Clf make_classifier(const Args& a) { return Clf(read_config(kClassifierFields, a)); }
Canopy make_canopy(const Args& a) {
    const CanopyArgs c = read_config(kCanopyFields, a);
    return Canopy(c, c.task);
}

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

// ---- Results ------------------------------------------------------------------------------

template <class T, class Convert>
PyObject* list_from(const std::vector<T>& items, Convert convert) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        poll_result_item(i);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]));
    }
    return list.release();
}

PyObject* intervals_to_py(const std::vector<Interval>& rows) {
    return list_from(rows, [](const Interval& iv) {
        Ref pair = own(PyList_New(2));
        PyList_SET_ITEM(pair.get(), 0, to_py(iv[0]));
        PyList_SET_ITEM(pair.get(), 1, to_py(iv[1]));
        return pair.release();
    });
}

PyObject* flat_tree_to_py(const ExportedTree& t) {
    auto ints = [](const std::vector<std::int64_t>& v) {
        return list_from(v, [](std::int64_t i) { return to_py(i); });
    };
    Dict d;
    d.set("children_left", ints(t.children_left));
    d.set("children_right", ints(t.children_right));
    d.set("feature", ints(t.feature));
    d.set("threshold", to_py(t.threshold));
    d.set("value", to_py(t.value));
    return d.release();
}

PyObject* rounds_to_py(const std::vector<Forest>& forests, std::size_t per_round) {
    const ExportedRounds rounds = build_rounds(forests, per_round);
    return list_from(rounds, [](const std::vector<std::vector<ExportedTree>>& outputs) {
        Dict round;
        round.set("outputs", list_from(outputs, [](const std::vector<ExportedTree>& trees) {
                      Dict output;
                      output.set("trees", list_from(trees, flat_tree_to_py));
                      return output.release();
                  }));
        return round.release();
    });
}

PyObject* regressor_dict(const Reg& e) {
    e.require_fitted();
    Dict d;
    d.set("task", to_py(std::string("regression")));
    d.set("n_outputs", to_py(std::uint64_t{1}));
    d.set("learning_rate", to_py(e.config.learning_rate));
    d.set("init", to_py(std::vector<double>{e.init_prediction}));
    d.set("n_estimators", to_py(std::uint64_t{e.forests.size()}));
    d.set("conformal_quantile", to_py(e.conformal_quantile));
    d.set("rounds", rounds_to_py(e.forests, 1));
    return d.release();
}

PyObject* classifier_dict(const Clf& e) {
    e.require_fitted();
    const std::size_t k = e.n_outputs();
    Dict d;
    d.set("task", to_py(std::string(k == 1 ? "binary" : "multiclass")));
    d.set("n_outputs", to_py(std::uint64_t{k}));
    d.set("n_classes", to_py(std::uint64_t{e.n_classes}));
    d.set("learning_rate", to_py(e.config.learning_rate));
    d.set("init", to_py(e.init_scores));
    d.set("n_estimators", to_py(std::uint64_t{k == 0 ? 0 : e.forests.size() / k}));
    d.set("rounds", rounds_to_py(e.forests, k));
    return d.release();
}

// ---- Method signatures ----------------------------------------------------------------------

#define BOOST_SIGNATURES(prefix, name)                                                            \
    const Signature prefix##Fit("fit", {{"x", Kind::Matrix, true},                                \
                                        {"y", Kind::Vector, true},                                \
                                        {"sample_weight", Kind::OptVector}});                     \
    const Signature prefix##Predict("predict", {{"x", Kind::Matrix, true}});                      \
    const Signature prefix##PredictProba("predict_proba", {{"x", Kind::Matrix, true}});           \
    const Signature prefix##PredictCi("predict_ci", {{"x", Kind::Matrix, true},                   \
                                                     {"alpha", Kind::Real}});                     \
    const Signature prefix##Importances("feature_importances", {});                               \
    const Signature prefix##ToDict("to_dict", {});

BOOST_SIGNATURES(kReg, "CanopyRegressor")
BOOST_SIGNATURES(kClf, "CanopyClassifier")
BOOST_SIGNATURES(kCan, "Canopy")
#undef BOOST_SIGNATURES

template <class E>
PyObject* do_fit(E& e, const Args& a) {
    e.fit(a.matrix(0), a.vector(1), a.opt_vector(2));
    return none();
}
template <class E>
PyObject* do_predict(E& e, const Args& a) {
    return to_py(e.predict(a.matrix(0)));
}
template <class E>
PyObject* do_predict_proba(E& e, const Args& a) {
    return to_py(e.predict_proba(a.matrix(0)));
}
template <class E>
PyObject* do_predict_ci(E& e, const Args& a) {
    return intervals_to_py(e.predict_ci(a.matrix(0), a.real_or(1, 0.05)));
}
template <class E>
PyObject* do_importances(E& e, const Args&) {
    return to_py(e.feature_importances());
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;
constexpr const char* kFitDoc = "fit($self, x, y, sample_weight=None)\n--\n\n";
constexpr const char* kPredictDoc = "predict($self, x)\n--\n\n";
constexpr const char* kPredictProbaDoc = "predict_proba($self, x)\n--\n\n";
constexpr const char* kImportancesDoc = "feature_importances($self)\n--\n\n";
constexpr const char* kToDictDoc = "to_dict($self)\n--\n\n";

PyMethodDef kRegressorMethods[] = {
    {"fit", cfunc(method<Reg, kRegFit, Access::Exclusive, do_fit<Reg>>), kFlags, kFitDoc},
    {"predict", cfunc(method<Reg, kRegPredict, Access::Shared, do_predict<Reg>>), kFlags,
     kPredictDoc},
    {"predict_ci", cfunc(method<Reg, kRegPredictCi, Access::Shared, do_predict_ci<Reg>>), kFlags,
     "predict_ci($self, x, alpha=0.05)\n--\n\nConfidence intervals via split conformal "
     "prediction.\nGuarantees (1-alpha) coverage on exchangeable data.\nThe conformal quantile "
     "is calibrated on a held-out calibration set during fit."},
    {"feature_importances",
     cfunc(method<Reg, kRegImportances, Access::Shared, do_importances<Reg>>), kFlags,
     kImportancesDoc},
    {"to_dict",
     cfunc(method<Reg, kRegToDict, Access::Shared,
                  [](Reg& e, const Args&) { return regressor_dict(e); }>),
     kFlags, kToDictDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kClassifierMethods[] = {
    {"fit", cfunc(method<Clf, kClfFit, Access::Exclusive, do_fit<Clf>>), kFlags, kFitDoc},
    {"predict", cfunc(method<Clf, kClfPredict, Access::Shared, do_predict<Clf>>), kFlags,
     kPredictDoc},
    {"predict_proba", cfunc(method<Clf, kClfPredictProba, Access::Shared, do_predict_proba<Clf>>),
     kFlags, kPredictProbaDoc},
    {"predict_ci", cfunc(method<Clf, kClfPredictCi, Access::Shared, do_predict_ci<Clf>>), kFlags,
     "predict_ci($self, x, alpha=0.05)\n--\n\nWilson score confidence interval on the predicted "
     "probability.\nTreats each tree's leaf probability as a binomial trial and\ncomputes the "
     "Wilson interval on the ensemble average."},
    {"feature_importances",
     cfunc(method<Clf, kClfImportances, Access::Shared, do_importances<Clf>>), kFlags,
     kImportancesDoc},
    {"to_dict",
     cfunc(method<Clf, kClfToDict, Access::Shared,
                  [](Clf& e, const Args&) { return classifier_dict(e); }>),
     kFlags, kToDictDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kCanopyMethods[] = {
    {"fit", cfunc(method<Canopy, kCanFit, Access::Exclusive, do_fit<Canopy>>), kFlags, kFitDoc},
    {"predict", cfunc(method<Canopy, kCanPredict, Access::Shared, do_predict<Canopy>>), kFlags,
     kPredictDoc},
    {"predict_proba",
     cfunc(method<Canopy, kCanPredictProba, Access::Shared, do_predict_proba<Canopy>>), kFlags,
     kPredictProbaDoc},
    {"predict_ci", cfunc(method<Canopy, kCanPredictCi, Access::Shared, do_predict_ci<Canopy>>),
     kFlags, "predict_ci($self, x, alpha=0.05)\n--\n\n"},
    {"feature_importances",
     cfunc(method<Canopy, kCanImportances, Access::Shared, do_importances<Canopy>>), kFlags,
     kImportancesDoc},
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
     getter<Canopy,
            [](const Canopy& c) { return c.visit([](const auto& e) { return n_estimators(e); }); }>,
     nullptr, nullptr, nullptr},
    {"is_fitted",
     getter<Canopy,
            [](const Canopy& c) { return c.visit([](const auto& e) { return is_fitted(e); }); }>,
     nullptr, nullptr, nullptr},
    {"trees_used",
     getter<Canopy,
            [](const Canopy& c) { return c.visit([](const auto& e) { return trees_used(e); }); }>,
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_canopy_regressor_type() {
    return make_type<Reg>("builtins.CanopyRegressor", kRegressorDoc.c_str(),
                          construct<Reg, kNewRegressor, make_regressor>, kRegressorMethods,
                          kRegressorProperties);
}

PyTypeObject* make_canopy_classifier_type() {
    return make_type<Clf>("builtins.CanopyClassifier", kClassifierDoc.c_str(),
                          construct<Clf, kNewClassifier, make_classifier>, kClassifierMethods,
                          kClassifierProperties);
}

PyTypeObject* make_canopy_type() {
    return make_type<Canopy>("builtins.Canopy", kCanopyDoc.c_str(),
                             construct<Canopy, kNewCanopy, make_canopy>, kCanopyMethods,
                             kCanopyProperties);
}

}  // namespace canopy::py
