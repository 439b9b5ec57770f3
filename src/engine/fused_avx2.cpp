// The fused score-and-select kernel: rows packed in panels of 16, a 6 x 16 tile of scores in
// twelve ymm accumulators, and the test against each query's bar before any score leaves them.
#include "engine/fused_avx2.hpp"

#include <immintrin.h>

#include <algorithm>
#include <optional>
#include <string>
#include <cmath>
#include <vector>

#include "engine/transpose_avx2.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/environment.hpp"

namespace rivezor::fused {
namespace {

constexpr std::size_t kTileQueries = 6;
constexpr std::size_t kPanelRows = 16;
// Rows packed at once: their panels stay in the core's L2 while every query tile of the
// problem passes over them, so each row is read from memory once per problem.
constexpr std::size_t kGroupBytes = 512 * 1024;
// Query tiles visited per panel: they stream from L2 while the panel stays in L1, and the
// group and the chunk together fit the core's L2.
constexpr std::size_t kChunkBytes = 512 * 1024;
// Components per block of the chains: a panel's block (16 KiB) and a query tile's (6 KiB)
// then share L1 whatever the dimension.
constexpr std::size_t kBlockComponents = 256;

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

// The dot products of a 6 x 16 tile, written to `out` (6 rows of 16, in L1). Kept apart from
// the test below so the compiler holds all twelve accumulators in registers: with the test in
// the same function it spills half of them inside the loop.
// Continues the chains over kc components from `init` (null: from zero); a float stored and
// loaded back is the same float, so cutting the components into blocks changes no bit.
RIVEZOR_TARGET_AVX2_FMA __attribute__((noinline)) void tile_dots_avx2(const float* qtile, std::size_t kc, const float* panel,
                                                                const float* init, float* out) {
    __m256 acc0_f32x8[kTileQueries], acc1_f32x8[kTileQueries];
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
#pragma GCC unroll 6
    for (std::size_t i = 0; i < kTileQueries; ++i) {
        _mm256_storeu_ps(out + i * kPanelRows, acc0_f32x8[i]);
        _mm256_storeu_ps(out + i * kPanelRows + 8, acc1_f32x8[i]);
    }
}

RIVEZOR_TARGET_AVX2_FMA void tile_test_avx2(const Problem& p, std::size_t q0, std::size_t mr, float* dots, const double* sq,
                                     std::uint64_t row0, std::size_t valid, float* bars, Sink& sink) {
    const unsigned valid_mask = valid >= kPanelRows ? 0xFFFFu : (1u << valid) - 1u;
    for (std::size_t i = 0; i < mr; ++i) {
        float* s = dots + i * kPanelRows;
        __m256 s0_f32x8 = _mm256_loadu_ps(s), s1_f32x8 = _mm256_loadu_ps(s + 8);
        if (p.query_sq != nullptr) {
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
    }
}

// ---------------------------------------------------------------------------------------
// AVX-512 form of the products: two query tiles by two panels (12 x 32 scores) in 24 zmm
// accumulators, one lane per row, each lane the same FMA chain as above. The four 6 x 16
// blocks land where four calls of tile_dots_avx2 would put them.
// With `test` (its bars), the scores are first tested in registers: when none may enter,
// nothing is stored and false is returned, which spares the store and the test of the whole
// tile once the bars have risen.

// The in-register test of a tile pair: the twelve queries' bars and, for euclidean, their sums
// of squares and the two panels' rows' (null otherwise).
struct PairTest {
    const float* bars;
    const double* qq;
    const double* xx0;
    const double* xx1;
};

// The norm expansion on sixteen scores, the same double operations in the same order as
// l2_from_dot, eight lanes at a time. The zero-masked forms with every lane selected compute the
// plain ones; GCC 12 warns that the plain ones' undefined pass-through may be used.
__attribute__((target("avx512f"))) inline __m512 l2_from_dots_avx512(__m512 dots_f32x16, double qq, const double* xx) {
    constexpr __mmask8 all8 = 0xFF;
    const __m512d qq_f64x8 = _mm512_set1_pd(qq);
    const __m512d two_f64x8 = _mm512_set1_pd(2.0);
    const __m256 lo_f32x8 = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(all8, _mm512_castps_pd(dots_f32x16), 0));
    const __m256 hi_f32x8 = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(all8, _mm512_castps_pd(dots_f32x16), 1));
    const __m512d lo_f64x8 = _mm512_sub_pd(_mm512_add_pd(qq_f64x8, _mm512_loadu_pd(xx)),
                                           _mm512_mul_pd(two_f64x8, _mm512_maskz_cvtps_pd(all8, lo_f32x8)));
    const __m512d hi_f64x8 = _mm512_sub_pd(_mm512_add_pd(qq_f64x8, _mm512_loadu_pd(xx + 8)),
                                           _mm512_mul_pd(two_f64x8, _mm512_maskz_cvtps_pd(all8, hi_f32x8)));
    const __m256d lo_scores = _mm256_castps_pd(_mm512_maskz_cvtpd_ps(all8, lo_f64x8));
    const __m256d hi_scores = _mm256_castps_pd(_mm512_maskz_cvtpd_ps(all8, hi_f64x8));
    const __m512d lo_half = _mm512_maskz_insertf64x4(all8, _mm512_setzero_pd(), lo_scores, 0);
    return _mm512_castpd_ps(_mm512_maskz_insertf64x4(all8, lo_half, hi_scores, 1));
}

// The lanes of a tile pair's scores that may still enter their queries' best k', over all
// twelve queries and both panels at once.
template <bool L2>
__attribute__((target("avx512f"), always_inline)) inline __mmask16 pair_entry_mask(
    const __m512 (&acc_f32x16)[2][2][kTileQueries], const PairTest& test) {
    __mmask16 may_enter_x16 = 0;
#pragma GCC unroll 2
    for (int t = 0; t < 2; ++t)
#pragma GCC unroll 6
        for (std::size_t i = 0; i < kTileQueries; ++i) {
            const __m512 bar_f32x16 = _mm512_set1_ps(test.bars[t * kTileQueries + i]);
#pragma GCC unroll 2
            for (int h = 0; h < 2; ++h) {
                if constexpr (L2) {
                    const __m512 s_f32x16 = l2_from_dots_avx512(acc_f32x16[t][h][i], test.qq[t * kTileQueries + i],
                                                                h == 0 ? test.xx0 : test.xx1);
                    may_enter_x16 |= _mm512_cmp_ps_mask(s_f32x16, bar_f32x16, _CMP_NGT_UQ);
                } else {
                    may_enter_x16 |= _mm512_cmp_ps_mask(acc_f32x16[t][h][i], bar_f32x16, _CMP_NLT_UQ);
                }
            }
        }
    return may_enter_x16;
}

__attribute__((target("avx512f"), noinline)) bool tile_pair_dots_avx512(const float* qtile0, const float* qtile1,
                                                                      std::size_t kc, const float* panel0,
                                                                      const float* panel1, float* const* init,
                                                                      float* const* out, const PairTest* test) {
    __m512 acc_f32x16[2][2][kTileQueries];
#pragma GCC unroll 2
    for (int t = 0; t < 2; ++t)
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h)
#pragma GCC unroll 6
            for (std::size_t i = 0; i < kTileQueries; ++i)
                acc_f32x16[t][h][i] = init[2 * t + h] != nullptr ? _mm512_loadu_ps(init[2 * t + h] + i * kPanelRows)
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
    if (test != nullptr) {
        const __mmask16 may_enter_x16 =
            test->qq == nullptr ? pair_entry_mask<false>(acc_f32x16, *test) : pair_entry_mask<true>(acc_f32x16, *test);
        if (may_enter_x16 == 0) return false;
    }
#pragma GCC unroll 2
    for (int t = 0; t < 2; ++t)
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h)
#pragma GCC unroll 6
            for (std::size_t i = 0; i < kTileQueries; ++i)
                _mm512_storeu_ps(out[2 * t + h] + i * kPanelRows, acc_f32x16[t][h][i]);
    return true;
}

