// Single-query search internals: chunk arithmetic, path choice, and every path against an
// independent full sort, including on data whose sums are exact so that all paths must
// agree bit for bit, ties and their row order included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/kernels.hpp"
#include "engine/rounding.hpp"
#include "engine/single.hpp"
#include "engine/work_size.hpp"
#include "engine/topk.hpp"
#include "test_support.hpp"

namespace {

using rivezor::SinglePath;

using rivezor::test_support::bits_of;
using rivezor::test_support::normal_values;
using rivezor::test_support::open_index;

// Multiples of 1/4 in [-2, 2]: every product and every partial sum below is exact in
// float, so the pair kernel, the block product, the norm expansion and the pruned partial sums all
// give the same bits and ties are frequent.
std::vector<float> quarter_values(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> v(-8, 8);
    std::vector<float> out(n);
    for (auto& x : out) x = static_cast<float>(v(gen)) / 4.0f;
    return out;
}

struct Ranked {
    std::uint64_t idx;
    double score;
};

// Reference answer: every row scored in double, non-finite dropped, full sort by the hit
// order, cut at k.
std::vector<Ranked> reference(const rivezor::SearchEngine& e, const std::vector<float>& q, std::size_t k) {
    std::vector<Ranked> all;
    for (std::size_t r = 0; r < e.rows(); ++r) {
        double s = 0.0;
        for (std::size_t j = 0; j < e.dims(); ++j) {
            const double a = q[j], b = e.row(r)[j];
            s += e.metric() == rivezor::Metric::euclidean ? (a - b) * (a - b) : a * b;
        }
        if (std::isfinite(s)) all.push_back({r, s});
    }
    const bool higher = rivezor::higher_is_better(e.metric());
    std::sort(all.begin(), all.end(), [&](const Ranked& a, const Ranked& b) {
        if (a.score != b.score) return higher ? a.score > b.score : a.score < b.score;
        return a.idx < b.idx;
    });
    if (all.size() > k) all.resize(k);
    return all;
}

const SinglePath kAllPaths[] = {SinglePath::row_scan, SinglePath::chunked, SinglePath::blocked_matrix,
                                SinglePath::full_matrix, SinglePath::pruned};

// ---------------------------------------------------------------------------------------

// The single chunked and blocked paths and the batch row-blocked path share one work size.
struct WorkSizeCase {
    rivezor::Metric metric;
    std::uint64_t dims, rows;
    std::size_t workers, expected;
};

constexpr rivezor::Metric kCos = rivezor::Metric::cosine, kDot = rivezor::Metric::dot, kL2 = rivezor::Metric::euclidean;

class WorkSize : public ::testing::TestWithParam<WorkSizeCase> {};

TEST_P(WorkSize, BudgetOverDimsOrRowsOverFourWorkersCapped) {
    const auto c = GetParam();
    EXPECT_EQ(rivezor::rows_per_work_item(c.metric, c.dims, c.rows, c.workers), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WorkSize,
    ::testing::Values(
        WorkSizeCase{kCos, 128, 100000, 2, 8000},  // a = 62500 capped at 8000
        WorkSizeCase{kDot, 768, 200000, 2, 25000},  // b = 25000 beats a = 20833
        WorkSizeCase{kDot, 768, 100000, 2, 20833},  // a = 16e6 / 768
        WorkSizeCase{kDot, 768, 10000000, 2, 32000},  // b capped at 32000
        WorkSizeCase{kL2, 128, 100000, 2, 8000},  // euclidean a = 23437, cap 8000
        WorkSizeCase{kL2, 1000, 1000000, 8, 31250},  // euclidean, b wins, under cap
        WorkSizeCase{kL2, 1000, 90000, 8, 3000},  // euclidean a = 3000 over b = 2812
        WorkSizeCase{kDot, 383, 1000000, 1, 8000},  // 8e6 budget, cap 8000
        WorkSizeCase{kDot, 384, 1000000, 64, 16000},  // 10e6 budget: a = 26041, cap 16000
        WorkSizeCase{kDot, 767, 60000, 64, 13037},  // a = 10e6 / 767
        WorkSizeCase{kCos, 128, 5, 2, 5},  // never more than the rows
        WorkSizeCase{kCos, 128, 0, 2, 1},  // at least 1
        WorkSizeCase{kCos, 0, 100, 2, 100},  // dims 0 divides by 1
        WorkSizeCase{kCos, 128, 100000, 0, 8000},  // workers 0 count as 1
        WorkSizeCase{kCos, 128, 100000, 8, 8000},  // a = 62500 capped at 8000
        WorkSizeCase{kL2, 128, 100, 2, 100},  // E = 3000000, cut at rows
        WorkSizeCase{kL2, 128, 1000000, 2, 8000},  // b = 125000 capped
        WorkSizeCase{kL2, 128, 20000, 1, 8000},  // a = 23437 beats b = 5000, capped
        WorkSizeCase{kCos, 768, 1000000, 2, 32000},  // b = 125000, cap 32000
        WorkSizeCase{kDot, 384, 1000000, 2, 16000},  // cap 16000
        WorkSizeCase{kCos, 1000, 20000, 1, 16000},  // a = 16000 (E 16000000), b = 5000
        WorkSizeCase{kCos, 500, 20000, 1, 16000},  // a = 20000, cap 16000
        WorkSizeCase{kL2, 3000000, 3000, 1, 750},  // a = 1, b = 750
        WorkSizeCase{kCos, 20000000, 3000, 0, 750},  // a = 0 (E < d), threads 0 count as 1
        WorkSizeCase{kCos, 20000000, 2, 4, 1},  // a = b = 0: at least 1
        WorkSizeCase{kCos, 0, 50000, 2, 8000},  // dims 0 counts as 1
        WorkSizeCase{kL2, 1000, 200000, 1, 32000},  // spread beats the budget, capped for dims >= 768
        WorkSizeCase{kL2, 1000, 10000, 1, 3000}));  // the budget beats the spread

struct ChoiceCase {
    const char* mode;  // nullptr: unset
    std::uint8_t metric;
    std::uint64_t rows, dims;
    SinglePath expected;
};

class PathChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(PathChoice, ModeAndShape) {
    const auto c = GetParam();
    const std::optional<std::string> mode = c.mode ? std::optional<std::string>(c.mode) : std::nullopt;
    EXPECT_EQ(rivezor::choose_single_path(mode, static_cast<rivezor::Metric>(c.metric), c.rows, c.dims), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PathChoice,
    ::testing::Values(ChoiceCase{nullptr, 0, 5000, 128, SinglePath::row_scan},
                      ChoiceCase{nullptr, 1, 10000, 64, SinglePath::chunked},
                      ChoiceCase{nullptr, 1, 10000, 63, SinglePath::row_scan},
                      ChoiceCase{nullptr, 0, 9999, 64, SinglePath::row_scan},
                      ChoiceCase{nullptr, 2, 1000000, 128, SinglePath::row_scan},
                      ChoiceCase{"rayon", 0, 1000000, 128, SinglePath::row_scan},
                      ChoiceCase{"pruned", 0, 999999, 128, SinglePath::row_scan},
                      ChoiceCase{"pruned", 0, 1000000, 64, SinglePath::pruned},
                      ChoiceCase{"pruned", 1, 1000000, 64, SinglePath::pruned},
                      ChoiceCase{"pruned", 0, 1000000, 63, SinglePath::row_scan},
                      ChoiceCase{"pruned", 2, 1000000, 128, SinglePath::row_scan},
                      ChoiceCase{"blocked", 2, 10, 3, SinglePath::blocked_matrix},
                      ChoiceCase{"blocked_matrix", 0, 10, 3, SinglePath::blocked_matrix},
                      ChoiceCase{"matrix_full", 0, 10, 3, SinglePath::full_matrix},
                      ChoiceCase{"matrix_parallel", 2, 100, 3, SinglePath::chunked},
                      ChoiceCase{"BLOCKED", 0, 10000, 64, SinglePath::chunked},
                      ChoiceCase{"BLOCKED", 0, 10, 64, SinglePath::row_scan},
                      ChoiceCase{" rayon", 0, 10000, 64, SinglePath::chunked},
                      ChoiceCase{"", 0, 10000, 64, SinglePath::chunked}));

// ---------------------------------------------------------------------------------------

struct PathCase {
    std::uint32_t metric, rows, dims;
};

class EveryPath : public ::testing::TestWithParam<PathCase> {};

// With exact arithmetic every path returns the same hits, scores bit for bit, ties ordered
// by row, and they equal the independent full sort.
TEST_P(EveryPath, SameHitsOnExactData) {
    const auto c = GetParam();
    auto e = open_index("single_exact", c.dims, c.rows, c.metric, quarter_values(std::size_t{c.rows} * c.dims, c.rows));
    ASSERT_TRUE(e);
    const auto q = quarter_values(c.dims, 99);
    for (std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{300}, std::size_t{c.rows}}) {
        k = std::min<std::size_t>(k, c.rows);
        const auto want = reference(*e, q, k);
        for (SinglePath path : kAllPaths) {
            if (path == SinglePath::pruned && c.metric == 2) continue;
            auto got = rivezor::run_single_path(path, *e, q.data(), k);
            ASSERT_TRUE(got.ok()) << got.error();
            const auto& hits = got.value().hits;
            ASSERT_EQ(hits.size(), want.size()) << "path " << int(path) << " k " << k;
            for (std::size_t i = 0; i < hits.size(); ++i) {
                ASSERT_EQ(hits[i].idx, want[i].idx) << "path " << int(path) << " k " << k << " rank " << i;
                ASSERT_EQ(static_cast<double>(hits[i].score), want[i].score);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EveryPath,
                         ::testing::Values(PathCase{0, 12000, 64}, PathCase{1, 10000, 80}, PathCase{2, 3000, 24},
                                           PathCase{1, 50, 5}, PathCase{2, 257, 130}));

TEST(EveryPath, RandomDataRowAndChunkedScanAgreeBitForBit) {
    const std::uint32_t rows = 20011, dims = 96;
    auto e = open_index("single_random", dims, rows, 1, normal_values(std::size_t{rows} * dims, 5));
    ASSERT_TRUE(e);
    const auto q = normal_values(dims, 6);
    for (std::size_t k : {1, 10, 1000}) {
        auto a = rivezor::run_single_path(SinglePath::row_scan, *e, q.data(), k);
        auto b = rivezor::run_single_path(SinglePath::chunked, *e, q.data(), k);
        ASSERT_TRUE(a.ok() && b.ok());
        ASSERT_EQ(a.value().hits.size(), k);
        ASSERT_EQ(b.value().hits.size(), k);
        for (std::size_t i = 0; i < k; ++i) {
            EXPECT_EQ(a.value().hits[i].idx, b.value().hits[i].idx);
            EXPECT_EQ(bits_of(a.value().hits[i].score), bits_of(b.value().hits[i].score));
            EXPECT_EQ(bits_of(a.value().hits[i].score),
                      bits_of(rivezor::kernels::pair_score(rivezor::Metric::dot, q.data(), e->row(a.value().hits[i].idx), dims)));
        }
        // The matrix paths and the pruned scan round differently; the rows still match the
        // reference wherever neighbours are not within rounding of each other.
        const auto want = reference(*e, q, k);
        for (SinglePath path : {SinglePath::blocked_matrix, SinglePath::full_matrix, SinglePath::pruned}) {
            auto got = rivezor::run_single_path(path, *e, q.data(), k);
            ASSERT_TRUE(got.ok());
            ASSERT_EQ(got.value().hits.size(), k);
            for (std::size_t i = 0; i < k; ++i) {
                EXPECT_NEAR(got.value().hits[i].score, want[i].score, 1e-4);
                const bool isolated = (i == 0 || want[i - 1].score - want[i].score > 1e-3) &&
                                      (i + 1 == k || want[i].score - want[i + 1].score > 1e-3);
                if (isolated) {
                    EXPECT_EQ(got.value().hits[i].idx, want[i].idx) << "path " << int(path) << " rank " << i;
                }
            }
        }
    }
}

// 8000 rows per chunk at 160 dims whatever the pool size, so the one-row last chunk ends
// long before the first and its hit sets the bar the first chunk's rows meet. Rows with
// the bar's score but smaller numbers must still win. The row scan splits this size too.
TEST(EveryPath, EqualScoresAcrossChunksKeepTheEarliestRows) {
    const std::uint32_t rows = 8001, dims = 160;
    ASSERT_EQ(rivezor::rows_per_work_item(rivezor::Metric::cosine, dims, rows, 1), 8000u);
    ASSERT_EQ(rivezor::rows_per_work_item(rivezor::Metric::cosine, dims, rows, 64), 8000u);
    std::vector<float> m(std::size_t{rows} * dims, 0.25f);
    for (std::uint32_t metric : {0u, 2u}) {
        auto e = open_index("single_ties", dims, rows, metric, m);
        ASSERT_TRUE(e);
        const std::vector<float> q(dims, 0.5f);
        for (int rep = 0; rep < 20; ++rep) {
            for (SinglePath path : {SinglePath::row_scan, SinglePath::chunked, SinglePath::blocked_matrix}) {
                for (std::size_t k : {1, 3}) {
                    auto got = rivezor::run_single_path(path, *e, q.data(), k);
                    ASSERT_TRUE(got.ok());
                    ASSERT_EQ(got.value().hits.size(), k);
                    for (std::size_t i = 0; i < k; ++i) ASSERT_EQ(got.value().hits[i].idx, i) << int(path);
                }
            }
        }
    }
}

TEST(EveryPath, MethodNamesAndPrunedFallback) {
    auto big = open_index("single_names", 64, 10000, 0, quarter_values(640000, 1));
    auto small = open_index("single_names_small", 64, 100, 0, quarter_values(6400, 2));
    ASSERT_TRUE(big && small);
    const auto q = quarter_values(64, 3);
    const std::pair<SinglePath, const char*> names[] = {{SinglePath::row_scan, "exact"},
                                                        {SinglePath::chunked, "exact-chunked"},
                                                        {SinglePath::blocked_matrix, "exact-blocked-matrix"},
                                                        {SinglePath::full_matrix, "exact-matrix-full"},
                                                        {SinglePath::pruned, "exact-pruned-fast"}};
    for (const auto& [path, name] : names) {
        auto got = rivezor::run_single_path(path, *big, q.data(), 5);
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(got.value().method_used, name);
    }
    // No block norms below 10000 rows: the pruned scan hands over to the chunked scan.
    ASSERT_FALSE(small->has_block_norms());
    auto got = rivezor::run_single_path(SinglePath::pruned, *small, q.data(), 5);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.value().method_used, "exact-chunked");
}

// The pruned scan keeps rows that only the slack saves and drops rows the bound beats,
// with the early rows scored by the pair kernel while the heap fills.
TEST(PrunedScan, PlantedWinnersAmongNearZeroRows) {
    const std::uint32_t rows = 10000, dims = 64;
    std::vector<float> m(std::size_t{rows} * dims, 0.0f);
    std::mt19937 gen(4);
    std::uniform_real_distribution<float> tiny(-1e-3f, 1e-3f);
    for (auto& x : m) x = tiny(gen);
    const std::vector<std::uint32_t> planted = {9999, 17, 5000, 8191, 3};
    for (std::size_t i = 0; i < planted.size(); ++i)
        for (std::size_t j = 0; j < dims; ++j) m[std::size_t{planted[i]} * dims + j] = 0.1f * float(i + 1);
    auto e = open_index("single_pruned", dims, rows, 0, m);
    ASSERT_TRUE(e && e->has_block_norms());
    std::vector<float> q(dims, 1.0f);
    auto got = rivezor::run_single_path(SinglePath::pruned, *e, q.data(), 5);
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got.value().hits.size(), 5u);
    const std::uint64_t order[] = {3, 8191, 5000, 17, 9999};  // largest planted value first
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(got.value().hits[i].idx, order[i]);
}

// 16-wide blocks at 64 dims. The candidate equals the query on block 3 and is zero elsewhere,
// so once block 0 (the heaviest) is visited its Cauchy-Schwarz limit is exactly its true
// score 2^26 + 20.25. In float32 the lane sums round each small term up to a step of 8 and
// score it 2^26 + 32, which every path reports. Row 0 scores 2^26 + 24, in between: only a
// slack that covers the rounding keeps the candidate.
TEST(PrunedScan, LargeMagnitudeRowWhoseBlockDotRoundsUpIsKept) {
    const std::uint32_t rows = 10000, dims = 64;
    std::vector<float> q(dims, 0.0f);
    q[0] = 1.0f;
    for (std::size_t j = 1; j < 16; ++j) q[j] = 4096.0f;
    q[48] = 8192.0f;
    for (std::size_t j : {49, 50, 51, 56}) q[j] = 2.25f;
    for (std::uint32_t metric : {0u, 1u}) {
        for (std::uint32_t candidate : {1u, 5000u, 9999u}) {
            std::vector<float> m(std::size_t{rows} * dims, 0.0f);
            m[0] = 67108888.0f;  // 2^26 + 24
            for (std::size_t j = 48; j < dims; ++j) m[std::size_t{candidate} * dims + j] = q[j];
            auto e = open_index("single_rounding", dims, rows, metric, m);
            ASSERT_TRUE(e && e->has_block_norms());
            ASSERT_EQ(e->dim_blocks().size(), 4u);
            for (std::size_t k : {1, 2}) {
                auto want = rivezor::run_single_path(SinglePath::row_scan, *e, q.data(), k);
                auto got = rivezor::run_single_path(SinglePath::pruned, *e, q.data(), k);
                ASSERT_TRUE(want.ok() && got.ok());
                // The construction must hold, or the comparison below proves nothing.
                ASSERT_EQ(want.value().hits[0].idx, candidate);
                ASSERT_EQ(want.value().hits[0].score, 67108896.0f);  // 2^26 + 32
                ASSERT_EQ(got.value().hits.size(), want.value().hits.size());
                for (std::size_t i = 0; i < k; ++i) {
                    EXPECT_EQ(got.value().hits[i].idx, want.value().hits[i].idx)
                        << "metric " << metric << " candidate " << candidate << " k " << k << " rank " << i;
                    EXPECT_EQ(got.value().hits[i].score, want.value().hits[i].score);
                }
            }
        }
    }
}

struct SlackCase {
    std::size_t dims, block;
    double q_energy;
    float row_norm;
    bool fixed;  // whether the fixed 0.0001 stays
};

class PrunedSlackScale : public ::testing::TestWithParam<SlackCase> {};

// Unit-scale data keeps exactly the fixed slack, so the scan prunes as it always did; only
// where rounding can reach 0.0001 does the slack grow, and then in proportion to the norms.
TEST_P(PrunedSlackScale, FixedUntilRoundingCanReachIt) {
    const auto c = GetParam();
    const std::size_t nblocks = (c.dims + c.block - 1) / c.block;
    const rivezor::rounding::PrunedSlack slack(c.dims, nblocks, c.block, c.q_energy);
    const double s = slack.slack(c.row_norm);
    if (c.fixed) {
        EXPECT_EQ(s, rivezor::rounding::PrunedSlack::kFixed);
    } else {
        EXPECT_GT(s, rivezor::rounding::PrunedSlack::kFixed);
        // Ten times the row norm, ten times the slack (up to the norm's own rounding).
        EXPECT_NEAR(slack.slack(c.row_norm * 10.0f) / s, 10.0, 1e-6);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Norms, PrunedSlackScale,
    ::testing::Values(SlackCase{64, 32, 1.0, 1.0f, true}, SlackCase{768, 64, 1.0, 1.0f, true},
                      SlackCase{4096, 64, 1.0, 1.0f, true}, SlackCase{128, 16, 4.0, 2.0f, true},
                      SlackCase{64, 32, 1.0, std::numeric_limits<float>::quiet_NaN(), true},
                      SlackCase{64, 32, 1e6, 1000.0f, false}, SlackCase{768, 64, 768.0, 27.7f, false},
                      SlackCase{64, 32, 1.0, 1e5f, false}));

TEST(EveryPath, NonFiniteRowsNeverReturned) {
    const std::uint32_t rows = 40, dims = 9;
    auto m = quarter_values(std::size_t{rows} * dims, 8);
    m[0 * dims + 4] = std::numeric_limits<float>::quiet_NaN();
    m[7 * dims + 0] = std::numeric_limits<float>::infinity();
    m[8 * dims + 8] = -std::numeric_limits<float>::infinity();
    for (std::uint32_t metric : {0u, 2u}) {
        auto e = open_index("single_nonfinite", dims, rows, metric, m);
        ASSERT_TRUE(e);
        const auto q = quarter_values(dims, 9);
        for (SinglePath path : kAllPaths) {
            auto got = rivezor::run_single_path(path, *e, q.data(), rows);
            ASSERT_TRUE(got.ok());
            EXPECT_EQ(got.value().hits.size(), rows - 3u) << int(path);
            for (const auto& h : got.value().hits) {
                EXPECT_NE(h.idx, 0u);
                EXPECT_NE(h.idx, 7u);
                EXPECT_NE(h.idx, 8u);
            }
        }
    }
}

TEST(SearchSingle, ValidationOrderMessagesAndShortcut) {
    auto e = open_index("single_validate", 4, 3, 0, quarter_values(12, 10));
    ASSERT_TRUE(e);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> wrong = {1, nan, 2};
    auto r = rivezor::search_single(*e, wrong.data(), wrong.size(), 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "Query dimension 3 != index dimension 4");
    const std::vector<float> with_inf = {1, 2, -std::numeric_limits<float>::infinity(), 3};
    r = rivezor::search_single(*e, with_inf.data(), 4, 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "Query vector contém valores não finitos");
    // The finiteness check precedes the k = 0 shortcut.
    r = rivezor::search_single(*e, with_inf.data(), 4, 0);
    ASSERT_FALSE(r.ok());

    const std::vector<float> q = {1, 2, 3, 4};
    r = rivezor::search_single(*e, q.data(), 4, 0);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().hits.empty());
    EXPECT_EQ(r.value().method_used, "exact");
    EXPECT_EQ(r.value().query_time_ms, 0.0);
    r = rivezor::search_single(*e, q.data(), 4, std::numeric_limits<std::uint64_t>::max());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().hits.size(), 3u);
    EXPECT_GE(r.value().query_time_ms, 0.0);

    // Direct path runs clamp k and accept zero.
    for (SinglePath path : kAllPaths) {
        auto direct = rivezor::run_single_path(path, *e, q.data(), 0);
        ASSERT_TRUE(direct.ok());
        EXPECT_TRUE(direct.value().hits.empty());
        direct = rivezor::run_single_path(path, *e, q.data(), 1000);
        ASSERT_TRUE(direct.ok());
        EXPECT_EQ(direct.value().hits.size(), 3u);
    }

    auto empty = open_index("single_validate_empty", 4, 0, 1, {});
    ASSERT_TRUE(empty);
    r = rivezor::search_single(*empty, q.data(), 4, 5);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().hits.empty());
    EXPECT_EQ(r.value().method_used, "exact");
}

}  // namespace

