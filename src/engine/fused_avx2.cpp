// The fused score-and-select kernel: rows packed in panels of 16, a 6 x 16 tile of scores in
// twelve ymm accumulators, and the test against each query's bar before any score leaves them.
#include "engine/fused_avx2.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/transpose_avx2.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/environment.hpp"

namespace rivezor::fused {
namespace {

constexpr std::size_t kTileQueries = 6;
constexpr std::size_t kPanelRows = 16;
constexpr unsigned kAllQueries = (1u << kTileQueries) - 1u;
// Rows packed at once: their panels stay in the core's L2 while every query tile of the
// problem passes over them, so each row is read from memory once per problem.
constexpr std::size_t kGroupBytes = 512 * 1024;
// Query tiles visited per panel pair: they stream from L2 while the pair stays in L1 (short
// rows) or L2, and the group and the chunk together fit the core's L2.
constexpr std::size_t kChunkBytes = 512 * 1024;
// Components per block of the chains. Whole rows up to this length: a tile pair's panels then
// stream from L2, which keeps up, and no partial chains are stored and loaded back between
// blocks (one thread, 1,000 queries: blocks of 256 were 3-7% slower than whole rows at 384,
// 768, 1,536 and 4,096 dimensions). Only longer rows are cut, so that a panel pair and a chunk
// of query tiles still fit L2.
constexpr std::size_t kBlockComponents = 4096;

// Panel p holds rows 16p .. 16p+15 of the group component-major (component k of its rows at
// 16k .. 16k+15), so one tile step loads the component of sixteen rows with two unit-stride
// loads. Rows past the end are zeros; their scores are never looked at.
// Eight rows' components [k0, k0 + 8) go to dst as eight runs of eight (component k0 + c of
// the rows at dst + 16c): two 4x4 transposes per half and a swap of halves.
RIVEZOR_TARGET_AVX2 void pack_8x8_avx2(const float* src, std::size_t d, std::size_t k0, float* dst) {
    __m256 lo_f32x8[4], hi_f32x8[4];
    transpose_f32_4x4_halves_avx2(_mm256_loadu_ps(src + k0), _mm256_loadu_ps(src + d + k0),
                                  _mm256_loadu_ps(src + 2 * d + k0), _mm256_loadu_ps(src + 3 * d + k0), lo_f32x8);
    transpose_f32_4x4_halves_avx2(_mm256_loadu_ps(src + 4 * d + k0), _mm256_loadu_ps(src + 5 * d + k0),
                                  _mm256_loadu_ps(src + 6 * d + k0), _mm256_loadu_ps(src + 7 * d + k0), hi_f32x8);
    for (std::size_t j = 0; j < 4; ++j) {
        _mm256_storeu_ps(dst + (k0 + j) * kPanelRows, _mm256_permute2f128_ps(lo_f32x8[j], hi_f32x8[j], 0x20));
        _mm256_storeu_ps(dst + (k0 + 4 + j) * kPanelRows, _mm256_permute2f128_ps(lo_f32x8[j], hi_f32x8[j], 0x31));
    }
}

void pack_group(const Problem& p, std::size_t first, std::size_t n, float* panels, double* sq, bool vector) {
    const std::size_t d = p.dims;
    const std::size_t npanels = (n + kPanelRows - 1) / kPanelRows;
    for (std::size_t pi = 0; pi < npanels; ++pi) {
        float* dst = panels + pi * kPanelRows * d;
        // A full panel moves eight rows by eight components at a time (a strided scalar copy
        // was a tenth of a 128-dimension batch); the rest, and the last panel, one by one.
        const std::size_t k_vec = vector && (pi + 1) * kPanelRows <= n ? d / 8 * 8 : 0;
        for (std::size_t h = 0; h < kPanelRows && k_vec > 0; h += 8)
            for (std::size_t k0 = 0; k0 < k_vec; k0 += 8)
                pack_8x8_avx2(p.rows + (first + pi * kPanelRows + h) * d, d, k0, dst + h);
        for (std::size_t j = 0; j < kPanelRows; ++j) {
            const std::size_t r = pi * kPanelRows + j;
            if (r < n) {
                const float* src = p.rows + (first + r) * d;
                for (std::size_t k = k_vec; k < d; ++k) dst[k * kPanelRows + j] = src[k];
            } else {
                for (std::size_t k = 0; k < d; ++k) dst[k * kPanelRows + j] = 0.0f;
            }
        }
    }
    if (p.row_sq != nullptr)
        for (std::size_t r = 0; r < npanels * kPanelRows; ++r) sq[r] = r < n ? p.row_sq[first + r] : 0.0;
}

// Queries go in tiles of six, component-major (component k of the tile's queries at 6k .. 6k+5),
// so the six broadcasts of a step read one short run; a last short tile is padded with zeros.
void pack_queries(const Problem& p, float* tiles) {
    const std::size_t d = p.dims;
    const std::size_t ntiles = (p.nq + kTileQueries - 1) / kTileQueries;
    for (std::size_t t = 0; t < ntiles; ++t)
        for (std::size_t i = 0; i < kTileQueries; ++i) {
            const std::size_t qi = t * kTileQueries + i;
            float* dst = tiles + t * kTileQueries * d + i;
            for (std::size_t k = 0; k < d; ++k) dst[k * kTileQueries] = qi < p.nq ? p.queries[qi * d + k] : 0.0f;
        }
}

// The scalar reading of "not numerically worse than the bar"; NaN is never worse, so it goes
// on to the sink, which drops it.
inline bool may_enter(float s, float bar, bool higher) { return higher ? !(s < bar) : !(s > bar); }

inline float l2_from_dot(double qq, double xx, float dot) {
    return static_cast<float>(qq + xx - 2.0 * static_cast<double>(dot));
}

// ---------------------------------------------------------------------------------------
// Scalar form, for processors without AVX2 and FMA: the same chains with std::fma.

// Continues the tile's chains over kc more components from `init` (null: from zero).
void tile_dots_scalar(const float* qtile, std::size_t kc, const float* panel, const float* init, float* out) {
    for (std::size_t i = 0; i < kTileQueries; ++i)
        for (std::size_t j = 0; j < kPanelRows; ++j) {
            float s = init != nullptr ? init[i * kPanelRows + j] : 0.0f;
            for (std::size_t k = 0; k < kc; ++k) s = std::fma(qtile[k * kTileQueries + i], panel[k * kPanelRows + j], s);
            out[i * kPanelRows + j] = s;
        }
}

void tile_test_scalar(const Problem& p, std::size_t q0, std::size_t mr, float* dots, const double* sq,
                      std::uint64_t row0, std::size_t valid, float* bars, Sink& sink) {
    for (std::size_t i = 0; i < mr; ++i)
        for (std::size_t j = 0; j < valid; ++j) {
            const float dot = dots[i * kPanelRows + j];
            const float score = p.query_sq != nullptr ? l2_from_dot(p.query_sq[q0 + i], sq[j], dot) : dot;
            if (may_enter(score, bars[q0 + i], p.higher_is_better))
                bars[q0 + i] = sink.offer(q0 + i, row0 + j, score);
        }
}

// The next group's rows, asked for into the outer caches a few lines per tile step while
// this group's products run, so that its packing reads them from cache instead of waiting on
// memory (one thread, 1,000 queries over 100,000 rows: 0.5-4% faster at 768 dimensions, about
// 2% at 128, on a noisy machine; never slower). The range never passes the rows' end.
class RowsAhead {
public:
    RowsAhead(const float* from, const float* to, std::size_t steps)
        : next_(reinterpret_cast<std::uintptr_t>(from)), end_(reinterpret_cast<std::uintptr_t>(to)),
          per_step_(end_ > next_ ? (end_ - next_) / kLine / std::max<std::size_t>(steps, 1) + 1 : 0) {}
    void step() {
        for (std::size_t l = 0; l < per_step_ && next_ < end_; ++l, next_ += kLine)
            _mm_prefetch(reinterpret_cast<const char*>(next_), _MM_HINT_T2);
    }

private:
    static constexpr std::uintptr_t kLine = 64;
    std::uintptr_t next_;
    std::uintptr_t end_;
    std::size_t per_step_;
};

// ---------------------------------------------------------------------------------------
// AVX2 form.

// The norm expansion on eight scores: the same double operations in the same order as
// l2_from_dot, four lanes at a time.
RIVEZOR_TARGET_AVX2_FMA inline __m256 l2_from_dots_avx2(__m256 dots_f32x8, __m256d qq_f64x4, const double* xx) {
    const __m256d two_f64x4 = _mm256_set1_pd(2.0);
    const __m256d lo_f64x4 = _mm256_sub_pd(_mm256_add_pd(qq_f64x4, _mm256_loadu_pd(xx)),
                                           _mm256_mul_pd(two_f64x4, _mm256_cvtps_pd(_mm256_castps256_ps128(dots_f32x8))));
    const __m256d hi_f64x4 = _mm256_sub_pd(_mm256_add_pd(qq_f64x4, _mm256_loadu_pd(xx + 4)),
                                           _mm256_mul_pd(two_f64x4, _mm256_cvtps_pd(_mm256_extractf128_ps(dots_f32x8, 1))));
    return _mm256_set_m128(_mm256_cvtpd_ps(hi_f64x4), _mm256_cvtpd_ps(lo_f64x4));
}

RIVEZOR_TARGET_AVX2_FMA inline unsigned entry_mask_avx2(__m256 s_f32x8, __m256 bar_f32x8, bool higher) {
    const __m256 keep_f32x8 =
        higher ? _mm256_cmp_ps(s_f32x8, bar_f32x8, _CMP_NLT_UQ) : _mm256_cmp_ps(s_f32x8, bar_f32x8, _CMP_NGT_UQ);
    return static_cast<unsigned>(_mm256_movemask_ps(keep_f32x8));
}

// The chains of a 6 x 16 tile in twelve accumulators, continued over kc components from
// `init` (null: from zero); a float stored and loaded back is the same float, so cutting the
// components into blocks changes no bit. Inlined into its two callers, each of which keeps the
// twelve in registers through the loop (checked in the compiled code).
RIVEZOR_TARGET_AVX2_FMA __attribute__((always_inline)) inline void tile_chains_avx2(
    const float* qtile, std::size_t kc, const float* panel, const float* init, __m256 (&acc0_f32x8)[kTileQueries],
    __m256 (&acc1_f32x8)[kTileQueries]) {
    if (init != nullptr) {
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kTileQueries; ++i) {
            acc0_f32x8[i] = _mm256_loadu_ps(init + i * kPanelRows);
            acc1_f32x8[i] = _mm256_loadu_ps(init + i * kPanelRows + 8);
        }
    } else {
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kTileQueries; ++i) acc0_f32x8[i] = acc1_f32x8[i] = _mm256_setzero_ps();
    }
    for (std::size_t k = 0; k < kc; ++k) {
        const __m256 b0_f32x8 = _mm256_loadu_ps(panel + k * kPanelRows);
        const __m256 b1_f32x8 = _mm256_loadu_ps(panel + k * kPanelRows + 8);
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kTileQueries; ++i) {
            const __m256 a_f32x8 = _mm256_broadcast_ss(qtile + k * kTileQueries + i);
            acc0_f32x8[i] = _mm256_fmadd_ps(a_f32x8, b0_f32x8, acc0_f32x8[i]);
            acc1_f32x8[i] = _mm256_fmadd_ps(a_f32x8, b1_f32x8, acc1_f32x8[i]);
        }
    }
}

