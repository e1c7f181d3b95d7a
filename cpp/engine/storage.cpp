#include "engine/storage.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <optional>

#include "engine/errors.hpp"
#include "engine/forest.hpp"
#include "engine/forest_plan.hpp"

namespace canopy {

namespace {

constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();

std::uint64_t soft_limit(int resource) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnbounded;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

std::uint64_t memory_budget() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    std::uint64_t budget =
        pages > 0 && page_size > 0
            ? bytes_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size))
            : kUnbounded;
    budget = std::min(budget, soft_limit(RLIMIT_AS));
    return std::min(budget, soft_limit(RLIMIT_DATA));
}

std::uint64_t bytes_mul(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > kUnbounded / a) return kUnbounded;
    return a * b;
}

std::uint64_t bytes_add(std::uint64_t a, std::uint64_t b) {
    return b > kUnbounded - a ? kUnbounded : a + b;
}

void require_storage(const std::string& request, std::uint64_t bytes) {
    const std::uint64_t budget = memory_budget();
    if (bytes <= budget) return;
    throw StorageError(request + ": at least " + std::to_string(bytes) +
                       " bytes are needed, more than the " + std::to_string(budget) +
                       " bytes of memory available");
}

std::uint64_t heap_block_bytes(std::uint64_t bytes) {
    // glibc on 64-bit: 8 bytes of header, 16-byte alignment, 32-byte chunks at the least.
    const std::uint64_t chunk = bytes_add(bytes, 8 + 15) / 16 * 16;
    return std::max<std::uint64_t>(chunk, 32);
}

std::uint64_t packed_tree_bytes() {
    return sizeof(PackedTree) + heap_block_bytes(sizeof(PackedNode)) +
           2 * heap_block_bytes(sizeof(double));
}

std::uint64_t forest_fit_bytes(std::uint64_t n_trees, std::size_t sample_rows,
                               std::uint64_t bytes_per_tree) {
    const std::uint64_t task =
        bytes_add(sizeof(TreeTask), heap_block_bytes(bytes_mul(sample_rows, sizeof(RowIndex))));
    const std::uint64_t slot = sizeof(std::optional<PackedTree>);
    return bytes_mul(n_trees, bytes_add(bytes_add(task, slot), bytes_per_tree));
}

}  // namespace canopy
