// The index writer behind py_prepare_bin_from_embeddings, from the range checks on: naming,
// the invalid-value sample, and the crash-safe write through a mapped temporary file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/metric.hpp"
#include "core/result.hpp"

namespace rivezor::prepare {

inline constexpr std::uint64_t kMaxDims = 10000;
inline constexpr std::uint64_t kMaxRows = 50000000;
inline constexpr double kStrictMemoryLimitBytes = 8589934592.0;

// The metric of an already lower-cased metric name; nullopt for a name outside the table.
std::optional<Metric> metric_from_lowercase_name(std::string_view name);

class WorkingCopy;

struct PrepareRequest {
    const float* values = nullptr;  // the working copy: `count` values in row-major order
    // When set, the storage of `values`: rows already written go back to the system early.
    WorkingCopy* working_copy = nullptr;
    std::uint64_t count = 0;
    Metric metric = Metric::cosine;
    std::uint64_t dims = 0;
    std::uint64_t rows = 0;
    std::string base_name;  // UTF-8
    std::string level;
    bool normalize = false;
    std::optional<std::string> output_dir;  // file-system bytes; nullopt: the default directory
};

// Validates and writes the index; returns the final path (file-system bytes). Nothing is
// written before validation passes, and an existing index of the same name is replaced only
// by an atomic rename of the complete, flushed new file.
Result<std::string> prepare_index(const PrepareRequest& request);

// Pieces of the above, exposed for the unit tests.
struct InvalidSample {
    std::uint64_t invalid;
    std::uint64_t samples;
};
InvalidSample sample_invalid_values(const float* values, std::uint64_t count);
bool base_name_acceptable(std::string_view utf8);
std::string clean_base_name(std::string_view utf8);
std::uint64_t batch_rows(std::uint64_t dims, std::uint64_t rows);

}  // namespace rivezor::prepare
