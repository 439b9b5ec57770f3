// The one shape check of a batch of queries given as `count` values in rows of `width`:
// shared by the batch search, the certified batch and both batch bindings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/messages.hpp"

namespace rivezor {

// The message to raise, or nullopt when the batch has the index's width and whole rows.
// A width of 0 is refused first (every later step divides by it); the two batch families
// word that refusal differently, so the caller names its own message.
inline std::optional<std::string> batch_shape_error(std::uint64_t count, std::uint64_t width,
                                                    std::uint64_t index_dims, const char* no_columns_message) {
    if (width == 0) return std::string(no_columns_message);
    if (count % width != 0) return std::string(msg::kBatchLengthNotMultiple);
    if (width != index_dims) return msg::query_dimensions_mismatch(width, index_dims);
    return std::nullopt;
}

}  // namespace rivezor
