// The benchmark's native limits, loaded with ctypes and never part of the module: a streaming
// AVX2 read of a memory range on N threads, and peak-rate runs of independent 8- and 16-lane FMA chains.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Four independent accumulators keep the adds off the critical path, so the loop is bound by
// loads alone; the sum is returned so the reads cannot be dropped.
__attribute__((target("avx2"))) float stream_part(const float* p, std::size_t n) {
    __m256 a = _mm256_setzero_ps(), b = _mm256_setzero_ps(), c = _mm256_setzero_ps(), d = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = _mm256_add_ps(a, _mm256_loadu_ps(p + i));
        b = _mm256_add_ps(b, _mm256_loadu_ps(p + i + 8));
        c = _mm256_add_ps(c, _mm256_loadu_ps(p + i + 16));
        d = _mm256_add_ps(d, _mm256_loadu_ps(p + i + 24));
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, _mm256_add_ps(_mm256_add_ps(a, b), _mm256_add_ps(c, d)));
    float s = 0.0f;
    for (float l : lanes) s += l;
    for (; i < n; ++i) s += p[i];
    return s;
}

// Twelve chains: with a latency of four cycles and two FMA ports, eight would just fill the
// pipes; twelve leave room for the loop's own instructions. The multiplier stays below one so
// no value overflows or turns subnormal over any run length.
__attribute__((target("avx2,fma"))) float fma_part(long iters) {
    const __m256 m = _mm256_set1_ps(0.9999999f);
    const __m256 c = _mm256_set1_ps(1e-7f);
    // Named registers rather than an array: an array may live in memory, adding a store and a
    // load to every chain.
    __m256 a0 = _mm256_set1_ps(1.00f), a1 = _mm256_set1_ps(1.01f), a2 = _mm256_set1_ps(1.02f);
    __m256 a3 = _mm256_set1_ps(1.03f), a4 = _mm256_set1_ps(1.04f), a5 = _mm256_set1_ps(1.05f);
    __m256 a6 = _mm256_set1_ps(1.06f), a7 = _mm256_set1_ps(1.07f), a8 = _mm256_set1_ps(1.08f);
    __m256 a9 = _mm256_set1_ps(1.09f), a10 = _mm256_set1_ps(1.10f), a11 = _mm256_set1_ps(1.11f);
    for (long i = 0; i < iters; ++i) {
        a0 = _mm256_fmadd_ps(a0, m, c);
        a1 = _mm256_fmadd_ps(a1, m, c);
        a2 = _mm256_fmadd_ps(a2, m, c);
        a3 = _mm256_fmadd_ps(a3, m, c);
        a4 = _mm256_fmadd_ps(a4, m, c);
        a5 = _mm256_fmadd_ps(a5, m, c);
        a6 = _mm256_fmadd_ps(a6, m, c);
        a7 = _mm256_fmadd_ps(a7, m, c);
        a8 = _mm256_fmadd_ps(a8, m, c);
        a9 = _mm256_fmadd_ps(a9, m, c);
        a10 = _mm256_fmadd_ps(a10, m, c);
        a11 = _mm256_fmadd_ps(a11, m, c);
        // An empty asm over the chains keeps the compiler from folding or shortening them.
        __asm__ volatile("" : "+x"(a0), "+x"(a1), "+x"(a2), "+x"(a3), "+x"(a4), "+x"(a5));
        __asm__ volatile("" : "+x"(a6), "+x"(a7), "+x"(a8), "+x"(a9), "+x"(a10), "+x"(a11));
    }
    const __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                                   _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)),
                                                 _mm256_add_ps(_mm256_add_ps(a8, a9), _mm256_add_ps(a10, a11))));
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, s);
    return lanes[0];
}

