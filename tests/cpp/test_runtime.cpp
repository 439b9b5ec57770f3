// Worker pool and environment parsing: nested loops, concurrent submitters, exceptions,
// and the unsigned-decimal grammar shared by ZARIR_THREADS and ZARIR_QBLOCK.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "runtime/environment.hpp"
#include "runtime/pool.hpp"

namespace {

using rivezor::runtime::parse_unsigned_decimal;

TEST(UnsignedDecimal, AcceptsOptionalPlusAndDigitsOnly) {
    EXPECT_EQ(parse_unsigned_decimal("4"), 4u);
    EXPECT_EQ(parse_unsigned_decimal("+8"), 8u);
    EXPECT_EQ(parse_unsigned_decimal("0"), 0u);
    EXPECT_EQ(parse_unsigned_decimal("18446744073709551615"), UINT64_MAX);
    for (const char* bad : {"", "+", "-1", " 4", "4 ", "abc", "1e3", "++1", "18446744073709551616", "0x10"})
        EXPECT_FALSE(parse_unsigned_decimal(bad).has_value()) << bad;
}

TEST(WorkerPool, EveryItemRunsExactlyOnce) {
    std::vector<std::atomic<int>> hits(10000);
    rivezor::runtime::parallel_for(hits.size(), [&](std::size_t i) { hits[i].fetch_add(1); });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST(WorkerPool, NestedLoopsFinish) {
    std::atomic<long> total{0};
    rivezor::runtime::parallel_for(16, [&](std::size_t) {
        rivezor::runtime::parallel_for(16, [&](std::size_t) {
            rivezor::runtime::parallel_for(4, [&](std::size_t j) { total.fetch_add(static_cast<long>(j)); });
        });
    });
    EXPECT_EQ(total.load(), 16L * 16 * 6);
}

TEST(WorkerPool, ConcurrentSubmittersFromManyThreads) {
    std::atomic<long> total{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 50; ++round)
                rivezor::runtime::parallel_for(37, [&](std::size_t i) { total.fetch_add(static_cast<long>(i)); });
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(total.load(), 8L * 50 * (36 * 37 / 2));
}

TEST(WorkerPool, FirstExceptionReachesTheCaller) {
    std::atomic<int> ran{0};
    EXPECT_THROW(rivezor::runtime::parallel_for(100,
                                                [&](std::size_t i) {
                                                    ran.fetch_add(1);
                                                    if (i == 17) throw std::runtime_error("boom");
                                                }),
                 std::runtime_error);
    EXPECT_EQ(ran.load(), 100);
}

}  // namespace
