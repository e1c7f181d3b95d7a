#include "engine/row_blocks.hpp"

#include <algorithm>

#include "engine/thread_pool.hpp"

namespace canopy {

void for_row_blocks(std::size_t n_rows, const std::function<void(std::size_t, std::size_t)>& fn) {
    const std::size_t workers = std::max<std::size_t>(1, section_width());
    std::size_t n_blocks = (n_rows + kMaxRowBlock - 1) / kMaxRowBlock;
    n_blocks = (n_blocks + workers - 1) / workers * workers;
    const std::size_t rows = n_blocks == 0 ? 0 : (n_rows + n_blocks - 1) / n_blocks;
    parallel_for(n_blocks, [&](std::size_t b) {
        const std::size_t begin = std::min(n_rows, b * rows);
        const std::size_t end = std::min(n_rows, begin + rows);
        if (begin < end) fn(begin, end);
    });
}

}  // namespace canopy
