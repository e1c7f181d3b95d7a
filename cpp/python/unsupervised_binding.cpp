#include <cmath>

#include "estimators/unsupervised/forest.hpp"
#include "python/bindings.hpp"
#include "python/config_table.hpp"

namespace canopy::py {
namespace {

using Est = RandomForestUnsupervised;

using Config = UnsupervisedConfig;

// n_neighbors is stored as a count, None as 0 (the default), but shown and accepted as None.
Field<Config> n_neighbors_field() {
    return {Param{"n_neighbors", Kind::OptCount},
            [](const Args& a, std::size_t i, Config& c) {
                if (a.has(i)) c.n_neighbors = a.count(i);
            },
            [](const Config&) { return std::string("None"); }};
}

const Fields<Config> kFields = {CANOPY_FIELD(Config, n_estimators),
                                CANOPY_FIELD(Config, max_depth),
                                CANOPY_FIELD(Config, max_features),
                                CANOPY_FIELD(Config, random_state),
                                CANOPY_FIELD(Config, min_samples_split),
                                CANOPY_FIELD(Config, min_samples_leaf),
                                CANOPY_FIELD(Config, n_jobs),
                                n_neighbors_field()};
const Signature kNew("RandomForestUnsupervised", params_of(kFields));
const std::string kDoc = text_signature("RandomForestUnsupervised", kFields);

const Signature kFit("fit", {{"x", Kind::Matrix, true}});
const Signature kProximityMatrix("proximity_matrix", {{"use_oob", Kind::Flag}});
const Signature kProximitySparse("proximity_sparse", {{"k", Kind::OptCount}});
const Signature kPredictProximity("predict_proximity", {{"x_new", Kind::Matrix, true}});
const Signature kOutlierScores("outlier_scores", {{"use_sparse", Kind::Flag}});
const Signature kPredictOutlierScores("predict_outlier_scores", {{"x_new", Kind::Matrix, true}});
const Signature kTransform("transform", {{"n_components", Kind::Count}});
const Signature kFitTransform("fit_transform",
                              {{"x", Kind::Matrix, true}, {"n_components", Kind::Count}});
const Signature kFeatureImportances("feature_importances", {});

// A row-major matrix as a list of row lists (rows are kept even when there are no columns).
// Entries of +0.0, common in proximities and embeddings, share one float object.
PyObject* rows_to_py(const Matrix& m) {
    Ref zero = own(PyFloat_FromDouble(0.0));
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(m.rows)));
    for (std::size_t i = 0; i < m.rows; ++i) {
        poll_result();  // a row may hold a value per training row
        Ref row = own(PyList_New(static_cast<Py_ssize_t>(m.cols)));
        for (std::size_t j = 0; j < m.cols; ++j) {
            const double v = m(i, j);
            PyObject* item = v == 0.0 && !std::signbit(v) ? Py_NewRef(zero.get()) : to_py(v);
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(j), item);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return list.release();
}

// One list of (neighbour, proximity) tuples per training row.
PyObject* sparse_to_py(const std::vector<SparseProximityRow>& rows) {
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        poll_result_item(i);
        Ref row = own(PyList_New(static_cast<Py_ssize_t>(rows[i].size())));
        for (std::size_t k = 0; k < rows[i].size(); ++k) {
            Ref j = own(to_py(std::uint64_t{rows[i][k].first}));
            Ref p = own(to_py(rows[i][k].second));
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(k),
                            own(PyTuple_Pack(2, j.get(), p.get())).release());
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return list.release();
}

Est make(const Args& a) { return Est(read_config(kFields, a)); }

constexpr int kCall = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"fit",
     cfunc(method<Est, kFit, Access::Exclusive,
                  [](Est& e, const Args& a) {
                      e.fit(a.matrix(0));
                      return none();
                  }>),
     kCall,
     "fit($self, x)\n--\n\n"
     "Fit the unsupervised random forest using Breiman's synthetic data method.\n"
     "Creates a synthetic dataset by permuting each feature independently,\n"
     "labels original data as class 1 and synthetic as class 0,\n"
     "then trains a classification RF."},
    {"proximity_matrix",
     cfunc(method<Est, kProximityMatrix, Access::Shared,
                  [](Est& e, const Args& a) {
                      return rows_to_py(e.proximity_matrix(a.flag_or(0, true)));
                  }>),
     kCall,
     "proximity_matrix($self, use_oob=True)\n--\n\n"
     "Compute the proximity matrix (n x n) using OOB-based method.\n"
     "Following Breiman: proximity is computed only when at least one sample is OOB.\n"
     "prox(i, j) = (weighted count of co-occurrences) / (number of valid comparisons)"},
    {"proximity_sparse",
     cfunc(method<Est, kProximitySparse, Access::Exclusive,
                  [](Est& e, const Args& a) {
                      return sparse_to_py(e.proximity_sparse(a.opt_count(0)));
                  }>),
     kCall,
     "proximity_sparse($self, k=None)\n--\n\n"
     "Compute sparse proximity (k nearest neighbors per sample).\n"
     "More memory efficient for large datasets.\n"
     "Returns list of (neighbor_index, proximity) tuples per sample."},
    {"predict_proximity",
     cfunc(method<Est, kPredictProximity, Access::Shared,
                  [](Est& e, const Args& a) {
                      return rows_to_py(e.predict_proximity(a.matrix(0)));
                  }>),
     kCall,
     "predict_proximity($self, x_new)\n--\n\n"
     "Compute proximity of new samples to training samples.\n"
     "Returns (n_new, n_train) proximity matrix."},
    {"outlier_scores",
     cfunc(method<Est, kOutlierScores, Access::Shared,
                  [](Est& e, const Args& a) {
                      return to_py(e.outlier_scores(a.flag_or(0, false)));
                  }>),
     kCall,
     "outlier_scores($self, use_sparse=False)\n--\n\n"
     "Compute outlier scores following Breiman's method.\n"
     "outlier(n) = n / sum(prox(n, k)^2) for all k, then standardized\n"
     "by (score - median) / MAD.\n"
     "Higher values = more outlier."},
    {"predict_outlier_scores",
     cfunc(method<Est, kPredictOutlierScores, Access::Shared,
                  [](Est& e, const Args& a) {
                      return to_py(e.predict_outlier_scores(a.matrix(0)));
                  }>),
     kCall,
     "predict_outlier_scores($self, x_new)\n--\n\n"
     "Get outlier scores for new samples based on proximity to training data."},
    {"transform",
     cfunc(method<Est, kTransform, Access::Shared,
                  [](Est& e, const Args& a) { return rows_to_py(e.transform(a.count_or(0, 2))); }>),
     kCall,
     "transform($self, n_components=2)\n--\n\n"
     "Compute low-dimensional embedding via classical MDS on the proximity matrix.\n"
     "Follows Breiman's myscale subroutine: power iteration on double-centered\n"
     "proximity matrix to find eigenvalues/eigenvectors."},
    {"fit_transform",
     cfunc(method<Est, kFitTransform, Access::Exclusive,
                  [](Est& e, const Args& a) {
                      return rows_to_py(e.fit_transform(a.matrix(0), a.count_or(1, 2)));
                  }>),
     kCall,
     "fit_transform($self, x, n_components=2)\n--\n\n"
     "Convenience method: fit the model and return the embedding."},
    {"feature_importances",
     cfunc(method<Est, kFeatureImportances, Access::Shared,
                  [](Est& e, const Args&) { return to_py(e.feature_importances()); }>),
     kCall,
     "feature_importances($self)\n--\n\n"
     "Compute variable importance via permutation.\n"
     "For unsupervised RF, importance is measured by how much permuting\n"
     "a variable decreases the ability to distinguish real from synthetic data."},
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
    return make_type<Est>("builtins.RandomForestUnsupervised", kDoc.c_str(),
                          construct<Est, kNew, make>, kMethods, kProperties);
}

}  // namespace canopy::py
