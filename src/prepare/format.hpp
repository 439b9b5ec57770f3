// The index file layout: a 12-byte little-endian header (dims, rows, metric id) followed by
// the row-major float32 matrix. Shared by the writer and the engine's reader.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace rivezor::format {

inline constexpr std::uint64_t kHeaderBytes = 12;

enum Metric : std::uint8_t { kCosine = 0, kDot = 1, kEuclidean = 2 };

inline const char* metric_name(std::uint8_t metric) {
    switch (metric) {
        case kCosine: return "cosine";
        case kDot: return "dot";
        default: return "euclidean";
    }
}

// Higher scores are better for the two similarity metrics, lower for squared distance.
inline bool higher_is_better(std::uint8_t metric) { return metric != kEuclidean; }

struct Header {
    std::uint32_t dims;
    std::uint32_t rows;
    std::uint32_t metric;
};

inline std::uint32_t read_u32_le(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void write_u32_le(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline Header read_header(const unsigned char* p) {
    return Header{read_u32_le(p), read_u32_le(p + 4), read_u32_le(p + 8)};
}

// 12 + 4 * rows * dims without wrap-around: the product of two 32-bit values needs up to
// 64 bits, times 4 plus 12 up to 67, so it is carried in 128 bits.
inline unsigned __int128 required_length(std::uint32_t rows, std::uint32_t dims) {
    return static_cast<unsigned __int128>(kHeaderBytes) +
           static_cast<unsigned __int128>(4) * rows * dims;
}

}  // namespace rivezor::format
