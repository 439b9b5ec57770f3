// The one work-size formula of the row-parallel paths; its constants were tuned on the
// benchmark shapes and are part of each path's observable chunking (ties across chunks).
#include "engine/work_size.hpp"

#include <algorithm>

namespace rivezor {

std::size_t rows_per_work_item(Metric metric, std::uint64_t dims, std::uint64_t rows, std::size_t workers) {
    const std::uint64_t t = std::max<std::uint64_t>(workers, 1);
    const std::uint64_t budget = metric == Metric::euclidean ? 3000000
                                 : dims >= 768               ? 16000000
                                 : dims >= 384               ? 10000000
                                                             : 8000000;
    const std::uint64_t by_budget = budget / std::max<std::uint64_t>(dims, 1);
    const std::uint64_t by_spread = rows / (4 * t);
    const std::uint64_t cap = dims >= 768 ? 32000 : dims >= 384 ? 16000 : 8000;
    std::uint64_t r = std::max<std::uint64_t>({by_budget, by_spread, 1});
    r = std::min<std::uint64_t>({r, cap, rows});
    return static_cast<std::size_t>(std::max<std::uint64_t>(r, 1));
}

}  // namespace rivezor
