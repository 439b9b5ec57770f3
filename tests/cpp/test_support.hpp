// Helpers the C++ test files share: index files written by hand to temporary paths, engines
// opened on them, seeded test values and the bits of a float.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "runtime/cpu_features.hpp"
#include "core/index_format.hpp"

namespace rivezor::test_support {

// Writes a header and the row-major values, plus `trailing` bytes 0, 1, 2, ..., to a fresh
// temporary file and returns its path. Every call gets its own path: all test files run in
// one process, and rewriting a file that a live engine still maps would pull its pages away.
inline std::string write_index(const std::string& name, std::uint32_t dims, std::uint32_t rows,
                               std::uint32_t metric, const std::vector<float>& values, std::size_t trailing = 0) {
    static std::atomic<unsigned> serial{0};
    const std::string path = ::testing::TempDir() + "/" + name + "_" + std::to_string(::getpid()) + "_" +
                             std::to_string(serial.fetch_add(1)) + ".bin";
    std::ofstream out(path, std::ios::binary);
    unsigned char header[format::kHeaderBytes];
    format::write_header(header, {dims, rows, metric});
    out.write(reinterpret_cast<const char*>(header), 12);
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * 4));
    for (std::size_t i = 0; i < trailing; ++i) out.put(static_cast<char>(i));
    return path;
}

// An engine on a freshly written index; the file is removed at once, the mapping keeps the
// data. Null (with a test failure) when the open fails.
inline EngineRef open_index(const std::string& name, std::uint32_t dims, std::uint32_t rows, std::uint32_t metric,
                            const std::vector<float>& values) {
    const std::string path = write_index(name, dims, rows, metric, values);
    auto opened = open_engine(path, false);
    std::remove(path.c_str());
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error());
    return opened.ok() ? opened.value() : nullptr;
}

inline std::vector<float> normal_values(std::size_t n, unsigned seed, float stddev = 1.0f) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, stddev);
    std::vector<float> v(n);
    for (auto& x : v) x = dist(gen);
    return v;
}

// Every vector form this processor can run: code chosen per processor must give the same
// bits in each, so the tests run each form rather than only the widest.
inline std::vector<runtime::Simd> simd_forms() {
    std::vector<runtime::Simd> forms{runtime::Simd::baseline};
    if (runtime::processor_has_avx2()) forms.push_back(runtime::Simd::avx2);
    return forms;
}

inline const char* simd_form_name(runtime::Simd simd) { return simd == runtime::Simd::avx2 ? "avx2" : "baseline"; }

inline std::uint32_t bits_of(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

}  // namespace rivezor::test_support
