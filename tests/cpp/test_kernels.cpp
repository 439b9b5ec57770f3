// Scoring kernels against a lane-by-lane model of the fixed arithmetic written with plain
// floats, and the block product against the fused kernel's chain and a double reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "engine/fused_avx2.hpp"
#include "engine/kernels.hpp"
#include "test_support.hpp"

namespace {

namespace k = rivezor::kernels;

using rivezor::test_support::bits_of;

float model_term(bool l2, float q, float x) {
    if (l2) {
        volatile float d = q - x;
        volatile float t = d * d;
        return t;
    }
    volatile float t = q * x;
    return t;
}

// Two four-lane accumulators over groups of 8, lane sums left to right, A + B, then the
// trailing terms one at a time; `volatile` keeps every step a rounded float operation.
float model_vector(bool l2, const float* q, const float* x, std::size_t n) {
    float a[4] = {0, 0, 0, 0}, b[4] = {0, 0, 0, 0};
    const std::size_t groups = n / 8;
    for (std::size_t g = 0; g < groups; ++g)
        for (int t = 0; t < 4; ++t) {
            volatile float na = a[t] + model_term(l2, q[8 * g + t], x[8 * g + t]);
            volatile float nb = b[t] + model_term(l2, q[8 * g + 4 + t], x[8 * g + 4 + t]);
            a[t] = na;
            b[t] = nb;
        }
    volatile float sa = a[0] + a[1];
    sa = sa + a[2];
    sa = sa + a[3];
    volatile float sb = b[0] + b[1];
    sb = sb + b[2];
    sb = sb + b[3];
    volatile float s = sa + sb;
    for (std::size_t j = groups * 8; j < n; ++j) s = s + model_term(l2, q[j], x[j]);
    return s;
}

float model_scalar(bool l2, const float* q, const float* x, std::size_t n) {
    volatile float s = 0.0f;
    for (std::size_t j = 0; j < n; ++j) s = s + model_term(l2, q[j], x[j]);
    return s;
}

std::vector<float> values(std::size_t n, unsigned seed, float scale) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
    std::uniform_int_distribution<int> expo(-6, 6);
    std::vector<float> v(n);
    // Mixed magnitudes make rounding depend on the order of additions.
    for (auto& x : v) x = std::ldexp(mant(gen), expo(gen)) * scale;
    return v;
}

std::vector<std::size_t> kernel_dims() {
    std::vector<std::size_t> d;
    for (std::size_t i = 1; i <= 40; ++i) d.push_back(i);
    for (std::size_t i : {63, 64, 65, 127, 128, 768, 1000}) d.push_back(i);
    return d;
}

class KernelDims : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KernelDims, VectorFormsMatchTheLaneModelBitForBit) {
    const std::size_t n = GetParam();
    for (const auto simd : rivezor::test_support::simd_forms()) {
        const rivezor::runtime::SimdCapForTests cap(simd);
        SCOPED_TRACE(rivezor::test_support::simd_form_name(simd));
        for (unsigned seed = 0; seed < 6; ++seed) {
            const auto q = values(n, seed, 1.0f);
            const auto x = values(n, seed + 100, seed % 2 ? 1000.0f : 0.01f);
            for (bool l2 : {false, true}) {
                const float want = model_vector(l2, q.data(), x.data(), n);
                const float sse = l2 ? k::l2sq_f32_sse(q.data(), x.data(), n) : k::dot_f32_sse(q.data(), x.data(), n);
                const float vec =
                    l2 ? k::l2sq_f32_vector(q.data(), x.data(), n) : k::dot_f32_vector(q.data(), x.data(), n);
                EXPECT_EQ(bits_of(sse), bits_of(want)) << "n=" << n << " l2=" << l2 << " seed=" << seed;
                EXPECT_EQ(bits_of(vec), bits_of(want)) << "n=" << n << " l2=" << l2 << " seed=" << seed;
                const float scalar =
                    l2 ? k::l2sq_f32_scalar(q.data(), x.data(), n) : k::dot_f32_scalar(q.data(), x.data(), n);
                EXPECT_EQ(bits_of(scalar), bits_of(model_scalar(l2, q.data(), x.data(), n)));
                if (n < 8) {
                    EXPECT_EQ(bits_of(scalar), bits_of(want)) << "below one group both forms agree";
                }
            }
        }
    }
}

TEST_P(KernelDims, ScoreRowsMatchesPairScoreOnEveryRow) {
    const std::size_t n = GetParam();
    // 11 rows: two quads and a remainder of three.
    const std::size_t count = 11;
    const auto q = values(n, 7, 1.0f);
    const auto m = values(n * count, 8, 3.0f);
    for (const auto simd : rivezor::test_support::simd_forms()) {
        const rivezor::runtime::SimdCapForTests cap(simd);
        SCOPED_TRACE(rivezor::test_support::simd_form_name(simd));
        for (rivezor::Metric metric : {rivezor::Metric::cosine, rivezor::Metric::dot, rivezor::Metric::euclidean})
            for (bool streaming : {false, true}) {
                std::vector<float> out(count, -1.0f);
                k::score_rows(metric, q.data(), m.data(), count, n, out.data(), streaming);
                for (std::size_t r = 0; r < count; ++r)
                    EXPECT_EQ(bits_of(out[r]), bits_of(k::pair_score(metric, q.data(), m.data() + r * n, n)))
                        << "n=" << n << " metric=" << int(metric) << " streaming=" << streaming << " row=" << r;
            }
    }
}

