// Certified exact search: a single-threaded row scan that bounds each row block by block
// before scoring it, and the certificate recording how every row was settled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "core/result.hpp"
#include "core/hits.hpp"

namespace rivezor {

// Entries kept in the capped certificate lists.
inline constexpr std::size_t kCertificateListCap = 2048;

struct CertifiedOutcome {
    std::vector<Hit> hits;
    std::string method_used;
    double query_time_ms = 0.0;
    std::string bound_rule;
    std::vector<std::uint64_t> block_order;
    std::vector<float> threshold_evolution;
    std::string simd_path;
    std::string compile_flags;
    std::vector<float> pruned_bound_values;
    std::string bound_kind;
    std::uint64_t total_candidates = 0;
    std::uint64_t pruned_candidates = 0;
    std::uint64_t full_evaluated = 0;
    std::uint64_t block_size = 1;
    float kth_score = 0.0f;
    bool safe = true;
    bool enable_pruning = true;
};

// The widest vector instruction set the processor reports ("avx2", "avx", "sse4.2",
// "scalar"), independent of the scalar-kernel switch.
const char* processor_simd_path();
// "arch=" and the target architecture name.
const char* target_compile_flags();

// One query of n values; block_size 0 is taken as 1.
Result<CertifiedOutcome> search_certified(const SearchEngine& engine, const float* query, std::size_t n,
                                          std::uint64_t k, std::uint64_t block_size, bool enable_pruning);

// `count` values forming rows of `dims` values, one certified search per row on the worker
// pool; outcomes in row order, or the first error recorded.
Result<std::vector<CertifiedOutcome>> search_certified_batch(const SearchEngine& engine, const float* queries,
                                                             std::size_t count, std::size_t dims,
                                                             std::uint64_t k, std::uint64_t block_size,
                                                             bool enable_pruning);

}  // namespace rivezor