RIVEZOR_TARGET_AVX2_FMA __attribute__((always_inline)) inline void store_tile_avx2(
    const __m256 (&acc0_f32x8)[kTileQueries], const __m256 (&acc1_f32x8)[kTileQueries], float* out) {
#pragma GCC unroll 6
    for (std::size_t i = 0; i < kTileQueries; ++i) {
        _mm256_storeu_ps(out + i * kPanelRows, acc0_f32x8[i]);
        _mm256_storeu_ps(out + i * kPanelRows + 8, acc1_f32x8[i]);
    }
}

// The dot products of a 6 x 16 tile, written to `out` (6 rows of 16, in L1): the blocks of
// the chains before the last, whose partial sums wait between blocks.
RIVEZOR_TARGET_AVX2_FMA __attribute__((noinline)) void tile_dots_avx2(const float* qtile, std::size_t kc, const float* panel,
                                                                const float* init, float* out) {
    __m256 acc0_f32x8[kTileQueries], acc1_f32x8[kTileQueries];
    tile_chains_avx2(qtile, kc, panel, init, acc0_f32x8, acc1_f32x8);
    store_tile_avx2(acc0_f32x8, acc1_f32x8, out);
}

// Euclidean lanes that may enter, by a floor on the dot product: the exact score, the norm
// expansion qq + xx - 2 dot in double rounded to float, can only be at or below the bar where
// dot >= (qq - bar) / 2 + xx / 2, less a margin. Each half is formed once in double with its
// share of the margin and rounded to float, the query's whenever its bar moves and each row's
// as its group is packed, so the test in registers costs one add and one compare a score
// (seven operations a score with the expansion in float). The margin, 2^-20 of
// qq + xx + |bar| plus a floor for subnormal magnitudes, is several times the float roundings
// of qq, xx, the two halves, their sum and the bar's own half-unit, and the double roundings
// besides, so no lane the exact test lets in fails here. A half that is not finite, or not
// within float range, becomes NaN, which lets every lane pass (a bar still infinite among
// them), and so does a NaN score.
constexpr double kL2MarginShare = 0x1p-20;
constexpr double kL2MarginFloor = std::numeric_limits<float>::min();

