// The three similarity metrics an index can be built for: their stored ids, their names and
// the direction in which their scores improve. Every other file asks these instead of ids.
#pragma once

#include <cstdint>
#include <optional>

namespace rivezor {

// The values are the metric ids stored in index files; never renumber them.
enum class Metric : std::uint8_t { cosine = 0, dot = 1, euclidean = 2 };

// The metric of a stored id; nullopt for an id no writer produces.
inline std::optional<Metric> metric_from_id(std::uint32_t id) {
    if (id > static_cast<std::uint32_t>(Metric::euclidean)) return std::nullopt;
    return static_cast<Metric>(id);
}

inline std::uint32_t metric_id(Metric metric) { return static_cast<std::uint32_t>(metric); }

inline const char* metric_name(Metric metric) {
    switch (metric) {
        case Metric::cosine: return "cosine";
        case Metric::dot: return "dot";
        case Metric::euclidean: break;
    }
    return "euclidean";
}

// Higher scores are better for the two similarity metrics, lower for squared distance.
inline bool higher_is_better(Metric metric) { return metric != Metric::euclidean; }
inline bool is_similarity(Metric metric) { return higher_is_better(metric); }

// Cosine indexes hold unit-length rows: the writer normalizes them, so dot products are cosines.
inline bool stores_normalized_rows(Metric metric) { return metric == Metric::cosine; }

}  // namespace rivezor
