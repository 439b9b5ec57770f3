// Single-query exact search: validation, the automatic or forced choice among the five
// execution paths, and the timing reported with the hits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/engine.hpp"
#include "core/result.hpp"
#include "core/hits.hpp"

namespace rivezor {

// The k best rows for one query of n values, best first, with the path's name and time.
Result<QueryOutcome> search_single(const SearchEngine& engine, const float* query, std::size_t n, std::uint64_t k);

enum class SinglePath { row_scan, chunked, blocked_matrix, full_matrix, pruned };

// The path for a ZARIR_SINGLE_MODE value (absent: automatic) and an index shape.
SinglePath choose_single_path(const std::optional<std::string>& mode, Metric metric, std::uint64_t rows,
                              std::uint64_t dims);

// The path ZARIR_SINGLE_MODE and the index shape choose for `engine`.
SinglePath configured_single_path(const SearchEngine& engine);

// The k best rows for a query already checked (dimensions, finite values), timed, by `path`;
// throws std::bad_alloc when memory runs out, so a caller answering many queries can fail
// the whole call.
QueryOutcome answer_checked_query(const SearchEngine& engine, const float* query, std::uint64_t k, SinglePath path);

// Runs one path for a validated query, keeping the best min(k_eff, rows); method_used names
// the path that actually ran (the pruned scan falls back to the chunked scan without block
// norms). query_time_ms is left at 0.
Result<QueryOutcome> run_single_path(SinglePath path, const SearchEngine& engine, const float* query,
                                     std::size_t k_eff);

}  // namespace rivezor
