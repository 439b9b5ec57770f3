// Row normalization kernels of the writer. The float32 path must stay bit-exact (scores of
// stored rows depend on it), so nothing here may be reassociated or contracted.
#include "prepare/normalize.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace rivezor::prepare {
namespace {

void zero_row(float* out, std::size_t dims) {
    for (std::size_t i = 0; i < dims; ++i) out[i] = 0.0f;
}

// The float32 sum lost the row: squares overflowed, or every square (or their sum) fell
// below the normal range. Squares of float32 values are exact in double and their sum over
// at most 10000 of them stays far inside double's range, so no scaling is needed.
void normalize_row_f64(const float* x, float* out, std::size_t dims) {
    double sum_sq = 0.0;
    for (std::size_t i = 0; i < dims; ++i) {
        if (!std::isfinite(x[i])) {
            zero_row(out, dims);
            return;
        }
        const double v = x[i];
        sum_sq += v * v;
    }
    if (sum_sq == 0.0) {
        zero_row(out, dims);
        return;
    }
    const double norm = std::sqrt(sum_sq);
    for (std::size_t i = 0; i < dims; ++i) out[i] = static_cast<float>(static_cast<double>(x[i]) / norm);
}

}  // namespace

float sum_of_squares_f32(const float* x, std::size_t dims) {
    float s = 0.0f;
    std::size_t i = 0;
    for (; i + 8 <= dims; i += 8) {
        const float* g = x + i;
        const float a = ((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]) + g[3] * g[3];
        const float b = ((g[4] * g[4] + g[5] * g[5]) + g[6] * g[6]) + g[7] * g[7];
        s += a + b;
    }
    for (; i < dims; ++i) s += x[i] * x[i];
    return s;
}

void normalize_row_f32(const float* x, float* out, std::size_t dims) {
    const float s = sum_of_squares_f32(x, dims);
    const float norm = std::sqrt(s);
    // False for NaN, zero, subnormal and infinite sums alike.
    if (s >= std::numeric_limits<float>::min() && std::isfinite(norm)) {
        const float inv = 1.0f / norm;
        for (std::size_t i = 0; i < dims; ++i) out[i] = x[i] * inv;
        return;
    }
    normalize_row_f64(x, out, dims);
}

}  // namespace rivezor::prepare
