#include "estimators/boosting/classifier.hpp"

#include "engine/thread_pool.hpp"

namespace canopy {

CanopyClassifier::CanopyClassifier(BoostConfig c) : config(std::move(c)) {
    set_thread_pool(config.n_jobs);
}

}  // namespace canopy
