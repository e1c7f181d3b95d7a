#include "estimators/unsupervised/forest.hpp"

#include "engine/errors.hpp"
#include "engine/thread_pool.hpp"

namespace canopy {

RandomForestUnsupervised::RandomForestUnsupervised(UnsupervisedConfig c) : config(std::move(c)) {
    set_thread_pool(config.n_jobs);
}

void RandomForestUnsupervised::require_fitted() const {
    if (!is_fitted) fail_user("Model has not been fitted");
}

std::size_t RandomForestUnsupervised::n_features() const {
    require_fitted();
    return x_train ? x_train->cols : 0;
}

}  // namespace canopy
