// Certified search entry points Python cannot reach directly: the batch's own shape checks,
// the first-error rule of the parallel batch, and outcomes independent of the worker split.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/certified.hpp"
#include "engine/engine.hpp"
#include "test_support.hpp"

namespace {

using rivezor::test_support::normal_values;
using rivezor::test_support::open_index;

TEST(CertifiedBatch, ShapeChecksInOrder) {
    auto engine = open_index("cert_shape", 4, 10, 0, normal_values(40, 1));
    ASSERT_TRUE(engine);
    const std::vector<float> q(12, 1.0f);
    auto not_multiple = rivezor::search_certified_batch(*engine, q.data(), 10, 4, 1, 64, true);
    ASSERT_FALSE(not_multiple.ok());
    EXPECT_EQ(not_multiple.error(), "queries.len() não é múltiplo de dims");
    // the multiple test comes before the width test
    auto both = rivezor::search_certified_batch(*engine, q.data(), 10, 3, 1, 64, true);
    ASSERT_FALSE(both.ok());
    EXPECT_EQ(both.error(), "queries.len() não é múltiplo de dims");
    auto width = rivezor::search_certified_batch(*engine, q.data(), 12, 3, 1, 64, true);
    ASSERT_FALSE(width.ok());
    EXPECT_EQ(width.error(), "Query dimensions 3 != index dimensions 4");
    auto no_columns = rivezor::search_certified_batch(*engine, q.data(), 0, 0, 1, 64, true);
    ASSERT_FALSE(no_columns.ok());
    EXPECT_NE(no_columns.error().find("no columns"), std::string::npos);
    auto fewer_than_a_row = rivezor::search_certified_batch(*engine, q.data(), 0, 4, 1, 64, true);
    ASSERT_TRUE(fewer_than_a_row.ok());
    EXPECT_TRUE(fewer_than_a_row.value().empty());
}

TEST(CertifiedBatch, AnyFailingQueryFailsTheBatch) {
    auto engine = open_index("cert_fail", 8, 200, 1, normal_values(1600, 2));
    ASSERT_TRUE(engine);
    for (std::size_t bad : {std::size_t{0}, std::size_t{77}, std::size_t{255}}) {
        std::vector<float> queries = normal_values(256 * 8, 3);
        queries[bad * 8 + 5] = std::nanf("");
        auto result = rivezor::search_certified_batch(*engine, queries.data(), queries.size(), 8, 3, 4, true);
        ASSERT_FALSE(result.ok()) << bad;
        EXPECT_EQ(result.error(), "Query vector contains non-finite values");
    }
}

TEST(CertifiedBatch, OutcomesInQueryOrderEqualSingleSearches) {
    const std::uint32_t dims = 24, rows = 500;
    auto engine = open_index("cert_order", dims, rows, 2, normal_values(std::size_t{dims} * rows, 4));
    ASSERT_TRUE(engine);
    const std::vector<float> queries = normal_values(std::size_t{dims} * 97, 5);
    auto batch = rivezor::search_certified_batch(*engine, queries.data(), queries.size(), dims, 5, 8, true);
    ASSERT_TRUE(batch.ok()) << batch.error();
    ASSERT_EQ(batch.value().size(), 97u);
    for (std::size_t i = 0; i < 97; ++i) {
        auto single = rivezor::search_certified(*engine, queries.data() + i * dims, dims, 5, 8, true);
        ASSERT_TRUE(single.ok());
        const auto& a = batch.value()[i];
        const auto& b = single.value();
        ASSERT_EQ(a.hits.size(), b.hits.size());
        for (std::size_t h = 0; h < a.hits.size(); ++h) {
            EXPECT_EQ(a.hits[h].idx, b.hits[h].idx);
            EXPECT_EQ(a.hits[h].score, b.hits[h].score);
        }
        EXPECT_EQ(a.pruned_candidates, b.pruned_candidates);
        EXPECT_EQ(a.threshold_evolution, b.threshold_evolution);
        EXPECT_EQ(a.pruned_bound_values, b.pruned_bound_values);
    }
}

}  // namespace