inline float l2_half(double half) {
    return std::isfinite(half) && std::fabs(half) <= std::numeric_limits<float>::max() ? static_cast<float>(half)
                                                                                      : NAN;
}

// The query's half: (qq - bar) / 2 less its share of the margin.
inline float l2_query_half(double qq, float bar) {
    const double b = bar;
    return l2_half((qq - b) * 0.5 - (kL2MarginShare * (qq + std::fabs(b)) + kL2MarginFloor));
}

// The row's half: xx / 2 less its share of the margin.
inline float l2_row_half(double xx) { return l2_half(xx * 0.5 - (kL2MarginShare * xx + kL2MarginFloor)); }

// Lanes whose score is not below its floor (NaN passes): the bar for a dot product, the two
// halves' sum for euclidean.
RIVEZOR_TARGET_AVX2_FMA inline __m256 at_or_above_mask_avx2(__m256 s_f32x8, __m256 floor_f32x8) {
    return _mm256_cmp_ps(s_f32x8, floor_f32x8, _CMP_NLT_UQ);
}

// `row_halves`, `halves`: the panel's rows' and every query's halves of the euclidean floor
// (euclidean only), for the float test before the exact one; a query's half follows its bar.
// Only the tile's queries in `queries` (bit i: query q0 + i) are looked at; the others' scores
// are known not to pass.
RIVEZOR_TARGET_AVX2_FMA void tile_test_avx2(const Problem& p, std::size_t q0, std::size_t mr, unsigned queries, float* dots,
                                     const double* sq, const float* row_halves, float* halves, std::uint64_t row0,
                                     std::size_t valid, float* bars, Sink& sink) {
    const unsigned valid_mask = valid >= kPanelRows ? 0xFFFFu : (1u << valid) - 1u;
    queries &= (1u << mr) - 1u;
    while (queries != 0) {
        const std::size_t i = static_cast<std::size_t>(__builtin_ctz(queries));
        queries &= queries - 1;
        float* s = dots + i * kPanelRows;
        __m256 s0_f32x8 = _mm256_loadu_ps(s), s1_f32x8 = _mm256_loadu_ps(s + 8);
        if (p.query_sq != nullptr) {
            const __m256 half_f32x8 = _mm256_set1_ps(halves[q0 + i]);
            const __m256 floor0_f32x8 = _mm256_add_ps(half_f32x8, _mm256_loadu_ps(row_halves));
            const __m256 floor1_f32x8 = _mm256_add_ps(half_f32x8, _mm256_loadu_ps(row_halves + 8));
            if (((static_cast<unsigned>(_mm256_movemask_ps(at_or_above_mask_avx2(s0_f32x8, floor0_f32x8))) |
                  static_cast<unsigned>(_mm256_movemask_ps(at_or_above_mask_avx2(s1_f32x8, floor1_f32x8))) << 8) &
                 valid_mask) == 0)
                continue;
            const __m256d qq_f64x4 = _mm256_set1_pd(p.query_sq[q0 + i]);
            s0_f32x8 = l2_from_dots_avx2(s0_f32x8, qq_f64x4, sq);
            s1_f32x8 = l2_from_dots_avx2(s1_f32x8, qq_f64x4, sq + 8);
        }
        const __m256 bar_f32x8 = _mm256_set1_ps(bars[q0 + i]);
        unsigned mask = (entry_mask_avx2(s0_f32x8, bar_f32x8, p.higher_is_better) |
                         entry_mask_avx2(s1_f32x8, bar_f32x8, p.higher_is_better) << 8) &
                        valid_mask;
        if (mask == 0) continue;
        _mm256_storeu_ps(s, s0_f32x8);
        _mm256_storeu_ps(s + 8, s1_f32x8);
        while (mask != 0) {
            const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
            mask &= mask - 1;
            bars[q0 + i] = sink.offer(q0 + i, row0 + j, s[j]);
        }
        if (p.query_sq != nullptr) halves[q0 + i] = l2_query_half(p.query_sq[q0 + i], bars[q0 + i]);
    }
}

// The in-register test of a run of tiles: the queries' bars, or for euclidean their halves of
// the floor (padded to whole tiles, from the run's first tile), and the panel's rows' halves
// (euclidean only, null otherwise).
struct RunTest {
    const float* floors;
    const float* row_halves;
};