// ZARIR_MATRIX_KERNEL=avx2 keeps the fused kernel on its 8-lane form where AVX-512 exists, and
// =scalar on its scalar form, so each form can be checked on any machine.
std::optional<std::string> forced_form() { return runtime::env_text("ZARIR_MATRIX_KERNEL"); }

bool has_avx512() { return runtime::processor_has_avx512f(); }
bool has_avx2_fma() { return runtime::processor_has_avx2_fma(); }

}  // namespace

float chain_dot(const float* q, const float* x, std::size_t dims) {
    float s = 0.0f;
    for (std::size_t k = 0; k < dims; ++k) s = std::fma(q[k], x[k], s);
    return s;
}

bool chosen() {
    const auto kernel = runtime::env_text("ZARIR_MATRIX_KERNEL");
    return !(kernel && *kernel == "sgemm");
}

void score_and_select(const Problem& p, float* bars, Sink& sink) {
    if (p.nq == 0 || p.count == 0) return;
    const std::size_t d = p.dims;
    const std::size_t d1 = std::max<std::size_t>(d, 1);
    const std::size_t group =
        std::min(kPanelRows * std::max<std::size_t>(1, kGroupBytes / (kPanelRows * sizeof(float) * d1)),
                 (p.count + kPanelRows - 1) / kPanelRows * kPanelRows);
    const std::size_t ntiles = (p.nq + kTileQueries - 1) / kTileQueries;
    const std::size_t chunk =
        std::max<std::size_t>(1, kChunkBytes / (kTileQueries * sizeof(float) * std::min(d1, kBlockComponents)));
    const std::size_t tile_floats = kTileQueries * kPanelRows;
    std::vector<float> tiles(ntiles * kTileQueries * d);
    pack_queries(p, tiles.data());
    std::vector<float> panels(group * d);
    std::vector<double> sq(p.row_sq != nullptr ? group : 0);
    // Chains cut into component blocks wait here between blocks, one tile per (query tile, panel).
    const bool blocked = d > kBlockComponents;
    std::vector<float> partial(blocked ? std::min(chunk, ntiles) * (group / kPanelRows) * tile_floats : 0);
    const std::optional<std::string> form = forced_form();
    const bool vector = has_avx2_fma() && !(form && *form == "scalar");
    const bool wide = vector && has_avx512() && !(form && *form == "avx2");
    alignas(64) float dots[4 * kTileQueries * kPanelRows];
    // The bars padded to whole tiles with bars no finite score passes, since the wide kernel
    // tests whole tile pairs; handed back at the end. Euclidean sums of squares padded alike.
    std::vector<float> tile_bars(ntiles * kTileQueries, p.higher_is_better ? INFINITY : -INFINITY);
    std::copy(bars, bars + p.nq, tile_bars.begin());
    std::vector<double> tile_qq(p.query_sq != nullptr ? ntiles * kTileQueries : 0, 0.0);
    if (p.query_sq != nullptr) std::copy(p.query_sq, p.query_sq + p.nq, tile_qq.begin());
    for (std::size_t first = 0; first < p.count; first += group) {
        const std::size_t n = std::min(group, p.count - first);
        const std::size_t npanels = (n + kPanelRows - 1) / kPanelRows;
        pack_group(p, first, n, panels.data(), sq.data(), vector);
        for (std::size_t t0 = 0; t0 < ntiles; t0 += chunk) {
            const std::size_t t1 = std::min(ntiles, t0 + chunk);
            for (std::size_t k0 = 0; k0 < d1; k0 += kBlockComponents) {
                const std::size_t kc = std::min(kBlockComponents, d - std::min(d, k0));
                const bool last = k0 + kBlockComponents >= d1;
                // A panel's block stays in L1 while the chunk's query tiles pass over it from L2.
                // Panels and tiles go by pairs where the wide form exists, the rest one by one.
                const std::size_t step = wide ? 2 : 1;
                for (std::size_t pi = 0; pi < npanels; pi += step) {
                    const std::size_t np = std::min(step, npanels - pi);
                    for (std::size_t t = t0; t < t1; t += step) {
                        const std::size_t nt = std::min(step, t1 - t);
                        float* outs[4];
                        float* inits[4];
                        for (std::size_t a = 0; a < nt; ++a)
                            for (std::size_t h = 0; h < np; ++h) {
                                float* wait = blocked ? partial.data() + ((t + a - t0) * npanels + pi + h) * tile_floats
                                                      : nullptr;
                                inits[2 * a + h] = k0 > 0 ? wait : nullptr;
                                outs[2 * a + h] = last ? dots + (2 * a + h) * tile_floats : wait;
                            }
                        const float* qtile = tiles.data() + t * kTileQueries * d + k0 * kTileQueries;
                        const float* panel = panels.data() + pi * kPanelRows * d + k0 * kPanelRows;
                        bool stored = true;
                        if (nt == 2 && np == 2) {
                            const bool l2 = p.query_sq != nullptr;
                            const PairTest test{tile_bars.data() + t * kTileQueries,
                                                l2 ? tile_qq.data() + t * kTileQueries : nullptr,
                                                l2 ? sq.data() + pi * kPanelRows : nullptr,
                                                l2 ? sq.data() + (pi + 1) * kPanelRows : nullptr};
                            stored = tile_pair_dots_avx512(qtile, qtile + kTileQueries * d, kc, panel,
                                                           panel + kPanelRows * d, inits, outs, last ? &test : nullptr);
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
                        if (!last || !stored) continue;
                        for (std::size_t a = 0; a < nt; ++a)
                            for (std::size_t h = 0; h < np; ++h) {
                                const std::size_t q0 = (t + a) * kTileQueries;
                                const std::size_t mr = std::min(kTileQueries, p.nq - q0);
                                const std::size_t pj = pi + h;
                                const double* panel_sq = p.row_sq != nullptr ? sq.data() + pj * kPanelRows : nullptr;
                                const std::uint64_t row0 = p.first_row + first + pj * kPanelRows;
                                const std::size_t valid = std::min(kPanelRows, n - pj * kPanelRows);
                                float* block = dots + (2 * a + h) * tile_floats;
                                if (vector)
                                    tile_test_avx2(p, q0, mr, block, panel_sq, row0, valid, tile_bars.data(), sink);
                                else
                                    tile_test_scalar(p, q0, mr, block, panel_sq, row0, valid, tile_bars.data(), sink);
                            }
                    }
                }
            }
        }
    }
    std::copy(tile_bars.begin(), tile_bars.begin() + static_cast<std::ptrdiff_t>(p.nq), bars);
}

}  // namespace rivezor::fused
