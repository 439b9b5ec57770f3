// Records every search path shares: a hit (row, score) and the outcome of one query.
// Hits are ordered best first; method_used names the path that produced them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rivezor {

struct Hit {
    std::uint64_t idx;
    float score;
};

struct QueryOutcome {
    std::vector<Hit> hits;
    std::string method_used;
    double query_time_ms = 0.0;
};

}  // namespace rivezor
