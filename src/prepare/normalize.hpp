// Unit-length scaling of index rows: the fixed float32 summation order every stored cosine
// row depends on, with a double-precision path for finite rows that float32 cannot measure.
#pragma once

#include <cstddef>

namespace rivezor::prepare {

// Sum of squares in float32: per complete group of eight, a = ((q0+q1)+q2)+q3 and
// b = ((q4+q5)+q6)+q7 are added to the running sum as a + b; the tail is added one square
// at a time. Rows shorter than eight are all tail.
float sum_of_squares_f32(const float* x, std::size_t dims);

// out = x / |x|. Rows holding a NaN or an infinity, and all-zero rows, become +0.0.
// Finite rows whose float32 sum of squares overflows or leaves the normal range
// (subnormal or zero) are measured in double instead, so they still come out unit length.
// `out` may alias `x`.
void normalize_row_f32(const float* x, float* out, std::size_t dims);

}  // namespace rivezor::prepare