// One panel against a run of query tiles, each tile's chains exactly as tile_dots_avx2 forms
// them, every tile tested in registers as it ends: a tile none of whose scores may enter is
// neither stored nor tested again, and one call covers the run, so the bookkeeping of a tile
// (a call, twelve stores, the test's loads) is paid only where a score may still enter (at
// 128 dimensions, one thread, the calls and tests around the tiles took 12% of a batch; 1,000
// queries over 100,000 rows, 2 threads: 5-9% faster, the same at 768 dimensions). Returns the first tile at or after `from`
// whose scores may enter, stored to `out`, or `count` when none may. `init` (null: chains
// from zero) holds each tile's chains so far, `init_stride` floats apart.
template <bool L2>
RIVEZOR_TARGET_AVX2_FMA __attribute__((noinline)) std::size_t tile_run_avx2(
    const float* qtiles, std::size_t tile_stride, std::size_t from, std::size_t count, std::size_t kc,
    const float* panel, const float* init, std::size_t init_stride, const RunTest& test, RowsAhead& ahead,
    float* out) {
    __m256 row0_f32x8 = _mm256_setzero_ps(), row1_f32x8 = _mm256_setzero_ps();
    if constexpr (L2) {
        row0_f32x8 = _mm256_loadu_ps(test.row_halves);
        row1_f32x8 = _mm256_loadu_ps(test.row_halves + 8);
    }
    for (std::size_t t = from; t < count; ++t) {
        __m256 acc0_f32x8[kTileQueries], acc1_f32x8[kTileQueries];
        tile_chains_avx2(qtiles + t * tile_stride, kc, panel, init != nullptr ? init + t * init_stride : nullptr, acc0_f32x8,
                         acc1_f32x8);
        ahead.step();
        __m256 may_enter_f32x8 = _mm256_setzero_ps();
        const float* floors = test.floors + t * kTileQueries;
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kTileQueries; ++i) {
            const __m256 floor_f32x8 = _mm256_broadcast_ss(floors + i);
            const __m256 floor0_f32x8 = L2 ? _mm256_add_ps(floor_f32x8, row0_f32x8) : floor_f32x8;
            const __m256 floor1_f32x8 = L2 ? _mm256_add_ps(floor_f32x8, row1_f32x8) : floor_f32x8;
            may_enter_f32x8 = _mm256_or_ps(may_enter_f32x8, at_or_above_mask_avx2(acc0_f32x8[i], floor0_f32x8));
            may_enter_f32x8 = _mm256_or_ps(may_enter_f32x8, at_or_above_mask_avx2(acc1_f32x8[i], floor1_f32x8));
        }
        if (_mm256_movemask_ps(may_enter_f32x8) == 0) continue;
        store_tile_avx2(acc0_f32x8, acc1_f32x8, out);
        return t;
    }
    return count;
}

// ---------------------------------------------------------------------------------------
// AVX-512 form of the products: two query tiles by two panels (12 x 32 scores) in 24 zmm
// accumulators, one lane per row, each lane the same FMA chain as above. The four 6 x 16
// blocks land where four calls of tile_dots_avx2 would put them. In the last block of the
// chains the scores are first tested in registers, so a pair none of whose scores may enter,
// the common case once the bars have risen, is neither stored nor tested again.

// The in-register test of a tile pair: the twelve queries' bars, or for euclidean their halves
// of the floor, and the two panels' rows' halves (euclidean only, null otherwise).
struct PairTest {
    const float* floors;
    const float* row_halves0;
    const float* row_halves1;
};

// The lanes of one 16-row block of a tile pair whose scores may still enter query i of tile t's
// best k': at or above the query's bar, or for euclidean the query's and the rows' halves of
// the floor (NaN passes).
template <bool L2>
__attribute__((target("avx512f"), always_inline)) inline __mmask16 block_entry_mask(
    const __m512 (&acc_f32x16)[2][2][kTileQueries], const PairTest& test, const __m512 (&row_f32x16)[2], int t,
    int h, std::size_t i) {
    const __m512 floor_f32x16 = _mm512_set1_ps(test.floors[t * kTileQueries + i]);
    return _mm512_cmp_ps_mask(acc_f32x16[t][h][i], L2 ? _mm512_add_ps(floor_f32x16, row_f32x16[h]) : floor_f32x16,
                              _CMP_NLT_UQ);
}

template <bool L2>
__attribute__((target("avx512f"), always_inline)) inline void load_row_halves(const PairTest& test,
                                                                            __m512 (&row_f32x16)[2]) {
    row_f32x16[0] = L2 ? _mm512_loadu_ps(test.row_halves0) : _mm512_setzero_ps();
    row_f32x16[1] = L2 ? _mm512_loadu_ps(test.row_halves1) : _mm512_setzero_ps();
}

// Whether any score of a tile pair may still enter its query's best k', over all twelve queries
// and both panels at once; the common case, once the bars have risen, is that none may.
template <bool L2>
__attribute__((target("avx512f"), always_inline)) inline bool pair_any_entry(const __m512 (&acc_f32x16)[2][2][kTileQueries],
                                                                          const PairTest& test) {
    __m512 row_f32x16[2];
    load_row_halves<L2>(test, row_f32x16);
    __mmask16 may_enter_x16 = 0;
#pragma GCC unroll 2
    for (int t = 0; t < 2; ++t)
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kTileQueries; ++i)
#pragma GCC unroll 2
            for (int h = 0; h < 2; ++h) may_enter_x16 |= block_entry_mask<L2>(acc_f32x16, test, row_f32x16, t, h, i);
    return may_enter_x16 != 0;
}

// The same test, per block and query: bit (2t + h) * 6 + i set when query i of tile t has a
// score in panel h that may enter. Only for the tile pairs that pass the test above, so the
// exact test looks at those queries alone.
template <bool L2>
__attribute__((target("avx512f"), always_inline)) inline std::uint32_t pair_entries(const __m512 (&acc_f32x16)[2][2][kTileQueries],
                                                                       const PairTest& test) {
    __m512 row_f32x16[2];
    load_row_halves<L2>(test, row_f32x16);
    std::uint32_t entering = 0;
    for (int t = 0; t < 2; ++t)
        for (int h = 0; h < 2; ++h)
            for (std::size_t i = 0; i < kTileQueries; ++i)
                entering |= static_cast<std::uint32_t>(block_entry_mask<L2>(acc_f32x16, test, row_f32x16, t, h, i) != 0)
                            << ((2 * t + h) * kTileQueries + i);
    return entering;
}

