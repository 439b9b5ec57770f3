// Engine open internals that Python cannot see: derived norms, block table, block norms,
// and the digest, each checked against a plain independent computation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "test_support.hpp"

namespace {

using rivezor::test_support::normal_values;
using rivezor::test_support::write_index;

struct BlockCase {
    std::uint64_t rows, dims;
    std::uint32_t block_size;
};

class BlockSizeTable : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockSizeTable, FollowsShapeRules) {
    const BlockCase c = GetParam();
    EXPECT_EQ(rivezor::choose_block_size(c.rows, c.dims), c.block_size);
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlockSizeTable,
                         ::testing::Values(BlockCase{5000, 100, 16}, BlockCase{250000, 768, 64},
                                           BlockCase{249999, 768, 32}, BlockCase{10, 300, 32},
                                           BlockCase{10, 1024, 32}, BlockCase{10, 256, 32},
                                           BlockCase{10, 255, 16}, BlockCase{250000, 767, 32},
                                           BlockCase{1000000, 128, 32}));

TEST(DimBlocks, ContiguousBlocksOfOneWidthCutAtDims) {
    for (std::size_t dims : {0u, 1u, 15u, 16u, 17u, 100u, 768u, 4095u})
        for (std::size_t bs : {1u, 16u, 32u, 64u}) {
            const rivezor::DimBlocks blocks(dims, bs);
            ASSERT_EQ(blocks.size(), (dims + bs - 1) / bs) << dims << "/" << bs;
            std::size_t next = 0;
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                EXPECT_EQ(blocks[b].start, next);
                EXPECT_EQ(blocks[b].end, std::min(next + bs, dims));
                next = blocks[b].end;
            }
            EXPECT_EQ(next, dims);
        }
    EXPECT_EQ(rivezor::DimBlocks(100, 16)[6].start, 96u);
    EXPECT_EQ(rivezor::DimBlocks(100, 16)[6].end, 100u);
    EXPECT_EQ(rivezor::DimBlocks(16, 0).size(), 0u);
    // A width near 2^64 (a caller's block_size) is one block, not a wrapped count.
    EXPECT_EQ(rivezor::DimBlocks(24, SIZE_MAX).size(), 1u);
    EXPECT_EQ(rivezor::DimBlocks(24, SIZE_MAX)[0].end, 24u);
    // Four billion declared dimensions: the count without the list.
    EXPECT_EQ(rivezor::DimBlocks(0xFFFFFFFFu, 16).size(), 0x10000000u);
    EXPECT_EQ(rivezor::DimBlocks(0xFFFFFFFFu, 16)[0x0FFFFFFF].end, 0xFFFFFFFFu);
}

// Row norms: double, strictly left to right, compared bit for bit with a naive loop, and the
// block norms the same way per block. The shapes cover widths that are not multiples of 4 or
// 8, row counts that leave a tail after the groups of eight or have no full group, very wide
// rows, and a width below the block size.
struct NormCase {
    std::uint32_t dims, rows, metric;
    bool block_norms;
    std::size_t trailing;
};

class RowAndBlockNorms : public ::testing::TestWithParam<NormCase> {};

