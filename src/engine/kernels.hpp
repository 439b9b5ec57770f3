// Scoring kernels: the pair kernel (scalar and 8-lane vector forms, bit-exact arithmetic),
// the partial dot product over a dimension block, and the norm expansion's pieces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/metric.hpp"

namespace rivezor::kernels {

// True when ZARIR_FORCE_SCALAR is exactly "1"; read once per process.
bool force_scalar();

// Pair kernel, scalar form: one term at a time, left to right, in float.
float dot_f32_scalar(const float* q, const float* x, std::size_t n);
float l2sq_f32_scalar(const float* q, const float* x, std::size_t n);

// Pair kernel, vector form: two 4-lane accumulators over groups of 8, lanes summed
// ((l0 + l1) + l2) + l3, A + B, then the n mod 8 trailing terms one at a time.
float dot_f32_vector(const float* q, const float* x, std::size_t n);
float l2sq_f32_vector(const float* q, const float* x, std::size_t n);
// The 128-bit vector form whatever the CPU offers; wider forms must match it bit for bit.
float dot_f32_sse(const float* q, const float* x, std::size_t n);
float l2sq_f32_sse(const float* q, const float* x, std::size_t n);

// The pair score of the metric (dot product for the similarities, squared distance for
// euclidean) by the selected form.
float pair_score(Metric metric, const float* q, const float* x, std::size_t n);

// Pair scores of `count` consecutive rows starting at `rows` (row stride `n`) into out[0..count).
// Bit-identical to pair_score on each row. `streaming` says the rows come from memory rather
// than from cache, and the scan then asks for its lines ahead; the scores are the same.
void score_rows(Metric metric, const float* q, const float* rows, std::size_t count, std::size_t n,
                float* out, bool streaming = false);

// Dot product over components [start, end) by the vector scheme (8-lane groups from start,
// trailing terms one at a time).
float partial_dot_f32(const float* q, const float* x, std::size_t start, std::size_t end);

// Sum of squares in double, left to right from zero.
double sum_squares_f64(const float* v, std::size_t n);

// Squared distance from a dot product by the norm expansion, in double, not clamped.
inline float l2sq_from_dot(double qq, double xx, float dot) {
    return static_cast<float>(qq + xx - 2.0 * static_cast<double>(dot));
}

}  // namespace rivezor::kernels