TEST_P(KernelDims, PartialDotRestartsTheSchemeAtTheBlockStart) {
    const std::size_t n = GetParam();
    const auto q = values(n, 3, 1.0f);
    const auto x = values(n, 4, 1.0f);
    for (std::size_t start : {std::size_t{0}, std::size_t{1}, n / 3, n / 2}) {
        for (std::size_t end : {n, n - n / 4, start + 9}) {
            if (end > n || end < start) continue;
            EXPECT_EQ(bits_of(k::partial_dot_f32(q.data(), x.data(), start, end)),
                      bits_of(model_vector(false, q.data() + start, x.data() + start, end - start)))
                << "n=" << n << " [" << start << "," << end << ")";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, KernelDims, ::testing::ValuesIn(kernel_dims()));

TEST(Kernels, ScoresOfSpecialValues) {
    // Squared distance of a row to itself is exactly zero; cosine is not normalized.
    const std::vector<float> q = {3.0f, 4.0f};
    const std::vector<float> unit = {0.6f, 0.8f};
    EXPECT_EQ(k::pair_score(rivezor::Metric::euclidean, q.data(), q.data(), 2), 0.0f);
    EXPECT_FLOAT_EQ(k::pair_score(rivezor::Metric::cosine, q.data(), unit.data(), 2), 5.0f);
    std::vector<float> big(24, 1.0f), row(24, 1.0f);
    row[17] = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(std::isinf(k::pair_score(rivezor::Metric::dot, big.data(), row.data(), 24)));
    row[17] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(k::pair_score(rivezor::Metric::euclidean, big.data(), row.data(), 24)));
}

TEST(Kernels, ScalarSwitchIsOffUnlessExactlyOne) {
    // The test runner leaves ZARIR_FORCE_SCALAR unset unless it asks for the scalar run.
    const char* v = std::getenv("ZARIR_FORCE_SCALAR");
    EXPECT_EQ(k::force_scalar(), v != nullptr && std::string(v) == "1");
}

TEST(Kernels, SumSquaresIsLeftToRightInDouble) {
    const std::vector<float> v = {1e8f, 1.0f, -1e8f, 0.5f};
    double s = 0.0;
    for (float x : v) s = s + double(x) * double(x);
    EXPECT_EQ(k::sum_squares_f64(v.data(), v.size()), s);
    EXPECT_EQ(k::sum_squares_f64(v.data(), 0), 0.0);
    // The norm expansion is not clamped: q == x can give a tiny negative value.
    EXPECT_EQ(k::l2sq_from_dot(2.0, 2.0, 2.0000002f), static_cast<float>(4.0 - 2.0 * double(2.0000002f)));
    EXPECT_LT(k::l2sq_from_dot(2.0, 2.0, 2.0000002f), 0.0f);
}

struct ProductCase {
    std::size_t m, n, dims;
};

class BlockProduct : public ::testing::TestWithParam<ProductCase> {};

// Every entry is the fused kernel's chain, bit for bit, in every form the processor has; one
// query goes by its own kernel (whole groups of 128 rows, a short last group), several by the
// tiles. The chain itself is checked against a double reference.
TEST_P(BlockProduct, EveryEntryIsTheChainInEveryForm) {
    const auto c = GetParam();
    const auto a = values(c.m * c.dims, 21, 1.0f);
    const auto b = values(c.n * c.dims, 22, 1.0f);
    for (const char* form : {"", "avx2", "scalar"}) {
        ::setenv("ZARIR_MATRIX_KERNEL", form, 1);
        std::vector<float> out(c.m * c.n, std::numeric_limits<float>::quiet_NaN());
        rivezor::fused::block_product(a.data(), c.m, b.data(), c.n, c.dims, out.data());
        for (std::size_t i = 0; i < c.m; ++i)
            for (std::size_t j = 0; j < c.n; ++j) {
                const float chain = rivezor::fused::chain_dot(a.data() + i * c.dims, b.data() + j * c.dims, c.dims);
                ASSERT_EQ(bits_of(out[i * c.n + j]), bits_of(chain)) << form << " " << i << "," << j;
                double ref = 0.0, mag = 0.0;
                for (std::size_t t = 0; t < c.dims; ++t) {
                    ref += double(a[i * c.dims + t]) * double(b[j * c.dims + t]);
                    mag += std::fabs(double(a[i * c.dims + t]) * double(b[j * c.dims + t]));
                }
                EXPECT_NEAR(chain, ref, 1e-5 * mag + 1e-30) << i << "," << j;
            }
    }
    ::unsetenv("ZARIR_MATRIX_KERNEL");
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlockProduct,
                         ::testing::Values(ProductCase{1, 1, 1}, ProductCase{1, 37, 7}, ProductCase{1, 100, 128},
                                           ProductCase{1, 128, 16}, ProductCase{1, 300, 129},
                                           ProductCase{1, 257, 768}, ProductCase{5, 33, 65},
                                           ProductCase{17, 9, 300}, ProductCase{3, 4, 0}, ProductCase{1, 5, 0},
                                           ProductCase{1, 3, 70000}));

TEST(Kernels, BlockProductReadsARunInsideALargerMatrix) {
    // Rows 5..12 of a 200-row matrix, read in place: the same bits as in the whole product.
    const std::size_t dims = 24;
    const auto m = values(200 * dims, 30, 1.0f);
    const auto q = values(dims, 31, 1.0f);
    std::vector<float> full(200), part(8);
    rivezor::fused::block_product(q.data(), 1, m.data(), 200, dims, full.data());
    rivezor::fused::block_product(q.data(), 1, m.data() + 5 * dims, 8, dims, part.data());
    for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(bits_of(part[j]), bits_of(full[5 + j]));
}

}  // namespace
