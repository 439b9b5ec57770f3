// Scoring kernels: the fixed-order pair arithmetic in scalar, 128-bit and AVX2 forms (the
// last two bit-identical), the one-time choice among them, and the norm pieces around them.
#include "engine/kernels.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/transpose_avx2.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/environment.hpp"

namespace rivezor::kernels {
namespace {

// ---------------------------------------------------------------------------------------
// Scalar form: one term at a time. -ffp-contract=off keeps the multiply and add separate.

template <bool L2>
inline float term_f32(float q, float x) {
    if constexpr (L2) {
        const float d = q - x;
        return d * d;
    } else {
        return q * x;
    }
}

template <bool L2>
float pair_f32_scalar(const float* q, const float* x, std::size_t n) {
    float s = 0.0f;
    for (std::size_t j = 0; j < n; ++j) s = s + term_f32<L2>(q[j], x[j]);
    return s;
}

// ---------------------------------------------------------------------------------------
// 128-bit form: accumulator A takes components 8g..8g+3, B takes 8g+4..8g+7. Consuming
// groups two per step or one at a time adds the same terms to the same lanes in the same
// order, so a plain loop over groups is the exact arithmetic.

template <bool L2>
inline __m128 term_f32x4_sse(__m128 q, __m128 x) {
    if constexpr (L2) {
        const __m128 d = _mm_sub_ps(q, x);
        return _mm_mul_ps(d, d);
    } else {
        return _mm_mul_ps(q, x);
    }
}

// ((l0 + l1) + l2) + l3 of one accumulator.
inline float lane_sum_f32x4_sse(__m128 v) {
    alignas(16) float l[4];
    _mm_store_ps(l, v);
    return ((l[0] + l[1]) + l[2]) + l[3];
}

template <bool L2>
float pair_f32_sse(const float* q, const float* x, std::size_t n) {
    __m128 acc_a_f32x4 = _mm_setzero_ps();
    __m128 acc_b_f32x4 = _mm_setzero_ps();
    const std::size_t groups = n / 8;
    for (std::size_t g = 0; g < groups; ++g) {
        const float* qg = q + 8 * g;
        const float* xg = x + 8 * g;
        acc_a_f32x4 = _mm_add_ps(acc_a_f32x4, term_f32x4_sse<L2>(_mm_loadu_ps(qg), _mm_loadu_ps(xg)));
        acc_b_f32x4 = _mm_add_ps(acc_b_f32x4, term_f32x4_sse<L2>(_mm_loadu_ps(qg + 4), _mm_loadu_ps(xg + 4)));
    }
    float s = lane_sum_f32x4_sse(acc_a_f32x4) + lane_sum_f32x4_sse(acc_b_f32x4);
    for (std::size_t j = groups * 8; j < n; ++j) s = s + term_f32<L2>(q[j], x[j]);
    return s;
}

// ---------------------------------------------------------------------------------------
// AVX2 form: one 256-bit accumulator whose low half is A and high half is B performs the
// 128-bit form's arithmetic lane for lane. Only AVX2 is enabled for these functions (not
// FMA), so the compiler cannot fuse the multiply into the add.

template <bool L2>
RIVEZOR_TARGET_AVX2 inline __m256 term_f32x8_avx2(__m256 q, __m256 x) {
    if constexpr (L2) {
        const __m256 d = _mm256_sub_ps(q, x);
        return _mm256_mul_ps(d, d);
    } else {
        return _mm256_mul_ps(q, x);
    }
}

// Lane sums of both halves at once (lane 0 of each half ends as ((l0 + l1) + l2) + l3),
// then A + B.
RIVEZOR_TARGET_AVX2 inline float lane_sums_a_plus_b_avx2(__m256 acc_f32x8) {
    __m256 s = _mm256_add_ps(acc_f32x8, _mm256_permute_ps(acc_f32x8, 0x01));
    s = _mm256_add_ps(s, _mm256_permute_ps(acc_f32x8, 0x02));
    s = _mm256_add_ps(s, _mm256_permute_ps(acc_f32x8, 0x03));
    const float a = _mm_cvtss_f32(_mm256_castps256_ps128(s));
    const float b = _mm_cvtss_f32(_mm256_extractf128_ps(s, 1));
    return a + b;
}

// The same sums for four rows at once: a 4x4 transpose within each half puts lane j of the
// four rows in one vector, so three vector adds give ((l0 + l1) + l2) + l3 for all of them
// (A in the low half, B in the high half), and one more gives A + B.
RIVEZOR_TARGET_AVX2 inline void lane_sums_a_plus_b_4rows_avx2(__m256 acc0_f32x8, __m256 acc1_f32x8, __m256 acc2_f32x8,
                                                       __m256 acc3_f32x8, float* out) {
    __m256 l_f32x8[4];
    transpose_f32_4x4_halves_avx2(acc0_f32x8, acc1_f32x8, acc2_f32x8, acc3_f32x8, l_f32x8);
    const __m256 sums_f32x8 = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(l_f32x8[0], l_f32x8[1]), l_f32x8[2]), l_f32x8[3]);
    _mm_storeu_ps(out, _mm_add_ps(_mm256_castps256_ps128(sums_f32x8), _mm256_extractf128_ps(sums_f32x8, 1)));
}

