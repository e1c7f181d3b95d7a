// Input checks that every supervised fit runs before growing anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/views.hpp"

namespace canopy {

// First non-finite value of x (row-major scan), then of y; the message, or nothing.
std::optional<std::string> validate_finite(const MatrixView& x, const VectorView& y);

// Length, then the first NaN, infinite or negative non-zero weight, then a total that
// overflows; the message, or nothing.
std::optional<std::string> validate_weights(const VectorView& sample_weight, std::size_t n_samples);

// Class indices (sorted, distinct) that are not exactly 0, 1, ..., k-1: a probability column
// per index would leave some classes without a column and others without rows. The
// message, or nothing.
std::optional<std::string> validate_classes(const std::vector<std::uint64_t>& classes);

// The validated training inputs of a supervised fit, copied into contiguous storage.
struct SupervisedInput {
    std::vector<double> y;       // the first x.rows entries of the caller's y
    std::vector<double> weight;  // one per row; all 1.0 when no weights were given
};

// Runs validate_finite, rejects a y shorter than x, checks the weights and copies both.
// Every failure is a UserError; nothing is copied before all checks passed.
SupervisedInput prepare_supervised(const MatrixView& x, const VectorView& y,
                                   const std::optional<VectorView>& sample_weight);

}  // namespace canopy
