#include "estimators/unsupervised/forest.hpp"
#include "python/bindings.hpp"

namespace canopy::py {
namespace {

using Est = RandomForestUnsupervised;

const Signature kNew("RandomForestUnsupervised", {{"n_estimators", Kind::Count},
                                                  {"max_depth", Kind::OptCount},
                                                  {"max_features", Kind::OptText},
                                                  {"random_state", Kind::OptCount},
                                                  {"min_samples_split", Kind::Count},
                                                  {"min_samples_leaf", Kind::Count},
                                                  {"n_jobs", Kind::OptCount},
                                                  {"n_neighbors", Kind::OptCount}});

Est make(const Args& a) {
    return Est(UnsupervisedConfig{a.count_or(0, 500), a.opt_count(1), a.opt_text(2),
                                  a.opt_count(3), a.count_or(4, 2), a.count_or(5, 1),
                                  a.opt_count(6), a.count_or(7, 0)});
}

PyMethodDef kMethods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"n_estimators_", getter<Est, [](const Est& e) { return to_py(e.config.n_estimators); }>,
     nullptr, nullptr, nullptr},
    {"is_fitted_", getter<Est, [](const Est& e) { return to_py(e.is_fitted); }>, nullptr, nullptr,
     nullptr},
    {"n_samples_", getter<Est, [](const Est& e) { return to_py(std::uint64_t{e.n_samples}); }>,
     nullptr, nullptr, nullptr},
    {"n_features_", getter<Est, [](const Est& e) { return to_py(std::uint64_t{e.n_features()}); }>,
     nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_random_forest_unsupervised_type() {
    return make_type<Est>(
        "builtins.RandomForestUnsupervised",
        "RandomForestUnsupervised(n_estimators=500, max_depth=None, max_features=None, "
        "random_state=None, min_samples_split=2, min_samples_leaf=1, n_jobs=None, "
        "n_neighbors=None)\n--\n\n",
        construct<Est, kNew, make>, kMethods, kProperties);
}

}  // namespace canopy::py
