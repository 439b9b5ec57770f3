// The fused score-and-select kernel against a plain reference: every pair scored one at a time
// by the same FMA chain, then the heap walk over the whole score array, compared bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "engine/fused_avx2.hpp"
#include "engine/kernels.hpp"
#include "engine/topk.hpp"
#include "runtime/cpu_features.hpp"
#include "test_support.hpp"

namespace {

using rivezor::Hit;
using rivezor::topk::BoundedHeap;

class Heaps final : public rivezor::fused::Sink {
public:
    Heaps(std::size_t nq, std::size_t k, bool higher) : open(higher ? -INFINITY : INFINITY) {
        for (std::size_t i = 0; i < nq; ++i) heaps.emplace_back(k, higher);
    }
    float offer(std::size_t query, std::uint64_t row, float score) override {
        ++offers;
        heaps[query].offer(row, score);
        return heaps[query].full() ? heaps[query].worst().score : open;
    }
    float open;
    std::size_t offers = 0;
    std::vector<BoundedHeap> heaps;
};

struct Edge {
    const char* what;
    std::size_t nq, rows, dims, k;
    bool euclidean;
    int special;  // 0 plain, 1 non-finite rows, 2 equal rows across panels and groups, 3 query = a row,
                  // 4 the first six queries eight times longer than the rest
};

void PrintTo(const Edge& e, std::ostream* os) { *os << e.what; }

class FusedEdges : public ::testing::TestWithParam<Edge> {};

TEST_P(FusedEdges, SameHitsAndBitsAsPairByPairReference) {
    const Edge e = GetParam();
    std::vector<float> x = rivezor::test_support::normal_values(e.rows * e.dims, 7 + static_cast<unsigned>(e.rows));
    std::vector<float> q = rivezor::test_support::normal_values(e.nq * e.dims, 11 + static_cast<unsigned>(e.nq));
    if (e.special == 1)
        for (std::size_t r = 3; r < e.rows; r += 5)
            x[r * e.dims + (r % e.dims)] = r % 2 ? std::numeric_limits<float>::quiet_NaN() : INFINITY;
    if (e.special == 2)  // copies of row 1 at distances cutting panels (16) and groups
        for (std::size_t r = 17; r < e.rows; r += 61) std::memcpy(&x[r * e.dims], &x[e.dims], e.dims * sizeof(float));
    if (e.special == 4)
        for (std::size_t i = 0; i < std::min<std::size_t>(6, e.nq) * e.dims; ++i) q[i] *= 8.0f;
    if (e.special == 3)
        for (std::size_t i = 0; i < e.nq; ++i) std::memcpy(&q[i * e.dims], &x[(i % e.rows) * e.dims], e.dims * 4);

    std::vector<double> qq(e.nq), xx(e.rows);
    for (std::size_t i = 0; i < e.nq; ++i) qq[i] = rivezor::kernels::sum_squares_f64(&q[i * e.dims], e.dims);
    for (std::size_t r = 0; r < e.rows; ++r) xx[r] = rivezor::kernels::sum_squares_f64(&x[r * e.dims], e.dims);
    const bool higher = !e.euclidean;
    const std::uint64_t first_row = 1000;

    // Every form the processor has (16 lanes, 8 lanes forced, scalar) gives the same hits and bits.
    for (const char* form : {"", "avx2", "scalar"}) {
        ::setenv("ZARIR_MATRIX_KERNEL", form, 1);
        Heaps sink(e.nq, e.k, higher);
        std::vector<float> bars(e.nq, sink.open);
        const rivezor::fused::Problem p{q.data(), e.nq, x.data(), e.rows, e.dims, first_row, higher,
                                        e.euclidean ? qq.data() : nullptr, e.euclidean ? xx.data() : nullptr};
        rivezor::fused::score_and_select(p, bars.data(), sink);

        for (std::size_t i = 0; i < e.nq; ++i) {
            std::vector<float> scores(e.rows);
            for (std::size_t r = 0; r < e.rows; ++r) {
                const float dot = rivezor::fused::chain_dot(&q[i * e.dims], &x[r * e.dims], e.dims);
                scores[r] = e.euclidean ? rivezor::kernels::l2sq_from_dot(qq[i], xx[r], dot) : dot;
            }
            const std::vector<Hit> want = rivezor::topk::top_k_of_scores(scores.data(), e.rows, e.k, higher, first_row);
            const std::vector<Hit> got = sink.heaps[i].take_sorted();
            ASSERT_EQ(got.size(), want.size()) << e.what << " form " << form << " query " << i;
            for (std::size_t h = 0; h < got.size(); ++h) {
                EXPECT_EQ(got[h].idx, want[h].idx) << e.what << " form " << form << " query " << i << " hit " << h;
                EXPECT_EQ(rivezor::test_support::bits_of(got[h].score), rivezor::test_support::bits_of(want[h].score))
                    << e.what << " form " << form << " query " << i << " hit " << h;
            }
        }
        // Only candidates leave the tiles: far fewer offers than scores once the heaps are full.
        if (e.rows >= 1000 && e.k <= 10) {
            EXPECT_LT(sink.offers, e.nq * e.rows / 4) << e.what;
        }
    }
    ::unsetenv("ZARIR_MATRIX_KERNEL");
}

INSTANTIATE_TEST_SUITE_P(
    Table, FusedEdges,
    ::testing::Values(Edge{"one pair", 1, 1, 1, 1, false, 0},
                      Edge{"tiles cut by rows and queries, dims 7", 7, 17, 7, 3, false, 0},
                      Edge{"dims 9, euclidean", 13, 45, 9, 4, true, 0},
                      Edge{"k larger than a tile", 8, 33, 16, 40, false, 0},
                      Edge{"k larger than a tile, euclidean", 5, 50, 12, 100, true, 0},
                      Edge{"rows across a packing group", 13, 1100, 128, 5, false, 0},
                      Edge{"rows across a packing group, euclidean", 7, 1100, 128, 10, true, 0},
                      Edge{"wide rows across a group", 6, 170, 768, 7, false, 0},
                      Edge{"groups of whole panel pairs, a short last group", 13, 150, 1536, 4, false, 0},
                      Edge{"three panels padded to two pairs, euclidean", 7, 40, 1536, 6, true, 0},
                      Edge{"components cut in blocks, euclidean", 14, 90, 4100, 5, true, 0},
                      Edge{"query tiles cut by a chunk", 517, 40, 300, 3, true, 0},
                      Edge{"query tiles cut by a chunk, components in blocks", 30, 40, 4100, 3, false, 0},
                      Edge{"non-finite rows", 9, 200, 24, 10, false, 1},
                      Edge{"non-finite rows, euclidean, k above finite rows", 3, 40, 8, 40, true, 1},
                      Edge{"non-finite rows in runs of many tiles, euclidean", 40, 1500, 32, 4, true, 1},
                      Edge{"ties spanning tiles and groups", 11, 1300, 128, 12, false, 2},
                      Edge{"ties spanning tiles, euclidean", 4, 300, 20, 6, true, 2},
                      Edge{"query equal to a row, euclidean", 12, 64, 31, 3, true, 3},
                      Edge{"many queries, filter exercised", 37, 3000, 64, 10, false, 0},
                      Edge{"long runs of tile pairs that may not enter, euclidean", 61, 3000, 32, 5, true, 0},
                      Edge{"a padded tile pair tested in registers once the bars rose", 11, 2000, 16, 2, false, 0},
                      Edge{"the same, euclidean", 11, 2000, 16, 2, true, 0},
                      Edge{"tile pairs of queries of very different lengths, euclidean", 12, 2000, 16, 3, true, 4}));

// The vector kernels test euclidean scores in float before the exact test in double. Far from the
// origin float rounding of the norms outweighs the gap between the two nearest rows, so the
// nearest row, placed last and alone in its tile pair, is let in only if that test allows for
// the rounding (a case is searched where a plain float test would refuse it).
TEST(FusedKernel, EuclideanFloatTestNeverRefusesARowTheExactTestTakes) {
    if (!rivezor::runtime::processor_has_avx2_fma()) GTEST_SKIP() << "no AVX2 and FMA: the float tests do not run";
    const std::size_t dims = 16, pool = 2016, nq = 12;  // 126 panels: the last row ends a full pair
    std::vector<float> x = rivezor::test_support::normal_values(pool * dims, 41);
    for (float& v : x) v += 10000.0f;
    std::vector<double> xx(pool);
    for (std::size_t r = 0; r < pool; ++r) xx[r] = rivezor::kernels::sum_squares_f64(&x[r * dims], dims);
    bool sharp = false;
    std::vector<float> q, rows;
    for (unsigned seed = 1; seed < 200 && !sharp; ++seed) {
        q = rivezor::test_support::normal_values(dims, seed);
        for (float& v : q) v += 10000.0f;
        const double qq = rivezor::kernels::sum_squares_f64(q.data(), dims);
        std::vector<std::pair<float, std::size_t>> by_score;
        for (std::size_t r = 0; r < pool; ++r)
            by_score.push_back({rivezor::kernels::l2sq_from_dot(qq, xx[r], rivezor::fused::chain_dot(q.data(), &x[r * dims], dims)), r});
        std::sort(by_score.begin(), by_score.end());
        const auto [nearest, nearest_row] = by_score[0];
        if (!(nearest < by_score[1].first)) continue;
        const float dot = rivezor::fused::chain_dot(q.data(), &x[nearest_row * dims], dims);
        const float plain = std::fma(-2.0f, dot, static_cast<float>(qq) + static_cast<float>(xx[nearest_row]));
        sharp = plain > by_score[1].first;  // a plain float test would keep the second nearest
        // Row 0 the second nearest, then every other row, the nearest last.
        rows.clear();
        for (std::size_t i = 1; i <= pool; ++i) {
            const float* row = &x[by_score[i % pool].second * dims];
            rows.insert(rows.end(), row, row + dims);
        }
    }
    ASSERT_TRUE(sharp) << "no query found where float rounding hides the nearest row";
    std::vector<float> queries;
    for (std::size_t i = 0; i < nq; ++i) queries.insert(queries.end(), q.begin(), q.end());
    std::vector<double> qq(nq, rivezor::kernels::sum_squares_f64(q.data(), dims)), rows_sq(pool);
    for (std::size_t r = 0; r < pool; ++r) rows_sq[r] = rivezor::kernels::sum_squares_f64(&rows[r * dims], dims);
    for (const char* form : {"", "avx2", "scalar"}) {
        ::setenv("ZARIR_MATRIX_KERNEL", form, 1);
        Heaps sink(nq, 1, false);
        std::vector<float> bars(nq, sink.open);
        const rivezor::fused::Problem p{queries.data(), nq, rows.data(), pool, dims, 0, false, qq.data(), rows_sq.data()};
        rivezor::fused::score_and_select(p, bars.data(), sink);
        for (std::size_t i = 0; i < nq; ++i)
            EXPECT_EQ(sink.heaps[i].take_sorted().at(0).idx, pool - 1) << "form " << form << " query " << i;
    }
    ::unsetenv("ZARIR_MATRIX_KERNEL");
}

// The float floor against the exact rule, score by score: dot products a few floats either side
// of the one that meets the bar, the bar the score itself (a tie enters) or the float above it,
// over norms of many magnitudes, alike and far apart, the dot product not bound by them (the
// floor's margin must not rest on it); and the non-finite cases, which must pass.
TEST(FusedKernel, EuclideanFloorLetsInEveryScoreAtOrBelowTheBar) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::size_t refused = 0, sharp = 0;
    for (int n = 0; n < 200000; ++n) {
        const double scale = std::ldexp(1.0, static_cast<int>(unit(gen) * 80.0) - 40);
        const double qq = scale * unit(gen), xx = (n % 2 ? scale : scale * unit(gen) * 1e-3) * unit(gen);
        const float near = static_cast<float>((qq + xx - (qq + xx) * 0.05 * unit(gen)) / 2.0);
        float dot = near;
        for (int step = 0; step < 6; ++step, dot = std::nextafter(dot, INFINITY)) {
            const float score = rivezor::kernels::l2sq_from_dot(qq, xx, dot);
            for (const float bar : {score, std::nextafter(score, INFINITY)}) {
                refused += !rivezor::fused::l2_floor_lets_in(qq, xx, bar, dot);
                const float bare = static_cast<float>((qq - bar) * 0.5) + static_cast<float>(xx * 0.5);
                sharp += dot < bare;  // where a floor without margin would refuse
            }
        }
    }
    EXPECT_EQ(refused, 0u);
    EXPECT_GT(sharp, 0u) << "no score where the margin is needed: the cases do not test it";
    const float inf = INFINITY, nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(rivezor::fused::l2_floor_lets_in(4.0, 9.0, inf, -1e30f));  // no bar yet
    EXPECT_TRUE(rivezor::fused::l2_floor_lets_in(4.0, INFINITY, 1.0f, 0.0f));
    EXPECT_TRUE(rivezor::fused::l2_floor_lets_in(4.0, 9.0, 1.0f, nan));
    EXPECT_TRUE(rivezor::fused::l2_floor_lets_in(1e300, 1e300, 1.0f, 3e38f));  // halves beyond float range
    EXPECT_FALSE(rivezor::fused::l2_floor_lets_in(4.0, 9.0, 1.0f, 0.0f));    // 13 is surely above 1
}

