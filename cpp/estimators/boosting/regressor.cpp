#include "estimators/boosting/regressor.hpp"

#include "engine/thread_pool.hpp"

namespace canopy {

double clamp_conformal_fraction(double f) {
    if (f < 0.1) return 0.1;
    if (f > 0.5) return 0.5;
    return f;
}

CanopyRegressor::CanopyRegressor(BoostConfig c, double fraction)
    : config(std::move(c)), conformal_fraction(clamp_conformal_fraction(fraction)) {
    set_thread_pool(config.n_jobs);
}

}  // namespace canopy
