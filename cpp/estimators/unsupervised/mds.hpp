// Classical multidimensional scaling of a proximity matrix: power iteration with deflation
// on the double-centred matrix, one component at a time.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/views.hpp"

namespace canopy {

inline constexpr double kMdsNormFloor = 1e-10;
inline constexpr double kMdsTolerance = 1e-7;
inline constexpr std::size_t kMdsMaxProducts = 1000;

struct Embedding {
    Matrix coordinates;               // n x n_components
    std::vector<double> eigenvalues;  // 0.0 for a component that was not found
    std::vector<bool> found;
};

// `proximity` must be square. Components that do not converge are all zeros, and so are
// the components beyond the n-th: n eigen-directions are all an n x n matrix has, so they
// are not searched for.
Embedding mds_embedding(const Matrix& proximity, std::size_t n_components);

// Fails with StorageError, before any work, when n_rows x n_components coordinates (held
// here and again by the caller) and the per-component results cannot fit in memory.
void require_embedding_storage(std::size_t n_rows, std::size_t n_components);

}  // namespace canopy