namespace {

// The vector candidate filter against the plain reading of its contract, over scores of
// every class (NaN, infinities, signed zeros, negatives) and limits on both sides of zero,
// at lengths that leave every possible tail after the groups of eight.
TEST(Candidates, MatchPlainFilterForEveryClassOfScoreAndLimit) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> pick(0, 9);
    std::normal_distribution<float> normal(0.0f, 2.0f);
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {std::nanf(""), -std::nanf(""), inf, -inf, 0.0f, -0.0f,
                              std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::max()};
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 31u, 256u}) {
        std::vector<float> scores(n);
        for (float& s : scores) s = pick(gen) < 3 ? specials[pick(gen) % 8] : normal(gen);
        std::vector<std::int32_t> limits = {0, -1, rivezor::order_key(-0.5f), rivezor::order_key(1.0f),
                                            INT32_MIN, INT32_MAX};
        if (n > 0) limits.push_back(rivezor::order_key(scores[n / 2]));
        for (bool higher : {true, false}) {
            for (std::size_t l = 0; l <= limits.size(); ++l) {
                const std::int32_t* limit = l < limits.size() ? &limits[l] : nullptr;
                std::vector<std::uint32_t> want;
                for (std::size_t i = 0; i < n; ++i) {
                    if (!std::isfinite(scores[i])) continue;
                    const std::int32_t key = rivezor::order_key(scores[i]);
                    if (limit != nullptr && (higher ? key < *limit : key > *limit)) continue;
                    want.push_back(static_cast<std::uint32_t>(i));
                }
                for (const auto simd : rivezor::test_support::simd_forms()) {
                    const rivezor::runtime::SimdCapForTests cap(simd);
                    std::vector<std::uint32_t> got(n + 1);
                    got.resize(rivezor::topk::candidates(scores.data(), n, limit, higher, got.data()));
                    EXPECT_EQ(got, want) << "n=" << n << " higher=" << higher << " limit#" << l << " "
                                         << rivezor::test_support::simd_form_name(simd);
                }
            }
        }
    }
}

}  // namespace
