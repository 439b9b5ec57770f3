// Score diagnostics: the per-block breakdown of one row's score (explain) and of the score
// difference between two rows (compare), ranked by the size of each block's share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/engine.hpp"
#include "core/result.hpp"

namespace rivezor {

struct BlockContribution {
    std::uint64_t block_id;
    std::uint64_t start;
    std::uint64_t end;
    float contribution;
};

// Shared by both breakdowns: the listed blocks in ranked order and the float32 sum of the
// blocks left out.
struct BlockBreakdown {
    std::uint64_t block_size = 0;
    std::uint64_t top_blocks = 0;
    std::uint64_t num_blocks = 0;
    std::uint64_t dims = 0;
    std::vector<BlockContribution> blocks;
    float residual = 0.0f;
};

struct Explanation {
    float score_total = 0.0f;  // in score space: euclidean distances negated
    BlockBreakdown breakdown;
};

struct Comparison {
    float score_a = 0.0f;  // the metric's own scores (euclidean: squared distances)
    float score_b = 0.0f;
    float delta_score_space = 0.0f;  // positive when row a is the better one
    BlockBreakdown breakdown;
};

Result<Explanation> explain_row(const SearchEngine& engine, const float* query, std::size_t n, std::uint64_t idx,
                                std::uint64_t block_size, std::uint64_t top_blocks);

Result<Comparison> compare_rows(const SearchEngine& engine, const float* query, std::size_t n,
                                std::uint64_t idx_a, std::uint64_t idx_b, std::uint64_t block_size,
                                std::uint64_t top_blocks);

}  // namespace rivezor