// The chains of a tile pair (12 x 32 scores) in 24 accumulators, continued over kc components
// from `init` (null entries: from zero). Inlined into both callers, which keep the 24 in
// registers through the loop.
__attribute__((target("avx512f"), always_inline)) inline void pair_chains_avx512(
    const float* qtile0, const float* qtile1, std::size_t kc, const float* panel0, const float* panel1,
    const float* const* init, __m512 (&acc_f32x16)[2][2][kTileQueries]) {
#pragma GCC unroll 2
    for (int t = 0; t < 2; ++t)
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h)
#pragma GCC unroll 6
            for (std::size_t i = 0; i < kTileQueries; ++i)
                acc_f32x16[t][h][i] = init != nullptr && init[2 * t + h] != nullptr
                                          ? _mm512_loadu_ps(init[2 * t + h] + i * kPanelRows)
                                          : _mm512_setzero_ps();
    // Four steps a turn: the loop's own counting then takes fewer issue slots from the FMAs.
#pragma GCC unroll 4
    for (std::size_t k = 0; k < kc; ++k) {
        const __m512 b0_f32x16 = _mm512_loadu_ps(panel0 + k * kPanelRows);
        const __m512 b1_f32x16 = _mm512_loadu_ps(panel1 + k * kPanelRows);
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kTileQueries; ++i) {
            const __m512 a0_f32x16 = _mm512_set1_ps(qtile0[k * kTileQueries + i]);
            acc_f32x16[0][0][i] = _mm512_fmadd_ps(a0_f32x16, b0_f32x16, acc_f32x16[0][0][i]);
            acc_f32x16[0][1][i] = _mm512_fmadd_ps(a0_f32x16, b1_f32x16, acc_f32x16[0][1][i]);
            const __m512 a1_f32x16 = _mm512_set1_ps(qtile1[k * kTileQueries + i]);
            acc_f32x16[1][0][i] = _mm512_fmadd_ps(a1_f32x16, b0_f32x16, acc_f32x16[1][0][i]);
            acc_f32x16[1][1][i] = _mm512_fmadd_ps(a1_f32x16, b1_f32x16, acc_f32x16[1][1][i]);
        }
    }
}

__attribute__((target("avx512f"), always_inline)) inline void store_pair_avx512(
    const __m512 (&acc_f32x16)[2][2][kTileQueries], float* const* out) {
#pragma GCC unroll 2
    for (int t = 0; t < 2; ++t)
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h)
#pragma GCC unroll 6
            for (std::size_t i = 0; i < kTileQueries; ++i)
                _mm512_storeu_ps(out[2 * t + h] + i * kPanelRows, acc_f32x16[t][h][i]);
}

// A tile pair's chains over one block of components, stored to `out` untested: rows longer
// than kBlockComponents, whose chains are cut into blocks.
__attribute__((target("avx512f"), noinline)) void tile_pair_dots_avx512(const float* qtile0, const float* qtile1,
                                                                      std::size_t kc, const float* panel0,
                                                                      const float* panel1, const float* const* init,
                                                                      float* const* out) {
    __m512 acc_f32x16[2][2][kTileQueries];
    pair_chains_avx512(qtile0, qtile1, kc, panel0, panel1, init, acc_f32x16);
    store_pair_avx512(acc_f32x16, out);
}

// One panel pair against a run of tile pairs [from, count) (tile numbers, by twos), each
// pair's chains from zero over all components, tested in registers as it ends: a pair none of
// whose scores may enter is neither stored nor tested again, and one call covers the run, so
// a pair's bookkeeping is paid only where a score may still enter. Returns the first pair at
// or after `from` with a score that may enter, stored to `out`, its (block, query) bits in
// `entering` as pair_entries gives them; `count` when none may.
template <bool L2>
__attribute__((target("avx512f"), noinline)) std::size_t tile_pair_run_avx512(
    const float* qtiles, std::size_t tile_stride, std::size_t from, std::size_t count, std::size_t kc,
    const float* panel0, const float* panel1, const PairTest& test, RowsAhead& ahead, float* const* out,
    std::uint32_t& entering) {
    for (std::size_t t = from; t < count; t += 2) {
        __m512 acc_f32x16[2][2][kTileQueries];
        const float* qtile = qtiles + t * tile_stride;
        pair_chains_avx512(qtile, qtile + tile_stride, kc, panel0, panel1, nullptr, acc_f32x16);
        ahead.step();
        const PairTest at{test.floors + t * kTileQueries, test.row_halves0, test.row_halves1};
        if (!pair_any_entry<L2>(acc_f32x16, at)) continue;
        entering = pair_entries<L2>(acc_f32x16, at);
        store_pair_avx512(acc_f32x16, out);
        return t;
    }
    return count;
}

// ---------------------------------------------------------------------------------------
// One query against packed panels, for the score arrays of the single-query matrix paths:
// each lane the same chain as above, NP panels at once so that enough chains are in flight
// to hide the FMA latency.

template <std::size_t NP>
__attribute__((target("avx512f"))) void query_panels_avx512(const float* q, std::size_t d, const float* panels,
                                                           float* out) {
    __m512 acc_f32x16[NP];
#pragma GCC unroll 8
    for (std::size_t p = 0; p < NP; ++p) acc_f32x16[p] = _mm512_setzero_ps();
    for (std::size_t k = 0; k < d; ++k) {
        const __m512 a_f32x16 = _mm512_set1_ps(q[k]);
#pragma GCC unroll 8
        for (std::size_t p = 0; p < NP; ++p)
            acc_f32x16[p] = _mm512_fmadd_ps(a_f32x16, _mm512_loadu_ps(panels + (p * d + k) * kPanelRows), acc_f32x16[p]);
    }
#pragma GCC unroll 8
    for (std::size_t p = 0; p < NP; ++p) _mm512_storeu_ps(out + p * kPanelRows, acc_f32x16[p]);
}

template <std::size_t NP>
RIVEZOR_TARGET_AVX2_FMA void query_panels_avx2(const float* q, std::size_t d, const float* panels, float* out) {
    __m256 acc_f32x8[2 * NP];
#pragma GCC unroll 8
    for (std::size_t a = 0; a < 2 * NP; ++a) acc_f32x8[a] = _mm256_setzero_ps();
    for (std::size_t k = 0; k < d; ++k) {
        const __m256 q_f32x8 = _mm256_broadcast_ss(q + k);
#pragma GCC unroll 8
        for (std::size_t a = 0; a < 2 * NP; ++a)
            acc_f32x8[a] = _mm256_fmadd_ps(q_f32x8, _mm256_loadu_ps(panels + (a / 2 * d + k) * kPanelRows + a % 2 * 8),
                                           acc_f32x8[a]);
    }
#pragma GCC unroll 8
    for (std::size_t a = 0; a < 2 * NP; ++a) _mm256_storeu_ps(out + a * 8, acc_f32x8[a]);
}

