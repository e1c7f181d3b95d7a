#include "engine/validation.hpp"

#include <cmath>

#include "engine/errors.hpp"
#include "engine/tree.hpp"

namespace canopy {

std::optional<std::string> validate_finite(const MatrixView& x, const VectorView& y) {
    for (std::size_t r = 0; r < x.rows; ++r) {
        for (std::size_t c = 0; c < x.cols; ++c) {
            const double v = x(r, c);
            if (!std::isfinite(v)) {
                return "X contains non-finite value at row " + std::to_string(r) + ", column " +
                       std::to_string(c) + " (" + format_float(v) +
                       "). Impute or drop missing values before fitting.";
            }
        }
    }
    for (std::size_t i = 0; i < y.size; ++i) {
        if (!std::isfinite(y[i])) {
            return "y contains non-finite value at index " + std::to_string(i) + " (" +
                   format_float(y[i]) + ").";
        }
    }
    return std::nullopt;
}

std::optional<std::string> validate_weights(const VectorView& w, std::size_t n_samples) {
    if (w.size != n_samples) {
        return "sample_weight length (" + std::to_string(w.size) +
               ") does not match number of samples (" + std::to_string(n_samples) + ")";
    }
    for (std::size_t i = 0; i < w.size; ++i) {
        const double v = w[i];
        if (!std::isfinite(v) || (v < 0.0)) {
            return "sample_weight[" + std::to_string(i) + "] = " + format_float(v) +
                   " is not a non-negative finite number";
        }
    }
    // Weights that each pass can still sum to infinity, and every weighted mean built on
    // them would then be NaN.
    double total = 0.0;
    for (std::size_t i = 0; i < w.size; ++i) total += w[i];
    if (!std::isfinite(total)) {
        return "sample_weight total is not finite (the weights sum to " + format_float(total) +
               "); scale the weights down";
    }
    return std::nullopt;
}

std::optional<std::string> validate_classes(const std::vector<std::uint64_t>& classes) {
    bool contiguous = true;
    for (std::size_t i = 0; i < classes.size(); ++i) contiguous = contiguous && classes[i] == i;
    if (contiguous) return std::nullopt;
    // A long list is shown by its start and its end.
    constexpr std::size_t kShown = 10;
    std::string found;
    for (std::size_t i = 0; i < classes.size(); ++i) {
        if (i == kShown && classes.size() > kShown + 1) {
            found += ", ...";
            i = classes.size() - 1;
        }
        found += (i == 0 ? "" : ", ") + std::to_string(classes[i]);
    }
    return "y must hold the class labels 0, 1, ..., k-1, each at least once; after truncation "
           "toward zero it holds " +
           std::to_string(classes.size()) + (classes.size() == 1 ? " class: [" : " classes: [") +
           found + "]";
}

SupervisedInput prepare_supervised(const MatrixView& x, const VectorView& y,
                                   const std::optional<VectorView>& sample_weight) {
    if (auto message = validate_finite(x, y)) fail_user(*message);
    if (y.size < x.rows) {
        fail_user("y has " + std::to_string(y.size) + " entries but x has " +
                  std::to_string(x.rows) + " rows");
    }
    if (sample_weight) {
        if (auto message = validate_weights(*sample_weight, x.rows)) fail_user(*message);
    }
    if (x.rows > kMaxRows) fail_user("x has more rows than this build can index");
    SupervisedInput in;
    in.y.resize(x.rows);
    for (std::size_t i = 0; i < x.rows; ++i) in.y[i] = y[i];
    in.weight = sample_weight ? to_vector(*sample_weight) : std::vector<double>(x.rows, 1.0);
    return in;
}

}  // namespace canopy
