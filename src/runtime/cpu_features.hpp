// The one CPU-feature detector and the one target attribute: which vector forms of the kernels
// this processor can run, detected once, with a cap the tests use to run every form there is.
#pragma once

#include <cstdint>

// Marks a function compiled for AVX2 (and only AVX2: never FMA, whose fused multiply-add would
// change score bits). Call such functions only when kernel_simd() is Simd::avx2.
#define RIVEZOR_TARGET_AVX2 __attribute__((target("avx2")))
// The fused matrix kernel only: a matrix path's summation order is its own, so it may fuse.
#define RIVEZOR_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))

namespace rivezor::runtime {

// The forms the kernels come in: the x86-64 baseline (SSE2) and AVX2.
enum class Simd : std::uint8_t { baseline = 0, avx2 = 1 };

// The widest vector instruction set the processor reports: "avx2", "avx", "sse4.2" or
// "scalar". Reported in certificates; unaffected by the cap below and by ZARIR_FORCE_SCALAR.
const char* processor_simd_name();
bool processor_has_avx2();
bool processor_has_avx2_fma();
bool processor_has_avx512f();

// The form the kernels, the candidate filter and the norm pass use: AVX2 when the processor
// has it and no cap is in force.
Simd kernel_simd();

// Test-only: while an instance lives, kernel_simd() is at most `cap`. Set it while no search
// runs; the forms must give identical bits, which is what the tests check.
class SimdCapForTests {
public:
    explicit SimdCapForTests(Simd cap);
    ~SimdCapForTests();
    SimdCapForTests(const SimdCapForTests&) = delete;
    SimdCapForTests& operator=(const SimdCapForTests&) = delete;

private:
    Simd previous_;
};

}  // namespace rivezor::runtime