// ZARIR_MATRIX_KERNEL=avx2 keeps the kernels on their 8-lane form where AVX-512 exists, and
// =scalar on their scalar form, so each form can be checked on any machine.
enum class Form { scalar, avx2, avx512 };

Form chosen_form() {
    const std::optional<std::string> forced = runtime::env_text("ZARIR_MATRIX_KERNEL");
    if (!runtime::processor_has_avx2_fma() || (forced && *forced == "scalar")) return Form::scalar;
    if (!runtime::processor_has_avx512f() || (forced && *forced == "avx2")) return Form::avx2;
    return Form::avx512;
}

// How far ahead of the packing a single query's rows are asked for (1M x 128 rows, 1 and 2
// threads: 1 KiB 4-7% faster than none; 4 KiB and more slower than none).
constexpr std::size_t kQueryPrefetchBytes = 1024;

// One query's chains with `count` rows: 128 rows packed at a time (they stay in L1 or L2 while
// eight or four panels' chains run together), the last short group through a buffer.
// Rows longer than this are scored one at a time in place: a panel of them would take more
// than 4 MiB, which the products of so few rows do not repay.
constexpr std::size_t kQueryPanelMaxDims = std::size_t{1} << 16;

void query_dots(const float* q, const float* rows, std::size_t count, std::size_t d, float* out) {
    const Form form = chosen_form();
    if (form == Form::scalar || d > kQueryPanelMaxDims) {
        for (std::size_t j = 0; j < count; ++j) out[j] = chain_dot(q, rows + j * d, d);
        return;
    }
    constexpr std::size_t kGroupPanels = 8;
    constexpr std::size_t kGroupRows = kGroupPanels * kPanelRows;
    const Problem p{q, 1, rows, count, d, 0, true, nullptr, nullptr};
    std::vector<float> panels(std::min(kGroupRows, (count + kPanelRows - 1) / kPanelRows * kPanelRows) * d);
    alignas(64) float tail[kGroupRows];
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(rows + count * d);
    for (std::size_t first = 0; first < count; first += kGroupRows) {
        const std::size_t n = std::min(kGroupRows, count - first);
        for (std::size_t h = 0; h * kPanelRows < n; ++h) {
            // The packing reads sixteen rows eight components at a time, an order the hardware
            // prefetchers follow poorly: each panel's lines are asked for a little ahead.
            const std::uintptr_t from =
                reinterpret_cast<std::uintptr_t>(rows + (first + h * kPanelRows) * d) + kQueryPrefetchBytes;
            const std::uintptr_t to = std::min(end, from + kPanelRows * d * sizeof(float));
            for (std::uintptr_t line = from; line < to; line += 64)
                _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T0);
            pack_group(p, first + h * kPanelRows, std::min(kPanelRows, n - h * kPanelRows),
                       panels.data() + h * kPanelRows * d, nullptr, true);
        }
        float* dst = n == kGroupRows ? out + first : tail;
        if (n == kGroupRows) {
            if (form == Form::avx512)
                query_panels_avx512<kGroupPanels>(q, d, panels.data(), dst);
            else
                for (std::size_t h = 0; h < kGroupPanels; h += 4)
                    query_panels_avx2<4>(q, d, panels.data() + h * kPanelRows * d, dst + h * kPanelRows);
            continue;
        }
        for (std::size_t h = 0; h * kPanelRows < n; ++h) {
            if (form == Form::avx512)
                query_panels_avx512<1>(q, d, panels.data() + h * kPanelRows * d, dst + h * kPanelRows);
            else
                query_panels_avx2<1>(q, d, panels.data() + h * kPanelRows * d, dst + h * kPanelRows);
        }
        std::copy(tail, tail + n, out + first);
    }
}

// A worker's working memory for score_and_select, kept from call to call: fresh buffers of a
// megabyte or more came from new pages each call, and zeroing them took 1-2% of a 1,000-query
// batch at 128 dimensions. Only up to kKeptScratchBytes is kept per thread; a call that needs
// more, or that finds the thread's buffers in use, works in buffers of its own.
constexpr std::size_t kKeptScratchBytes = std::size_t{32} << 20;

struct Scratch {
    std::vector<float> tiles, panels, partial, tile_bars, halves, row_halves;
    std::vector<double> sq;
    bool busy = false;
    std::size_t bytes() const {
        return (tiles.capacity() + panels.capacity() + partial.capacity() + tile_bars.capacity() + halves.capacity() +
                row_halves.capacity()) * sizeof(float) + sq.capacity() * sizeof(double);
    }
};

