// The core layer's shared vocabulary: the header written and read back, the metric table, and
// the one UTF-8 decoder under its strict and lenient readings.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/index_format.hpp"
#include "core/metric.hpp"
#include "core/utf8.hpp"

namespace {

TEST(IndexFormat, HeaderRoundTripsLittleEndian) {
    unsigned char bytes[rivezor::format::kHeaderBytes];
    rivezor::format::write_header(bytes, {0x01020304u, 0xA0B0C0D0u, 2});
    EXPECT_EQ(bytes[0], 0x04);
    EXPECT_EQ(bytes[7], 0xA0);
    const auto h = rivezor::format::read_header(bytes);
    EXPECT_EQ(h.dims, 0x01020304u);
    EXPECT_EQ(h.rows, 0xA0B0C0D0u);
    EXPECT_EQ(h.metric, 2u);
    // 12 + 4 * (2^32 - 1)^2 needs more than 64 bits.
    EXPECT_GT(rivezor::format::required_length(0xFFFFFFFFu, 0xFFFFFFFFu), static_cast<unsigned __int128>(UINT64_MAX));
}

TEST(Metric, StoredIdsNamesAndDirections) {
    using rivezor::Metric;
    for (const auto& [id, metric, name, higher] :
         {std::tuple{0u, Metric::cosine, "cosine", true}, std::tuple{1u, Metric::dot, "dot", true},
          std::tuple{2u, Metric::euclidean, "euclidean", false}}) {
        ASSERT_EQ(rivezor::metric_from_id(id), metric);
        EXPECT_EQ(rivezor::metric_id(metric), id);
        EXPECT_STREQ(rivezor::metric_name(metric), name);
        EXPECT_EQ(rivezor::higher_is_better(metric), higher);
    }
    EXPECT_FALSE(rivezor::metric_from_id(3).has_value());
    EXPECT_FALSE(rivezor::metric_from_id(0xFFFFFFFFu).has_value());
}

// Environment text must be valid UTF-8; index names decode leniently, malformed bytes one at
// a time as U+FFFD, and forms that are not text (overlong, surrogates) as their code points.
struct Utf8Case {
    std::string_view bytes;
    bool valid;
    std::u32string lenient;
};

TEST(Utf8, StrictAndLenientReadingsOfOneDecoder) {
    const Utf8Case cases[] = {
        {"", true, U""},
        {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true, U"a\u00E9\u20AC\U0001F600"},
        {"\xC3", false, U"\uFFFD"},                  // truncated
        {"\xE2\x82", false, U"\uFFFD\uFFFD"},        // truncated, each byte consumed once
        {"\xC3\x41", false, U"\uFFFDA"},             // bad continuation
        {"\xFF", false, U"\uFFFD"},                  // no lead byte
        {"\x80", false, U"\uFFFD"},                  // stray continuation
        {"\xC0\xAF", false, U"/"},                   // overlong
        {"\xED\xA0\x80", false, U"\xD800"},          // surrogate
        {"\xF4\x90\x80\x80", false, U"\x110000"},    // past U+10FFFF
    };
    for (const Utf8Case& c : cases) {
        EXPECT_EQ(rivezor::utf8::is_valid(c.bytes), c.valid) << testing::PrintToString(std::string(c.bytes));
        std::u32string decoded;
        for (std::size_t pos = 0; pos < c.bytes.size();) decoded.push_back(rivezor::utf8::next_code_point(c.bytes, pos));
        EXPECT_EQ(decoded, c.lenient) << testing::PrintToString(std::string(c.bytes));
    }
}

}  // namespace
