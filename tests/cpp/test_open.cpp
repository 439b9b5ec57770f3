// Engine open internals that Python cannot see: derived norms, block table, block norms,
// and the digest, each checked against a plain independent computation.
#include <gtest/gtest.h>

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

TEST(DimBlocks, LastBlockIsCutAtDims) {
    const auto blocks = rivezor::make_dim_blocks(100, 16);
    ASSERT_EQ(blocks.size(), 7u);
    EXPECT_EQ(blocks.back().start, 96u);
    EXPECT_EQ(blocks.back().end, 100u);
    for (std::size_t b = 1; b < blocks.size(); ++b) EXPECT_EQ(blocks[b].start, blocks[b - 1].end);
    EXPECT_TRUE(rivezor::make_dim_blocks(0, 16).empty());
    EXPECT_EQ(rivezor::make_dim_blocks(16, 16).size(), 1u);
}

// Row norms: double, strictly left to right, compared bit for bit with a naive loop; the
// odd row count exercises both the interleaved rows and the tail.
TEST(OpenDerivedState, RowAndBlockNormsMatchNaiveDoubleSums) {
    const std::uint32_t dims = 70, rows = 10003;
    const auto values = normal_values(static_cast<std::size_t>(dims) * rows, 7, 3.0f);
    const std::string path = write_index("norms", dims, rows, 1, values);
    auto opened = rivezor::open_engine(path, false);
    ASSERT_TRUE(opened.ok()) << opened.error();
    const auto& e = *opened.value();
    ASSERT_TRUE(e.has_block_norms());
    const auto& blocks = e.dim_blocks();
    ASSERT_EQ(e.block_size(), 16u);
    ASSERT_EQ(blocks.size(), 5u);
    ASSERT_EQ(e.block_norms_sq().size(), static_cast<std::size_t>(rows) * blocks.size());
    for (std::size_t r = 0; r < rows; ++r) {
        double s = 0.0;
        for (std::size_t j = 0; j < dims; ++j) {
            const double x = values[r * dims + j];
            s = s + x * x;
        }
        ASSERT_EQ(e.row_norms_sq()[r], s) << "row " << r;
        ASSERT_EQ(e.row_norms()[r], std::sqrt(static_cast<float>(s)));
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            double bs = 0.0;
            for (std::size_t j = blocks[b].start; j < blocks[b].end; ++j) {
                const double x = values[r * dims + j];
                bs = bs + x * x;
            }
            ASSERT_EQ(e.block_norms_sq()[r * blocks.size() + b], bs);
        }
    }
    std::remove(path.c_str());
}

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

}  // namespace
