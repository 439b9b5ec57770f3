// Batch exact search: shape validation, the choice among the four batch paths and their
// work sizes (query blocks, query chunks, row blocks), one outcome per query in query order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/engine.hpp"
#include "core/result.hpp"
#include "core/hits.hpp"

namespace rivezor {

// `queries` holds value_count floats, row-major with `dims` columns. Returns one outcome per
// query; a batch of one query is answered (and named) by the single-query search.
Result<std::vector<QueryOutcome>> search_batch(const SearchEngine& engine, const float* queries,
                                               std::uint64_t value_count, std::uint64_t dims, std::uint64_t k);

namespace batch {

enum class Path { per_query, query_blocked, chunked, row_blocked };

// The path ZARIR_BATCH_MODE forces, if its value names one (byte for byte).
std::optional<Path> forced_path(std::optional<std::string_view> mode);
// Forced path, else row-blocked above 3 queries and per-query for 2 or 3.
Path choose_path(std::optional<std::string_view> mode, std::uint64_t nq);

// Queries per in-flight chunk of the per-query path: min(nq, max(8, 4 P)).
std::uint64_t per_query_chunk(std::uint64_t nq, std::size_t processors);

// Queries per block B of the query-blocked path; `qblock` is ZARIR_QBLOCK's raw text.
std::uint64_t queries_per_block(std::optional<std::string_view> qblock, Metric metric, std::uint64_t dims,
                                std::uint64_t rows, std::uint64_t nq, std::size_t workers);

// Queries per chunk Q of the chunked matrix path.
std::uint64_t queries_per_chunk(std::uint64_t rows, std::uint64_t nq);

}  // namespace batch
}  // namespace rivezor
