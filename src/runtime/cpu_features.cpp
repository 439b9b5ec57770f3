// Processor feature detection, once per process on first use, and the test cap applied on
// top of it with one relaxed atomic load per query.
#include "runtime/cpu_features.hpp"

#include <atomic>

namespace rivezor::runtime {
namespace {

struct Features {
    bool avx2;
    bool avx2_fma;
    bool avx512f;
    const char* widest;
};

const Features& features() {
    static const Features detected = [] {
        // Static initialisers may run before the compiler's own detection has.
        __builtin_cpu_init();
        const bool avx2 = __builtin_cpu_supports("avx2");
        const char* widest = avx2                              ? "avx2"
                             : __builtin_cpu_supports("avx")    ? "avx"
                             : __builtin_cpu_supports("sse4.2") ? "sse4.2"
                                                                : "scalar";
        const bool avx2_fma = avx2 && __builtin_cpu_supports("fma");
        return Features{avx2, avx2_fma, __builtin_cpu_supports("avx512f") != 0, widest};
    }();
    return detected;
}

std::atomic<Simd> g_cap{Simd::avx2};

}  // namespace

const char* processor_simd_name() { return features().widest; }
bool processor_has_avx2() { return features().avx2; }
bool processor_has_avx2_fma() { return features().avx2_fma; }
bool processor_has_avx512f() { return features().avx512f; }

Simd kernel_simd() {
    return processor_has_avx2() && g_cap.load(std::memory_order_relaxed) == Simd::avx2 ? Simd::avx2 : Simd::baseline;
}

SimdCapForTests::SimdCapForTests(Simd cap) : previous_(g_cap.exchange(cap)) {}
SimdCapForTests::~SimdCapForTests() { g_cap.store(previous_); }

}  // namespace rivezor::runtime
