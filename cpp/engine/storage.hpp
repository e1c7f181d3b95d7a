// Up-front storage checks for work whose size comes from the caller's numbers (trees,
// rounds, components). A request that cannot fit in memory fails at once, naming the
// arguments that sized it, instead of growing until the machine runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace canopy {

// Bytes a call may plan to hold: the machine's physical memory, or the process's
// address-space or data limit when that is lower.
std::uint64_t memory_budget();

// Byte arithmetic that saturates instead of wrapping (a saturated count never fits).
std::uint64_t bytes_mul(std::uint64_t a, std::uint64_t b);
std::uint64_t bytes_add(std::uint64_t a, std::uint64_t b);

// Throws StorageError when `bytes` exceeds memory_budget(): "{request}: at least {bytes}
// bytes are needed, more than the {budget} bytes of memory available".
void require_storage(const std::string& request, std::uint64_t bytes);

// Least memory the allocator takes for a block of `bytes`: its header and alignment, and
// never less than its smallest chunk. Most blocks of a forest of tiny trees are that small.
std::uint64_t heap_block_bytes(std::uint64_t bytes);

// Least memory a packed tree that is kept takes: the object and its node, value and cover
// blocks, a node each at the least.
std::uint64_t packed_tree_bytes();

// Least storage of a forest fit that draws every tree's task (a sample of `sample_rows`
// row indices) before growing, holds each tree in a slot of the growing section, and keeps
// each grown tree at `bytes_per_tree` or more.
std::uint64_t forest_fit_bytes(std::uint64_t n_trees, std::size_t sample_rows,
                               std::uint64_t bytes_per_tree);

}  // namespace canopy
