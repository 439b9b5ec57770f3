// Bit-level facts about floating-point values that must agree everywhere: the total order
// keys of float32 scores and double energies, and the one non-finite test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rivezor {

// IEEE 754 total order: the bits as a signed integer, the low bits flipped when negative.
inline std::int32_t order_key(float v) {
    std::int32_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    return bits < 0 ? bits ^ 0x7FFFFFFF : bits;
}

inline std::int64_t order_key(double v) {
    std::int64_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    return bits < 0 ? bits ^ 0x7FFFFFFFFFFFFFFFLL : bits;
}

// NaN or an infinity: the exponent bits all ones. Decided on the bits so that no compiler
// flag about floating-point semantics can change the answer.
inline constexpr std::uint32_t kExponentMaskF32 = 0x7F800000u;

inline bool is_non_finite(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof(bits));
    return (bits & kExponentMaskF32) == kExponentMaskF32;
}

inline bool is_finite_value(float v) { return !is_non_finite(v); }

// True when none of values[0..count) is NaN or infinite. OR-ing a flag keeps the loop
// branch-free, so long batches vectorise.
inline bool all_finite(const float* values, std::size_t count) {
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) bad |= static_cast<std::uint32_t>(is_non_finite(values[i]));
    return bad == 0;
}

}  // namespace rivezor
