// How row-parallel work is cut into items for the worker pool: one rule for every
// estimator, so that the balance between cache reuse and load sharing is tuned in one place.
#pragma once

#include <cstddef>
#include <functional>

namespace canopy {

// At most this many rows per block. A prediction block walks its rows through one tree after
// the other, so the larger it is, the more often a tree's nodes are still in cache: a deep
// forest is far larger than the caches, and every row visits a different path.
inline constexpr std::size_t kMaxRowBlock = 16384;

// Runs fn(begin, end) over consecutive blocks of rows [0, n_rows) on the worker pool. The
// block count is a multiple of the pool size, so that every worker gets the same share of
// rows. Blocks may run in any order and at the same time: fn may only write storage that
// belongs to its own rows.
void for_row_blocks(std::size_t n_rows, const std::function<void(std::size_t, std::size_t)>& fn);

}  // namespace canopy