// The same twelve chains sixteen lanes wide, where the processor has AVX-512.
__attribute__((target("avx512f"))) float fma_part_512(long iters) {
    const __m512 m = _mm512_set1_ps(0.9999999f);
    const __m512 c = _mm512_set1_ps(1e-7f);
    __m512 a0 = _mm512_set1_ps(1.00f), a1 = _mm512_set1_ps(1.01f), a2 = _mm512_set1_ps(1.02f);
    __m512 a3 = _mm512_set1_ps(1.03f), a4 = _mm512_set1_ps(1.04f), a5 = _mm512_set1_ps(1.05f);
    __m512 a6 = _mm512_set1_ps(1.06f), a7 = _mm512_set1_ps(1.07f), a8 = _mm512_set1_ps(1.08f);
    __m512 a9 = _mm512_set1_ps(1.09f), a10 = _mm512_set1_ps(1.10f), a11 = _mm512_set1_ps(1.11f);
    for (long i = 0; i < iters; ++i) {
        a0 = _mm512_fmadd_ps(a0, m, c);
        a1 = _mm512_fmadd_ps(a1, m, c);
        a2 = _mm512_fmadd_ps(a2, m, c);
        a3 = _mm512_fmadd_ps(a3, m, c);
        a4 = _mm512_fmadd_ps(a4, m, c);
        a5 = _mm512_fmadd_ps(a5, m, c);
        a6 = _mm512_fmadd_ps(a6, m, c);
        a7 = _mm512_fmadd_ps(a7, m, c);
        a8 = _mm512_fmadd_ps(a8, m, c);
        a9 = _mm512_fmadd_ps(a9, m, c);
        a10 = _mm512_fmadd_ps(a10, m, c);
        a11 = _mm512_fmadd_ps(a11, m, c);
        __asm__ volatile("" : "+v"(a0), "+v"(a1), "+v"(a2), "+v"(a3), "+v"(a4), "+v"(a5));
        __asm__ volatile("" : "+v"(a6), "+v"(a7), "+v"(a8), "+v"(a9), "+v"(a10), "+v"(a11));
    }
    const __m512 s = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)),
                                   _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(a4, a5), _mm512_add_ps(a6, a7)),
                                                 _mm512_add_ps(_mm512_add_ps(a8, a9), _mm512_add_ps(a10, a11))));
    return _mm512_reduce_add_ps(s);
}

template <typename Part>
double on_threads(int threads, Part part) {
    if (threads < 1) threads = 1;
    std::vector<double> out(static_cast<std::size_t>(threads), 0.0);
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back([&, t] { out[static_cast<std::size_t>(t)] = part(t); });
    out[0] = part(0);
    for (std::thread& th : pool) th.join();
    double s = 0.0;
    for (double v : out) s += v;
    return s;
}

}  // namespace

extern "C" {

// Sum of count floats from data, read in `threads` contiguous parts at once.
double rz_stream_sum(const float* data, std::size_t count, int threads) {
    const std::size_t parts = static_cast<std::size_t>(threads < 1 ? 1 : threads);
    return on_threads(threads, [&](int t) {
        const std::size_t first = count * static_cast<std::size_t>(t) / parts;
        const std::size_t last = count * (static_cast<std::size_t>(t) + 1) / parts;
        return static_cast<double>(stream_part(data + first, last - first));
    });
}

// Runs iters steps of 12 x 8-lane FMAs on each of `threads` threads (192 flops per step).
double rz_fma_peak(int threads, long iters) {
    return on_threads(threads, [&](int) { return static_cast<double>(fma_part(iters)); });
}

// The same with 16-lane chains (384 flops per step); 0 without AVX-512.
double rz_fma_peak_512(int threads, long iters) {
    if (!__builtin_cpu_supports("avx512f")) return 0.0;
    return on_threads(threads, [&](int) { return static_cast<double>(fma_part_512(iters)); });
}

int rz_has_avx512() { return __builtin_cpu_supports("avx512f") ? 1 : 0; }

int rz_fma_chains() { return 12; }
}
