// Batch search internals Python cannot reach: the work sizes of each path, the vectorised
// top-k scan against the plain heap walk, and the validation of raw value counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/batch.hpp"
#include "engine/topk.hpp"
#include "test_support.hpp"

namespace {

using rivezor::batch::Path;

struct QueryBlockCase {
    const char* qblock;  // nullptr: unset
    std::uint8_t metric;
    std::uint64_t dims, rows, nq;
    std::size_t workers;
    std::uint64_t expected;
};

class QueriesPerBlock : public ::testing::TestWithParam<QueryBlockCase> {};

TEST_P(QueriesPerBlock, ForcedOrAutomatic) {
    const QueryBlockCase c = GetParam();
    const std::optional<std::string_view> qblock =
        c.qblock ? std::optional<std::string_view>(c.qblock) : std::nullopt;
    EXPECT_EQ(rivezor::batch::queries_per_block(qblock, static_cast<rivezor::Metric>(c.metric), c.dims, c.rows, c.nq, c.workers), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, QueriesPerBlock,
    ::testing::Values(
        // Automatic: B = min(max(ceil(nq / p), 1), min(nq, max(p, fit), cap)).
        QueryBlockCase{nullptr, 0, 128, 100000, 1000, 2, 80},    // fit 80 < spread 250
        QueryBlockCase{nullptr, 1, 768, 200000, 1000, 2, 25},    // 5e6 budget, fit 25
        QueryBlockCase{nullptr, 1, 256, 1000, 100000, 2, 256},   // 8e6 budget; cap 256
        QueryBlockCase{nullptr, 1, 257, 1000, 100000, 2, 256},   // 5e6 budget; cap still 256 below 384
        QueryBlockCase{nullptr, 1, 384, 1000, 100000, 2, 128},   // cap 128 from 384
        QueryBlockCase{nullptr, 1, 768, 10, 100000, 2, 64},      // cap 64 from 768
        QueryBlockCase{nullptr, 2, 128, 100000, 1000, 2, 30},    // euclidean budget 3e6
        QueryBlockCase{nullptr, 0, 128, 10000000, 10, 2, 3},     // fit 0: upper = p = 4, spread 3
        QueryBlockCase{nullptr, 0, 128, 100, 5, 8, 1},           // p = nq: one query per block
        QueryBlockCase{nullptr, 0, 128, 100, 1, 8, 1},           // a single query
        QueryBlockCase{nullptr, 0, 128, 0, 10, 2, 3},            // 0 rows divides by 1
        // ZARIR_QBLOCK: an optional '+' then digits, nonzero, below 2^64; anything else is automatic.
        QueryBlockCase{"+8", 0, 128, 100000, 1000, 2, 8},
        QueryBlockCase{"3", 0, 128, 100000, 1, 2, 3},
        QueryBlockCase{"18446744073709551615", 0, 128, 100000, 1000, 2, 18446744073709551615ull},
        QueryBlockCase{"18446744073709551616", 0, 128, 100000, 1000, 2, 80},
        QueryBlockCase{"0", 0, 128, 100000, 1000, 2, 80}, QueryBlockCase{"-8", 0, 128, 100000, 1000, 2, 80},
        QueryBlockCase{" 8", 0, 128, 100000, 1000, 2, 80}, QueryBlockCase{"8 ", 0, 128, 100000, 1000, 2, 80},
        QueryBlockCase{"8a", 0, 128, 100000, 1000, 2, 80}, QueryBlockCase{"", 0, 128, 100000, 1000, 2, 80},
        QueryBlockCase{"+", 0, 128, 100000, 1000, 2, 80}));

TEST(QueriesPerChunk, FiftyMillionScoresPerChunk) {
    using rivezor::batch::queries_per_chunk;
    EXPECT_EQ(queries_per_chunk(100000, 1000), 500u);
    EXPECT_EQ(queries_per_chunk(100000, 300), 300u);
    EXPECT_EQ(queries_per_chunk(0, 7), 7u);
    EXPECT_EQ(queries_per_chunk(50000000, 7), 1u);
    EXPECT_EQ(queries_per_chunk(60000000, 7), 1u);  // 0 raised to 1
    EXPECT_EQ(queries_per_chunk(24999999, 7), 2u);
}

TEST(PerQueryChunk, EightOrFourPerProcessor) {
    using rivezor::batch::per_query_chunk;
    EXPECT_EQ(per_query_chunk(100, 2), 8u);
    EXPECT_EQ(per_query_chunk(100, 3), 12u);
    EXPECT_EQ(per_query_chunk(5, 16), 5u);
    EXPECT_EQ(per_query_chunk(100, 0), 8u);
}

TEST(ChoosePath, ForcedModesAreExactTexts) {
    using rivezor::batch::choose_path;
    using SV = std::optional<std::string_view>;
    EXPECT_EQ(choose_path(std::nullopt, 2), Path::per_query);
    EXPECT_EQ(choose_path(std::nullopt, 3), Path::per_query);
    EXPECT_EQ(choose_path(std::nullopt, 4), Path::row_blocked);
    EXPECT_EQ(choose_path(SV("rayon"), 1000), Path::per_query);
    EXPECT_EQ(choose_path(SV("matrix"), 2), Path::query_blocked);
    EXPECT_EQ(choose_path(SV("matrix_full"), 2), Path::query_blocked);
    EXPECT_EQ(choose_path(SV("chunked"), 2), Path::chunked);
    EXPECT_EQ(choose_path(SV("chunked_matrix"), 2), Path::chunked);
    EXPECT_EQ(choose_path(SV("blocked"), 2), Path::row_blocked);
    EXPECT_EQ(choose_path(SV("blocked_exact"), 2), Path::row_blocked);
    for (const char* other : {"Matrix", "RAYON", " rayon", "rayon ", "blocked-exact", "", "matrix_chunked"}) {
        EXPECT_EQ(choose_path(SV(other), 2), Path::per_query) << other;
        EXPECT_EQ(choose_path(SV(other), 4), Path::row_blocked) << other;
    }
}

// Scores that stress the scan: exact ties, signed zeros, NaN and infinities, runs of
// improving scores that keep replacing the root, and lengths around the 16-lane groups.
std::vector<float> awkward_scores(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> pick(0, 19);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> s(n);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        switch (pick(gen)) {
            case 0: s[i] = nan; break;
            case 1: s[i] = inf; break;
            case 2: s[i] = -inf; break;
            case 3: s[i] = 0.0f; break;
            case 4: s[i] = -0.0f; break;
            case 5: s[i] = 0.5f; break;
            case 6: s[i] = static_cast<float>(i) * 1e-3f; break;   // rising
            case 7: s[i] = -static_cast<float>(i) * 1e-3f; break;  // falling
            default: s[i] = std::round(normal(gen) * 4.0f) / 4.0f;  // many exact ties
        }
    }
    return s;
}

// The streaming selector every score array goes through, alone and in pieces merged through a
// shared bar, against a full sort under the hit order, on scores with NaN, infinities, signed
// zeros and many exact ties.
TEST(TopKOfScores, SameHitsAsFullSort) {
    for (std::size_t n : {0u, 1u, 7u, 15u, 16u, 17u, 33u, 100u, 257u, 1000u, 4099u}) {
        for (std::size_t k : {1u, 2u, 5u, 10u, 64u, 5000u}) {
            for (bool higher : {true, false}) {
                const std::vector<float> s = awkward_scores(n, static_cast<unsigned>(n * 131 + k));
                std::vector<rivezor::Hit> want;
                for (std::size_t i = 0; i < n; ++i)
                    if (std::isfinite(s[i])) want.push_back({1000 + i, s[i]});
                std::sort(want.begin(), want.end(), rivezor::topk::HitOrder{higher});
                if (want.size() > k) want.resize(k);
                for (const auto simd : rivezor::test_support::simd_forms()) {
                    const rivezor::runtime::SimdCapForTests cap(simd);
                    // Whole, and in three pieces selected against a shared bar and handed in
                    // last piece first, so that tied rows of earlier pieces arrive late.
                    rivezor::topk::SharedBest shared(k, higher);
                    const std::size_t len = n / 3 + 1;
                    for (std::size_t p = 3; p-- > 0;) {
                        const std::size_t from = std::min(p * len, n), to = std::min(from + len, n);
                        if (from == to) continue;
                        rivezor::topk::StreamingTopK piece(std::min(k, to - from), higher, to - from, &shared);
                        piece.offer(s.data() + from, to - from, 1000 + from);
                        shared.absorb(piece.take());
                    }
                    for (const auto& got : {rivezor::topk::top_k_of_scores(s.data(), n, k, higher, 1000), shared.take()}) {
                        ASSERT_EQ(got.size(), want.size()) << n << " " << k << " " << higher;
                        for (std::size_t i = 0; i < got.size(); ++i) {
                            EXPECT_EQ(got[i].idx, want[i].idx) << n << " " << k << " " << higher << " at " << i;
                            EXPECT_EQ(std::memcmp(&got[i].score, &want[i].score, sizeof(float)), 0);
                        }
                    }
                }
            }
        }
    }
}

TEST(TopKOfScores, SignedZerosFollowTotalOrder) {
    // The vector filter sees -0 and +0 as equal; the selection must still rank +0 above -0.
    std::vector<float> s(40, -1.0f);
    s[3] = -0.0f;
    s[35] = 0.0f;
    auto hi = rivezor::topk::top_k_of_scores(s.data(), s.size(), 1, true, 0);
    ASSERT_EQ(hi.size(), 1u);
    EXPECT_EQ(hi[0].idx, 35u);
    std::vector<float> d(40, 1.0f);
    d[3] = 0.0f;
    d[35] = -0.0f;
    auto lo = rivezor::topk::top_k_of_scores(d.data(), d.size(), 1, false, 0);
    ASSERT_EQ(lo.size(), 1u);
    EXPECT_EQ(lo[0].idx, 35u);
    EXPECT_TRUE(rivezor::topk::top_k_of_scores(s.data(), s.size(), 0, true, 0).empty());
}

TEST(SearchBatch, ShapeChecksInOrder) {
    std::vector<float> rows(4 * 10);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i % 7);
    const std::string path = rivezor::test_support::write_index("batch_shape", 4, 10, 1, rows);
    auto opened = rivezor::open_engine(path, false);
    std::remove(path.c_str());
    ASSERT_TRUE(opened.ok()) << opened.error();
    const rivezor::SearchEngine& e = *opened.value();
    std::vector<float> q(24, 1.0f);
    q[0] = std::numeric_limits<float>::quiet_NaN();

    auto zero = rivezor::search_batch(e, q.data(), 0, 0, 3);
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error(), "queries have 0 columns: dims must be at least 1");
    // The multiple check runs before the dimension check, and both before the values are read.
    auto ragged = rivezor::search_batch(e, q.data(), 7, 3, 3);
    ASSERT_FALSE(ragged.ok());
    EXPECT_EQ(ragged.error(), "queries.len() não é múltiplo de dims");
    auto wrong = rivezor::search_batch(e, q.data(), 24, 6, 3);
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error(), "Query dimensions 6 != index dimensions 4");
    // Fewer values than dims: nothing to answer, whatever the values are.
    auto none = rivezor::search_batch(e, q.data(), 0, 4, 3);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().empty());
    auto bad = rivezor::search_batch(e, q.data(), 8, 4, 3);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), "Queries contêm valores não finitos (NaN/Inf)");
    q[0] = 1.0f;
    auto ok = rivezor::search_batch(e, q.data(), 24, 4, 3);
    ASSERT_TRUE(ok.ok()) << ok.error();
    EXPECT_EQ(ok.value().size(), 6u);
}

}  // namespace
