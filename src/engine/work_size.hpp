// How many index rows one work item covers on the row-parallel paths: the chunks of the
// single-query chunked scan and blocked matrix path, and the row blocks of the batch search.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/metric.hpp"

namespace rivezor {

// A budget of matrix elements per item (smaller for euclidean, larger for wide rows) or a
// quarter of each worker's share of the rows, whichever is more, capped by row width and by
// the row count, and at least 1. `workers` 0 counts as 1, `dims` 0 as 1.
std::size_t rows_per_work_item(Metric metric, std::uint64_t dims, std::uint64_t rows, std::size_t workers);

}  // namespace rivezor