// A worker keeps its working buffers from call to call. A call after larger ones of another
// metric and shape, on the same thread, gives what it gives on a fresh thread with none kept.
TEST(FusedKernel, BuffersKeptFromEarlierCallsChangeNoAnswer) {
    struct Case {
        std::size_t nq, rows, dims, k;
        bool euclidean;
    };
    const Case cases[] = {{30, 90, 4100, 5, true}, {40, 1500, 1536, 7, true}, {517, 300, 300, 3, false}, {7, 17, 7, 3, true},
                          {13, 45, 9, 4, false}, {3, 40, 8, 40, true}};
    const auto run = [](const Case& c) {
        std::vector<float> x = rivezor::test_support::normal_values(c.rows * c.dims, 5 + static_cast<unsigned>(c.rows));
        std::vector<float> q = rivezor::test_support::normal_values(c.nq * c.dims, 9 + static_cast<unsigned>(c.nq));
        std::vector<double> qq(c.nq), xx(c.rows);
        for (std::size_t i = 0; i < c.nq; ++i) qq[i] = rivezor::kernels::sum_squares_f64(&q[i * c.dims], c.dims);
        for (std::size_t r = 0; r < c.rows; ++r) xx[r] = rivezor::kernels::sum_squares_f64(&x[r * c.dims], c.dims);
        Heaps sink(c.nq, c.k, !c.euclidean);
        std::vector<float> bars(c.nq, sink.open);
        rivezor::fused::score_and_select({q.data(), c.nq, x.data(), c.rows, c.dims, 0, !c.euclidean,
                                          c.euclidean ? qq.data() : nullptr, c.euclidean ? xx.data() : nullptr},
                                         bars.data(), sink);
        std::vector<Hit> all;
        for (BoundedHeap& h : sink.heaps)
            for (const Hit& hit : h.take_sorted()) all.push_back(hit);
        return all;
    };
    for (const Case& c : cases) {
        std::vector<Hit> fresh;
        std::thread([&] { fresh = run(c); }).join();
        const std::vector<Hit> after = run(c);
        ASSERT_EQ(after.size(), fresh.size()) << c.nq << " x " << c.dims;
        for (std::size_t h = 0; h < after.size(); ++h) {
            EXPECT_EQ(after[h].idx, fresh[h].idx) << c.nq << " x " << c.dims << " hit " << h;
            EXPECT_EQ(rivezor::test_support::bits_of(after[h].score), rivezor::test_support::bits_of(fresh[h].score));
        }
    }
}

}  // namespace
