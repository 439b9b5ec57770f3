// The index file layout: a 12-byte little-endian header (dims, rows, metric id) followed by
// the row-major float32 matrix. The writer, the reader and the test helpers all go through it.
#pragma once

#include <cstdint>

namespace rivezor::format {

inline constexpr std::uint64_t kHeaderBytes = 12;

struct Header {
    std::uint32_t dims;
    std::uint32_t rows;
    std::uint32_t metric;  // the stored id, unchecked: the reader decides what it accepts
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

// `p` holds at least kHeaderBytes bytes.
inline Header read_header(const unsigned char* p) {
    return Header{read_u32_le(p), read_u32_le(p + 4), read_u32_le(p + 8)};
}

inline void write_header(unsigned char* p, const Header& header) {
    write_u32_le(p, header.dims);
    write_u32_le(p + 4, header.rows);
    write_u32_le(p + 8, header.metric);
}

// 12 + 4 * rows * dims without wrap-around: the product of two 32-bit values needs up to
// 64 bits, times 4 plus 12 up to 67, so it is carried in 128 bits.
inline unsigned __int128 required_length(std::uint32_t rows, std::uint32_t dims) {
    return static_cast<unsigned __int128>(kHeaderBytes) + static_cast<unsigned __int128>(4) * rows * dims;
}

}  // namespace rivezor::format
