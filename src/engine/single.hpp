// Single-query exact search: validation, the automatic or forced choice among the five
// execution paths, and the timing reported with the hits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.hpp"
#include "engine/result.hpp"
#include "engine/types.hpp"

namespace rivezor {

// The k best rows for one query of n values, best first, with the path's name and time.
Result<QueryOutcome> search_single(const SearchEngine& engine, const float* query, std::size_t n, std::uint64_t k);

}  // namespace rivezor
