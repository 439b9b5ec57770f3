// The 4x4 float transpose within each 128-bit half of four AVX2 registers, shared by the norm
// pass at open and the row-scan kernels' lane sums.
#pragma once

#include <immintrin.h>

#include "runtime/cpu_features.hpp"

namespace rivezor {

// In: rows a, b, c, d of eight lanes. Out: col[j] holds lane j of a, b, c, d in its low half
// and lane 4 + j of a, b, c, d in its high half.
RIVEZOR_TARGET_AVX2 __attribute__((always_inline)) inline void transpose_f32_4x4_halves_avx2(__m256 a_f32x8, __m256 b_f32x8,
                                                                                        __m256 c_f32x8, __m256 d_f32x8,
                                                                                        __m256 col_f32x8[4]) {
    const __m256 ab_lo_f32x8 = _mm256_unpacklo_ps(a_f32x8, b_f32x8);  // a0 b0 a1 b1 | a4 b4 a5 b5
    const __m256 ab_hi_f32x8 = _mm256_unpackhi_ps(a_f32x8, b_f32x8);  // a2 b2 a3 b3 | a6 b6 a7 b7
    const __m256 cd_lo_f32x8 = _mm256_unpacklo_ps(c_f32x8, d_f32x8);
    const __m256 cd_hi_f32x8 = _mm256_unpackhi_ps(c_f32x8, d_f32x8);
    col_f32x8[0] = _mm256_shuffle_ps(ab_lo_f32x8, cd_lo_f32x8, 0x44);
    col_f32x8[1] = _mm256_shuffle_ps(ab_lo_f32x8, cd_lo_f32x8, 0xEE);
    col_f32x8[2] = _mm256_shuffle_ps(ab_hi_f32x8, cd_hi_f32x8, 0x44);
    col_f32x8[3] = _mm256_shuffle_ps(ab_hi_f32x8, cd_hi_f32x8, 0xEE);
}

}  // namespace rivezor