// Resizes without shrinking; the contents are whatever the last call left.
template <typename T>
T* sized(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

class ScratchLease {
public:
    explicit ScratchLease(std::size_t bytes) {
        thread_local Scratch kept;
        if (bytes <= kKeptScratchBytes && !kept.busy) {
            held_ = &kept;
            kept.busy = true;
        } else {
            held_ = &own_;
        }
    }
    // Calls of different shapes may each grow a different buffer: past the bound, all go.
    ~ScratchLease() {
        if (held_ != &own_ && held_->bytes() > kKeptScratchBytes) *held_ = Scratch{};
        held_->busy = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    Scratch& operator*() const { return *held_; }

private:
    Scratch own_;
    Scratch* held_;
};

// Takes every score the kernel produces: with the bars held open nothing is filtered.
class ScoreMatrix final : public Sink {
public:
    ScoreMatrix(float* out, std::size_t count) : out_(out), count_(count) {}
    float offer(std::size_t query, std::uint64_t row, float score) override {
        out_[query * count_ + row] = score;
        return -INFINITY;
    }

private:
    float* out_;
    std::size_t count_;
};

}  // namespace

float chain_dot(const float* q, const float* x, std::size_t dims) {
    float s = 0.0f;
    for (std::size_t k = 0; k < dims; ++k) s = std::fma(q[k], x[k], s);
    return s;
}

bool l2_floor_lets_in(double qq, double xx, float bar, float dot) {
    const float floor = l2_query_half(qq, bar) + l2_row_half(xx);
    return !(dot < floor);
}

bool chosen() {
    const auto kernel = runtime::env_text("ZARIR_MATRIX_KERNEL");
    return !(kernel && (*kernel == "score_matrix" || *kernel == "sgemm"));
}

void block_product(const float* queries, std::size_t nq, const float* rows, std::size_t count, std::size_t dims, float* out) {
    if (nq == 0 || count == 0) return;
    if (dims == 0) {
        std::fill(out, out + nq * count, 0.0f);
        return;
    }
    if (nq == 1) {
        query_dots(queries, rows, count, dims, out);
        return;
    }
    ScoreMatrix sink(out, count);
    std::vector<float> bars(nq, -INFINITY);
    score_and_select(Problem{queries, nq, rows, count, dims, 0, true, nullptr, nullptr}, bars.data(), sink);
}

void score_and_select(const Problem& p, float* bars, Sink& sink) {
    if (p.nq == 0 || p.count == 0) return;
    const std::size_t d = p.dims;
    const std::size_t d1 = std::max<std::size_t>(d, 1);
    const Form form = chosen_form();
    const bool vector = form != Form::scalar;
    const bool wide = form == Form::avx512;
    const std::size_t step = wide ? 2 : 1;
    // The wide form takes panels and query tiles by pairs: a group's panels, the tiles and the
    // chunk's tiles are counted in pairs (a last panel or tile of zeros, never tested), so none
    // is left to the 8-lane form at half the rate (at 1,536 dimensions a group of five panels
    // left a fifth of the products there).
    const std::size_t fit_panels =
        std::max<std::size_t>(step, kGroupBytes / (kPanelRows * sizeof(float) * d1) / step * step);
    const std::size_t group = kPanelRows * std::min(fit_panels, (p.count + kPanelRows - 1) / kPanelRows);
    const std::size_t slots = (group / kPanelRows + step - 1) / step * step;  // panels held, whole pairs
    const std::size_t real_tiles = (p.nq + kTileQueries - 1) / kTileQueries;
    const std::size_t ntiles = (real_tiles + step - 1) / step * step;
    const std::size_t chunk = std::max<std::size_t>(
        step, kChunkBytes / (kTileQueries * sizeof(float) * std::min(d1, kBlockComponents)) / step * step);
    const std::size_t tile_floats = kTileQueries * kPanelRows;
    const bool blocked = d > kBlockComponents;
    const bool l2 = p.query_sq != nullptr;
    const std::size_t n_tiles = ntiles * kTileQueries * d;
    const std::size_t n_panels = slots * kPanelRows * d;
    const std::size_t n_sq = p.row_sq != nullptr ? slots * kPanelRows : 0;
    const std::size_t n_partial = blocked ? std::min(chunk, ntiles) * slots * tile_floats : 0;
    const std::size_t n_bars = ntiles * kTileQueries;
    ScratchLease lease((n_tiles + n_panels + n_partial + 3 * n_bars + n_sq) * sizeof(float) + n_sq * sizeof(double));
    Scratch& scratch = *lease;
    float* const tiles = sized(scratch.tiles, n_tiles);
    pack_queries(p, tiles);
    float* const panels = sized(scratch.panels, n_panels);
    double* const sq = sized(scratch.sq, n_sq);
    // Chains cut into component blocks wait here between blocks, one tile per (query tile, panel).
    float* const partial = sized(scratch.partial, n_partial);
    alignas(64) float dots[4 * kTileQueries * kPanelRows];
    // The bars padded to whole tiles with bars no finite score passes, since the wide kernel
    // tests whole tile pairs; handed back at the end.
    float* const tile_bars = sized(scratch.tile_bars, n_bars);
    std::fill(tile_bars, tile_bars + n_bars, p.higher_is_better ? INFINITY : -INFINITY);
    std::copy(bars, bars + p.nq, tile_bars);
    // The euclidean floors' halves: the queries', padded to whole tiles with halves no finite
    // score passes, and the group's rows'.
    float* const halves = sized(scratch.halves, l2 ? n_bars : 0);
    if (l2) {
        std::fill(halves, halves + n_bars, INFINITY);
        for (std::size_t q = 0; q < p.nq; ++q) halves[q] = l2_query_half(p.query_sq[q], tile_bars[q]);
    }
    float* const row_halves = sized(scratch.row_halves, n_sq);
    // The floors the in-register tests compare with: the bars, or the queries' halves.
    float* const floors = l2 ? halves : tile_bars;
    for (std::size_t first = 0; first < p.count; first += group) {
        const std::size_t n = std::min(group, p.count - first);
        const std::size_t filled = (n + kPanelRows - 1) / kPanelRows;
        const std::size_t npanels = (filled + step - 1) / step * step;
        pack_group(p, first, n, panels, sq, vector);
        std::fill(panels + filled * kPanelRows * d, panels + npanels * kPanelRows * d, 0.0f);
        if (n_sq != 0) std::fill(sq + filled * kPanelRows, sq + n_sq, 0.0);
        std::transform(sq, sq + n_sq, row_halves, l2_row_half);
        const std::size_t steps = (ntiles + chunk - 1) / chunk * ((d1 + kBlockComponents - 1) / kBlockComponents) *
                                  ((npanels + step - 1) / step) * ((std::min(chunk, ntiles) + step - 1) / step);
        RowsAhead ahead(p.rows + (first + n) * d, p.rows + std::min(p.count, first + n + group) * d, steps);
        // The 8-lane form's last block: a panel against the chunk's tiles in runs, only the
        // tiles whose scores may enter coming back for the exact test.
        const auto run_panel_avx2 = [&](std::size_t t0, std::size_t t1, std::size_t k0, std::size_t kc, std::size_t pi) {
            const RunTest test{floors + t0 * kTileQueries, l2 ? row_halves + pi * kPanelRows : nullptr};
            const float* qtiles = tiles + t0 * kTileQueries * d + k0 * kTileQueries;
            const float* panel = panels + pi * kPanelRows * d + k0 * kPanelRows;
            const float* init = k0 > 0 ? partial + pi * tile_floats : nullptr;
            const std::size_t count = t1 - t0;
            for (std::size_t t = 0; t < count; ++t) {
                t = l2 ? tile_run_avx2<true>(qtiles, kTileQueries * d, t, count, kc, panel, init, npanels * tile_floats,
                                             test, ahead, dots)
                       : tile_run_avx2<false>(qtiles, kTileQueries * d, t, count, kc, panel, init, npanels * tile_floats,
                                              test, ahead, dots);
                if (t == count || t0 + t >= real_tiles) break;
                const std::size_t q0 = (t0 + t) * kTileQueries;
                tile_test_avx2(p, q0, std::min(kTileQueries, p.nq - q0), kAllQueries, dots,
                               p.row_sq != nullptr ? sq + pi * kPanelRows : nullptr,
                               l2 ? row_halves + pi * kPanelRows : nullptr, halves,
                               p.first_row + first + pi * kPanelRows, std::min(kPanelRows, n - pi * kPanelRows),
                               tile_bars, sink);
            }
        };
        for (std::size_t t0 = 0; t0 < ntiles; t0 += chunk) {
            const std::size_t t1 = std::min(ntiles, t0 + chunk);
            for (std::size_t k0 = 0; k0 < d1; k0 += kBlockComponents) {
                const std::size_t kc = std::min(kBlockComponents, d - std::min(d, k0));
                const bool last = k0 + kBlockComponents >= d1;
                // A panel's block stays near while the chunk's query tiles pass over it from L2.
                // Panels and tiles go by pairs where the wide form exists, the rest one by one.
                for (std::size_t pi = 0; pi < npanels; pi += step) {
                    if (form == Form::avx2 && last) {
                        run_panel_avx2(t0, t1, k0, kc, pi);
                        continue;
                    }
                    const float* panel = panels + pi * kPanelRows * d + k0 * kPanelRows;
                    const std::size_t np = std::min(step, npanels - pi);
                    // The exact test of the blocks of the tile pair (or tile) at t whose queries
                    // in `entering` (bit (2a + h) * 6 + i: query i of block (a, h)) may enter.
                    const auto test_blocks = [&](std::size_t t, std::size_t nt, std::uint32_t entering) {
                        for (std::size_t a = 0; a < nt && t + a < real_tiles; ++a)
                            for (std::size_t h = 0; h < np && (pi + h) * kPanelRows < n; ++h) {
                                const std::size_t q0 = (t + a) * kTileQueries;
                                const std::size_t mr = std::min(kTileQueries, p.nq - q0);
                                const std::size_t pj = pi + h;
                                const double* panel_sq = p.row_sq != nullptr ? sq + pj * kPanelRows : nullptr;
                                const std::uint64_t row0 = p.first_row + first + pj * kPanelRows;
                                const std::size_t valid = std::min(kPanelRows, n - pj * kPanelRows);
                                float* block = dots + (2 * a + h) * tile_floats;
                                if (vector)
                                    tile_test_avx2(p, q0, mr, entering >> (2 * a + h) * kTileQueries & kAllQueries,
                                                   block, panel_sq, l2 ? row_halves + pj * kPanelRows : nullptr, halves,
                                                   row0, valid, tile_bars, sink);
                                else
                                    tile_test_scalar(p, q0, mr, block, panel_sq, row0, valid, tile_bars, sink);
                            }
                    };
                    if (wide && last && !blocked) {
                        // Whole tile pairs against the panel pair (tiles and panels both come
                        // in pairs here), only the pairs whose scores may enter coming back.
                        const PairTest test{floors, l2 ? row_halves + pi * kPanelRows : nullptr,
                                            l2 ? row_halves + (pi + 1) * kPanelRows : nullptr};
                        float* const outs[4] = {dots, dots + tile_floats, dots + 2 * tile_floats, dots + 3 * tile_floats};
                        for (std::size_t t = t0; t < t1; t += 2) {
                            std::uint32_t entering = 0;
                            t = l2 ? tile_pair_run_avx512<true>(tiles, kTileQueries * d, t, t1, kc, panel,
                                                                panel + kPanelRows * d, test, ahead, outs, entering)
                                   : tile_pair_run_avx512<false>(tiles, kTileQueries * d, t, t1, kc, panel,
                                                                 panel + kPanelRows * d, test, ahead, outs, entering);
                            if (t >= t1) break;
                            test_blocks(t, 2, entering);
                        }
                        continue;
                    }
                    for (std::size_t t = t0; t < t1; t += step) {
                        const std::size_t nt = std::min(step, t1 - t);
                        float* outs[4];
                        const float* inits[4];
                        for (std::size_t a = 0; a < nt; ++a)
                            for (std::size_t h = 0; h < np; ++h) {
                                float* wait = blocked ? partial + ((t + a - t0) * npanels + pi + h) * tile_floats
                                                      : nullptr;
                                inits[2 * a + h] = k0 > 0 ? wait : nullptr;
                                outs[2 * a + h] = last ? dots + (2 * a + h) * tile_floats : wait;
                            }
                        const float* qtile = tiles + t * kTileQueries * d + k0 * kTileQueries;
                        if (nt == 2 && np == 2) {
                            tile_pair_dots_avx512(qtile, qtile + kTileQueries * d, kc, panel, panel + kPanelRows * d,
                                                  inits, outs);
                        } else {
                            for (std::size_t a = 0; a < nt; ++a)
                                for (std::size_t h = 0; h < np; ++h) {
                                    const float* qa = qtile + a * kTileQueries * d;
                                    const float* ph = panel + h * kPanelRows * d;
                                    if (vector)
                                        tile_dots_avx2(qa, kc, ph, inits[2 * a + h], outs[2 * a + h]);
                                    else
                                        tile_dots_scalar(qa, kc, ph, inits[2 * a + h], outs[2 * a + h]);
                                }
                        }
                        ahead.step();
                        if (last) test_blocks(t, nt, ~0u);
                    }
                }
            }
        }
    }
    std::copy(tile_bars, tile_bars + p.nq, bars);
}

}  // namespace rivezor::fused