template <bool L2>
RIVEZOR_TARGET_AVX2 inline float tail_f32(float s, const float* q, const float* x, std::size_t from, std::size_t n) {
    for (std::size_t j = from; j < n; ++j) s = s + term_f32<L2>(q[j], x[j]);
    return s;
}

// One row's 8-lane accumulator over its whole groups, the pair form's arithmetic.
template <bool L2>
RIVEZOR_TARGET_AVX2 inline __m256 row_sum_f32x8_avx2(const float* q, const float* x, std::size_t groups) {
    __m256 acc_f32x8 = _mm256_setzero_ps();
#pragma GCC unroll 4
    for (std::size_t o = 0; o < 8 * groups; o += 8)
        acc_f32x8 = _mm256_add_ps(acc_f32x8, term_f32x8_avx2<L2>(_mm256_loadu_ps(q + o), _mm256_loadu_ps(x + o)));
    return acc_f32x8;
}

template <bool L2>
RIVEZOR_TARGET_AVX2 float pair_f32_avx2(const float* q, const float* x, std::size_t n) {
    const std::size_t groups = n / 8;
    return tail_f32<L2>(lane_sums_a_plus_b_avx2(row_sum_f32x8_avx2<L2>(q, x, groups)), q, x, groups * 8, n);
}

// The hardware prefetcher stops at every 4 KiB page boundary, so a scan from memory asks for
// its lines a little ahead itself. A quarter page ahead, not a page: asking for the next page's
// lines while that page is still far off stalled the scan on its own prefetches (1M x 128
// euclidean, 2 threads: 30 -> 21.6 ms over 4 KiB pages, 18.2 -> 16.4 ms over 2 MiB pages;
// cosine unchanged over 4 KiB pages, 16.8 -> 16.2 ms over 2 MiB pages).
// A prefetch never faults, so running past the end of the mapping is harmless.
constexpr std::uintptr_t kPrefetchAheadBytes = 1024;

inline void prefetch_ahead(const float* from, std::size_t floats) {
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(from) + kPrefetchAheadBytes;
    const std::uintptr_t end = start + floats * sizeof(float);
    // Unrolled, like the streaming loops below: a scan from memory issues a few instructions
    // per line it reads, and with a counter and a branch per line the front end, not memory,
    // set the pace (1M x 128 euclidean, 2 threads: 28 ms rolled, 19.5 ms unrolled).
#pragma GCC unroll 8
    for (std::uintptr_t line = start; line < end; line += 64)
        _mm_prefetch(reinterpret_cast<const char*>(line), _MM_HINT_T0);
}

// Four rows at a time, each read to its end before the next: each row keeps its own
// accumulator (its arithmetic is untouched), the four add chains overlap, and memory is
// consumed strictly in address order, which the hardware prefetchers follow. Interleaving
// the four rows (one query load serving four) was slower from every level on Zen 4: 5,000 x
// 128 in cache 38 against 34 us, after a 0.1 s idle pause 257 against 86 us, 60,000 x 128
// from the outer cache on 2 threads 1.4-1.8 against 0.6 ms. Rows streamed from memory ask
// for their lines ahead themselves; rows likely in cache do not, where the prefetches only
// cost (5,000 x 128 in cache: 41 us with them, 34 without).
template <bool L2, bool Prefetch>
RIVEZOR_TARGET_AVX2 void score_rows_avx2(const float* q, const float* rows, std::size_t count, std::size_t n,
                                  float* out) {
    const std::size_t groups = n / 8;
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) {
        const float* x0 = rows + r * n;
        const float* x1 = x0 + n;
        const float* x2 = x1 + n;
        const float* x3 = x2 + n;
        if constexpr (Prefetch) prefetch_ahead(x0, 4 * n);
        const __m256 acc0_f32x8 = row_sum_f32x8_avx2<L2>(q, x0, groups);
        const __m256 acc1_f32x8 = row_sum_f32x8_avx2<L2>(q, x1, groups);
        const __m256 acc2_f32x8 = row_sum_f32x8_avx2<L2>(q, x2, groups);
        const __m256 acc3_f32x8 = row_sum_f32x8_avx2<L2>(q, x3, groups);
        const std::size_t tail = groups * 8;
        lane_sums_a_plus_b_4rows_avx2(acc0_f32x8, acc1_f32x8, acc2_f32x8, acc3_f32x8, out + r);
        if (tail < n) {
            out[r + 0] = tail_f32<L2>(out[r + 0], q, x0, tail, n);
            out[r + 1] = tail_f32<L2>(out[r + 1], q, x1, tail, n);
            out[r + 2] = tail_f32<L2>(out[r + 2], q, x2, tail, n);
            out[r + 3] = tail_f32<L2>(out[r + 3], q, x3, tail, n);
        }
    }
    for (; r < count; ++r) out[r] = pair_f32_avx2<L2>(q, rows + r * n, n);
}