TEST_P(RowAndBlockNorms, MatchNaiveDoubleSumsBitForBit) {
    const NormCase c = GetParam();
    // Magnitudes spread over many binades so a changed summation order shows in the bits.
    auto values = normal_values(static_cast<std::size_t>(c.dims) * c.rows, 7 + c.dims, 3.0f);
    for (std::size_t i = 0; i < values.size(); i += 5) values[i] *= 1024.0f;
    for (std::size_t i = 2; i < values.size(); i += 7) values[i] *= 1.0f / 4096.0f;
    const std::string path = write_index("norms", c.dims, c.rows, c.metric, values, c.trailing);
    for (const auto simd : rivezor::test_support::simd_forms()) {
        const rivezor::runtime::SimdCapForTests cap(simd);
        SCOPED_TRACE(rivezor::test_support::simd_form_name(simd));
        auto opened = rivezor::open_engine(path, false);
        ASSERT_TRUE(opened.ok()) << opened.error();
        const auto& e = *opened.value();
        ASSERT_EQ(e.has_block_norms(), c.block_norms);
        const auto& blocks = e.dim_blocks();
        const std::size_t bs = e.block_size();
        ASSERT_EQ(blocks.size(), (c.dims + bs - 1) / bs);
        ASSERT_EQ(e.block_norms_sq().size(), c.block_norms ? static_cast<std::size_t>(c.rows) * blocks.size() : 0u);
        ASSERT_EQ(e.row_norms_sq().size(), c.rows);
        for (std::size_t r = 0; r < c.rows; ++r) {
            double s = 0.0;
            for (std::size_t j = 0; j < c.dims; ++j) {
                const double x = values[r * c.dims + j];
                s = s + x * x;
            }
            ASSERT_EQ(e.row_norms_sq()[r], s) << "row " << r;
            ASSERT_EQ(e.row_norms()[r], std::sqrt(static_cast<float>(s))) << "row " << r;
            if (!c.block_norms) continue;
            for (std::size_t b = 0; b < blocks.size(); ++b) {
                ASSERT_EQ(blocks[b].start, b * bs);
                ASSERT_EQ(blocks[b].end, std::min<std::size_t>((b + 1) * bs, c.dims));
                double bsum = 0.0;
                for (std::size_t j = b * bs; j < std::min<std::size_t>((b + 1) * bs, c.dims); ++j) {
                    const double x = values[r * c.dims + j];
                    bsum = bsum + x * x;
                }
                ASSERT_EQ(e.block_norms_sq()[r * blocks.size() + b], bsum) << "row " << r << " block " << b;
            }
        }
        // The digest covers the whole file as read back from disk, trailing bytes included.
        std::FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::vector<unsigned char> file_bytes;
        unsigned char buf[1 << 16];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), f)) > 0;) file_bytes.insert(file_bytes.end(), buf, buf + n);
        std::fclose(f);
        ASSERT_EQ(file_bytes.size(), 12 + static_cast<std::size_t>(c.rows) * c.dims * 4 + c.trailing);
        EXPECT_EQ(e.index_digest(), rivezor::blake3_digest(file_bytes.data(), file_bytes.size()));
    }
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RowAndBlockNorms,
    ::testing::Values(NormCase{70, 10003, 1, true, 0}, NormCase{64, 10000, 0, true, 3},
                      NormCase{129, 10007, 0, true, 0}, NormCase{203, 10005, 1, true, 1},
                      NormCase{13, 1003, 0, false, 0}, NormCase{5, 7, 1, false, 2},
                      NormCase{300, 2049, 2, false, 5}, NormCase{40001, 19, 2, false, 0},
                      NormCase{1, 17, 0, false, 0}));

struct BlockNormCase {
    std::uint32_t metric, rows, dims;
    bool expected;
};
class BlockNormPresence : public ::testing::TestWithParam<BlockNormCase> {};

TEST_P(BlockNormPresence, OnlyForLargeSimilarityIndexes) {
    const auto c = GetParam();
    const std::vector<float> values(static_cast<std::size_t>(c.rows) * c.dims, 0.5f);
    const std::string path = write_index("presence", c.dims, c.rows, c.metric, values);
    auto opened = rivezor::open_engine(path, true);
    ASSERT_TRUE(opened.ok()) << opened.error();
    EXPECT_EQ(opened.value()->has_block_norms(), c.expected);
    if (c.expected) {
        EXPECT_EQ(opened.value()->block_norms_sq().size(), static_cast<std::size_t>(c.rows) * ((c.dims + 15) / 16));
    }
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlockNormPresence,
                         ::testing::Values(BlockNormCase{2, 20000, 128, false}, BlockNormCase{0, 20000, 128, true},
                                           BlockNormCase{1, 20000, 128, true}, BlockNormCase{0, 9999, 128, false},
                                           BlockNormCase{0, 10000, 63, false}));

TEST(OpenDerivedState, EmptyMatrixOpens) {
    const std::string path = write_index("empty", 8, 0, 0, {});
    auto opened = rivezor::open_engine(path, false);
    ASSERT_TRUE(opened.ok()) << opened.error();
    EXPECT_TRUE(opened.value()->row_norms_sq().empty());
    EXPECT_EQ(opened.value()->dim_blocks().size(), 1u);
    std::remove(path.c_str());
}

TEST(OpenDerivedState, ZeroWidthRowsHaveZeroNorms) {
    const std::string path = write_index("zero_width", 0, 100000, 2, {});
    auto opened = rivezor::open_engine(path, false);
    ASSERT_TRUE(opened.ok()) << opened.error();
    const auto& e = *opened.value();
    ASSERT_EQ(e.row_norms_sq().size(), 100000u);
    ASSERT_EQ(e.row_norms().size(), 100000u);
    for (std::size_t r = 0; r < 100000; ++r) {
        ASSERT_EQ(e.row_norms_sq()[r], 0.0);
        ASSERT_EQ(e.row_norms()[r], 0.0f);
    }
    EXPECT_TRUE(e.dim_blocks().empty());
    std::remove(path.c_str());
}

}  // namespace
