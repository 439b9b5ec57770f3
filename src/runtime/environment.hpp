// Process environment switches and the once-per-process runtime configuration that sizes
// the worker pool and exports the chosen thread count to numerical libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rivezor::runtime {

// The value of an environment variable as text; unset and non-UTF-8 values are both "absent".
std::optional<std::string> env_text(const char* name);

// An optional '+' then one or more ASCII digits, nothing else, value below 2^64.
std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text);

// Logical processors the OS lets this process use; never 0.
std::size_t logical_processors();

// Runs the configuration at most once per process (later calls return at once). Never fails.
void ensure_configured();
bool configuration_done();

// The three variables the configuration exports, in the order it writes them.
inline constexpr const char* kExportedThreadVars[3] = {"OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS",
                                                       "RAYON_NUM_THREADS"};

}  // namespace rivezor::runtime