template <float (*Pair)(const float*, const float*, std::size_t)>
void score_rows_each(const float* q, const float* rows, std::size_t count, std::size_t n, float* out) {
    for (std::size_t r = 0; r < count; ++r) out[r] = Pair(q, rows + r * n, n);
}

// ---------------------------------------------------------------------------------------
// One-time choice of the implementations.

using PairFn = float (*)(const float*, const float*, std::size_t);
using RowsFn = void (*)(const float*, const float*, std::size_t, std::size_t, float*);

struct Dispatch {
    RowsFn dot_rows_streaming = score_rows_each<pair_f32_sse<false>>;
    RowsFn l2_rows_streaming = score_rows_each<pair_f32_sse<true>>;
    bool scalar = false;
    PairFn dot_vector = pair_f32_sse<false>;
    PairFn l2_vector = pair_f32_sse<true>;
    PairFn dot = pair_f32_sse<false>;
    PairFn l2 = pair_f32_sse<true>;
    RowsFn dot_rows = score_rows_each<pair_f32_sse<false>>;
    RowsFn l2_rows = score_rows_each<pair_f32_sse<true>>;
};

Dispatch make_dispatch(runtime::Simd simd) {
    Dispatch d;
    {
        if (simd == runtime::Simd::avx2) {
            d.dot_vector = pair_f32_avx2<false>;
            d.l2_vector = pair_f32_avx2<true>;
            d.dot_rows = score_rows_avx2<false, false>;
            d.l2_rows = score_rows_avx2<true, false>;
            d.dot_rows_streaming = score_rows_avx2<false, true>;
            d.l2_rows_streaming = score_rows_avx2<true, true>;
        } else {
            d.dot_rows = score_rows_each<pair_f32_sse<false>>;
            d.l2_rows = score_rows_each<pair_f32_sse<true>>;
        }
        d.dot = d.dot_vector;
        d.l2 = d.l2_vector;
        const auto flag = runtime::env_text("ZARIR_FORCE_SCALAR");
        d.scalar = flag.has_value() && *flag == "1";
        if (d.scalar) {
            d.dot = pair_f32_scalar<false>;
            d.l2 = pair_f32_scalar<true>;
            d.dot_rows = score_rows_each<pair_f32_scalar<false>>;
            d.l2_rows = score_rows_each<pair_f32_scalar<true>>;
            d.dot_rows_streaming = d.dot_rows;
            d.l2_rows_streaming = d.l2_rows;
        }
    }
    return d;
}

// Both tables are built once; the form in use is looked up per call so that the tests' cap
// takes effect at once.
const Dispatch& dispatch() {
    static const Dispatch baseline = make_dispatch(runtime::Simd::baseline);
    static const Dispatch avx2 = runtime::processor_has_avx2() ? make_dispatch(runtime::Simd::avx2) : baseline;
    return runtime::kernel_simd() == runtime::Simd::avx2 ? avx2 : baseline;
}

}  // namespace

bool force_scalar() { return dispatch().scalar; }

float dot_f32_scalar(const float* q, const float* x, std::size_t n) { return pair_f32_scalar<false>(q, x, n); }
float l2sq_f32_scalar(const float* q, const float* x, std::size_t n) { return pair_f32_scalar<true>(q, x, n); }

float dot_f32_vector(const float* q, const float* x, std::size_t n) { return dispatch().dot_vector(q, x, n); }
float l2sq_f32_vector(const float* q, const float* x, std::size_t n) { return dispatch().l2_vector(q, x, n); }

float dot_f32_sse(const float* q, const float* x, std::size_t n) { return pair_f32_sse<false>(q, x, n); }
float l2sq_f32_sse(const float* q, const float* x, std::size_t n) { return pair_f32_sse<true>(q, x, n); }

float pair_score(Metric metric, const float* q, const float* x, std::size_t n) {
    const Dispatch& d = dispatch();
    return metric == Metric::euclidean ? d.l2(q, x, n) : d.dot(q, x, n);
}

void score_rows(Metric metric, const float* q, const float* rows, std::size_t count, std::size_t n,
                float* out, bool streaming) {
    const Dispatch& d = dispatch();
    if (streaming)
        (metric == Metric::euclidean ? d.l2_rows_streaming : d.dot_rows_streaming)(q, rows, count, n, out);
    else
        (metric == Metric::euclidean ? d.l2_rows : d.dot_rows)(q, rows, count, n, out);
}

float partial_dot_f32(const float* q, const float* x, std::size_t start, std::size_t end) {
    if (end <= start) return 0.0f;
    return dispatch().dot_vector(q + start, x + start, end - start);
}

double sum_squares_f64(const float* v, std::size_t n) {
    double s = 0.0;
    for (std::size_t j = 0; j < n; ++j) s = s + static_cast<double>(v[j]) * static_cast<double>(v[j]);
    return s;
}

}  // namespace rivezor::kernels
