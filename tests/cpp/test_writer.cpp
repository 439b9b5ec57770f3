// The writer's engine side: the size-estimate gate on matrices too big to build in a test,
// the sample arithmetic, batch sizes, naming helpers and the extreme-row normalization.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "prepare/normalize.hpp"
#include "prepare/unicode_classes.hpp"
#include "prepare/working_copy.hpp"
#include "prepare/file_system.hpp"
#include "prepare/writer.hpp"
#include "runtime/pool.hpp"

namespace {

using namespace rivezor::prepare;

// A zero-filled matrix of `count` floats that costs address space only: the checks before
// the file is written read just the sampled values.
class SparseMatrix {
public:
    explicit SparseMatrix(std::uint64_t count) : bytes_(count * sizeof(float)) {
        void* p = ::mmap(nullptr, bytes_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<const float*>(p);
        // The sample touches every page; the huge zero page keeps that to a few thousand faults.
        if (data_ != nullptr) ::madvise(p, bytes_, MADV_HUGEPAGE);
    }
    ~SparseMatrix() {
        if (data_ != nullptr) ::munmap(const_cast<float*>(data_), bytes_);
    }
    const float* data() const { return data_; }

private:
    std::size_t bytes_;
    const float* data_;
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value) ::setenv(name, value, 1);
        else ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) ::setenv(name_, old_.c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

std::string temp_dir() {
    char pattern[] = "/tmp/rivezor-writer-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return made ? made : "";
}

struct StrictCase {
    std::uint64_t rows, dims;
    const char* level;
    const char* strict;
    const char* expected;  // nullptr: the gate passes and the not-a-directory check answers
};

class StrictMemcheck : public ::testing::TestWithParam<StrictCase> {};

TEST_P(StrictMemcheck, GatesOnlyAboveTheLimitAndOnlyOnRequest) {
    const StrictCase c = GetParam();
    SparseMatrix m(c.rows * c.dims);
    ASSERT_NE(m.data(), nullptr);
    const std::string dir = temp_dir();
    const std::string blocker = dir + "/file";
    std::ofstream(blocker) << "x";
    ScopedEnv env("ZARIR_STRICT_MEMCHECK", c.strict);
    PrepareRequest req;
    req.values = m.data();
    req.count = c.rows * c.dims;
    req.metric = rivezor::Metric::dot;
    req.dims = c.dims;
    req.rows = c.rows;
    req.base_name = "big";
    req.level = c.level;
    req.output_dir = blocker;
    const auto result = prepare_index(req);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.expected ? std::string(c.expected) : "Output path is not a directory: " + blocker);
    ::unlink(blocker.c_str());
    ::rmdir(dir.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Writer, StrictMemcheck,
    ::testing::Values(
        // 1.5e9 values at f32: 9e9 bytes estimated.
        StrictCase{150000, 10000, "f32", "1", "Insufficient memory: need 8.4GB, available 8.0GB"},
        StrictCase{150000, 10000, "f32", nullptr, nullptr}, StrictCase{150000, 10000, "f32", "true", nullptr},
        StrictCase{150000, 10000, "f32", "1 ", nullptr},
        // 2^30 values at f16 estimate exactly 8 GiB: not above the limit.
        StrictCase{1048576, 1024, "f16", "1", nullptr},
        StrictCase{1048577, 1024, "f16", "1", "Insufficient memory: need 8.0GB, available 8.0GB"},
        StrictCase{1048577, 1024, "f32", "1", nullptr},  // 1.5 x 4 GiB
        StrictCase{1048576, 1024, "f8", "1", "Insufficient memory: need 10.0GB, available 8.0GB"}));

TEST(WriterSample, StepAndSampleCounts) {
    std::vector<float> zeros(2'000'000, 0.0f);
    struct Case {
        std::uint64_t count, samples;
    };
    // step 1 below 101; divisor 100 up to 100999 values; count / 1000 from 101000 on.
    for (Case c : {Case{1, 1}, Case{100, 100}, Case{101, 101}, Case{199, 199}, Case{200, 100}, Case{1001, 101},
                   Case{100900, 100}, Case{100999, 101}, Case{101000, 101}, Case{1'000'000, 1000},
                   Case{1'999'999, 2000}}) {
        const InvalidSample s = sample_invalid_values(zeros.data(), c.count);
        EXPECT_EQ(s.samples, c.samples) << c.count;
        EXPECT_EQ(s.invalid, 0u);
    }
    // Only the sampled positions count, and every exponent-all-ones pattern is invalid.
    std::vector<float> v(1001, 1.0f);
    const std::uint32_t patterns[] = {0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFFFFFFFu, 0x7F800001u};
    for (std::size_t i = 0; i < 5; ++i) std::memcpy(&v[i * 10], &patterns[i], 4);
    v[5] = NAN;
    v[999] = INFINITY;
    EXPECT_EQ(sample_invalid_values(v.data(), v.size()).invalid, 5u);
    v[1000] = -NAN;
    EXPECT_EQ(sample_invalid_values(v.data(), v.size()).invalid, 6u);
}

TEST(WriterBatches, RowsPerBatch) {
    EXPECT_EQ(batch_rows(128, 1'000'000), 8192u);
    EXPECT_EQ(batch_rows(1279, 1'000'000), 8192u);
    EXPECT_EQ(batch_rows(1280, 1'000'000), 8192u);
    EXPECT_EQ(batch_rows(2048, 1'000'000), 4096u);
    EXPECT_EQ(batch_rows(3072, 1'000'000), 2730u);
    EXPECT_EQ(batch_rows(9216, 1'000'000), 1000u);  // 8192 / 9 raised to 1000
    EXPECT_EQ(batch_rows(10000, 1'000'000), 1000u);
    EXPECT_EQ(batch_rows(10000, 10), 10u);
    EXPECT_EQ(batch_rows(16, 1), 1u);
}

TEST(WriterNames, MetricTable) {
    EXPECT_EQ(metric_from_lowercase_name("normalized-cosine"), rivezor::Metric::cosine);
    EXPECT_EQ(metric_from_lowercase_name("dot_product"), rivezor::Metric::dot);
    EXPECT_EQ(metric_from_lowercase_name("euclidian"), rivezor::Metric::euclidean);
    for (std::string_view bad : {std::string_view("COSINE"), std::string_view(""), std::string_view("cosine\0", 7),
                                 std::string_view("l2 "), std::string_view("dot-product")})
        EXPECT_FALSE(metric_from_lowercase_name(bad).has_value()) << bad;
}

TEST(WriterNames, BaseNameChecksOnRawBytes) {
    EXPECT_TRUE(base_name_acceptable("a b"));
    EXPECT_TRUE(base_name_acceptable("\xE2\x80\x83x"));  // em space then x
    EXPECT_FALSE(base_name_acceptable("\xE2\x80\x83\xE3\x80\x80"));
    // Malformed bytes never pass for white space or letters, and never hide a separator.
    EXPECT_TRUE(base_name_acceptable("\xC3"));
    EXPECT_FALSE(base_name_acceptable("\xC3/"));
    EXPECT_EQ(clean_base_name("\xC3\x28x\xF0\x9F"), "x");  // stray bytes and '(' dropped
}

TEST(WriterNames, CodePointClasses) {
    EXPECT_TRUE(is_alphanumeric(U'a'));
    EXPECT_FALSE(is_alphanumeric(0x10FFFF));
    EXPECT_TRUE(is_alphanumeric(0x0345));   // combining ypogegrammeni: Other_Alphabetic
    EXPECT_TRUE(is_alphanumeric(0x1D7CE));  // mathematical bold digit zero: Nd
    EXPECT_TRUE(is_alphanumeric(0x20000));  // CJK extension B
    EXPECT_FALSE(is_alphanumeric(0x0301));
    EXPECT_FALSE(is_alphanumeric(U'_'));
    EXPECT_FALSE(is_white_space(0x180E));  // no longer a space since Unicode 6.3
    EXPECT_FALSE(is_white_space(0x200B));
    EXPECT_FALSE(is_white_space(0x1C));
    EXPECT_TRUE(is_white_space(0x85));
}

TEST(WriterNames, JoinPath) {
    EXPECT_EQ(join_path("", "a.bin"), "a.bin");
    EXPECT_EQ(join_path("/", "a.bin"), "/a.bin");
    EXPECT_EQ(join_path("d", "a.bin"), "d/a.bin");
    EXPECT_EQ(join_path("d/", "a.bin"), "d/a.bin");
}

float length_of(const std::vector<float>& v) {
    double sum = 0.0;
    for (float f : v) sum += static_cast<double>(f) * f;
    return static_cast<float>(std::sqrt(sum));
}

TEST(WriterNormalise, RowsFloat32CannotMeasureStillGetUnitLength) {
    const float max = FLT_MAX, sub = std::numeric_limits<float>::denorm_min();
    const std::vector<std::vector<float>> rows = {
        {max, max, max, max, max, max, max, max, max},
        {1e20f, -1e20f, 1e20f},
        {1e-25f, 0.0f, -1e-25f, 1e-25f, 0.0f, 0.0f, 0.0f, 0.0f, 1e-25f},
        {sub},
        {sub, -sub, 3 * sub},
        {3e-23f, 0.0f},  // subnormal sum of squares: the float32 path would give length ~0.53
    };
    for (const auto& row : rows) {
        std::vector<float> out(row.size(), -1.0f);
        normalize_row_f32(row.data(), out.data(), row.size());
        EXPECT_NEAR(length_of(out), 1.0f, 1e-6f) << row[0];
        for (std::size_t i = 0; i < row.size(); ++i) EXPECT_EQ(std::signbit(out[i]), std::signbit(row[i]));
    }
}

TEST(WriterNormalise, NonFiniteAndZeroRowsBecomePositiveZeros) {
    const std::vector<std::vector<float>> rows = {
        {-0.0f, -0.0f, 0.0f}, {0.0f}, {NAN, 1.0f}, {1.0f, INFINITY}, {-INFINITY, FLT_MAX, FLT_MAX}, {1e-30f, NAN},
        std::vector<float>(17, -0.0f)};
    for (const auto& row : rows) {
        std::vector<float> out(row.size(), -1.0f);
        normalize_row_f32(row.data(), out.data(), row.size());
        for (float f : out) EXPECT_EQ(std::bit_cast<std::uint32_t>(f), 0u);
    }
}

TEST(WriterNormalise, SumOfSquaresOrder) {
    // 2^24 + 1 + 1 + ...: the order of additions decides which ones vanish.
    std::vector<float> row(10, 1.0f);
    row[0] = 4096.0f;  // square 2^24
    // Group of eight: a = ((2^24 + 1) + 1) + 1 = 2^24 (each +1 rounds away), b = 4, a + b = 2^24 + 4;
    // then the tail adds 1 twice, each lost again.
    EXPECT_EQ(sum_of_squares_f32(row.data(), row.size()), 16777220.0f);
    // Below eight components every square is added in turn.
    EXPECT_EQ(sum_of_squares_f32(row.data(), 7), 16777216.0f);
}

TEST(WriterFiles, WritesHeaderAndBodyAndReplacesAtomically) {
    const std::string dir = temp_dir();
    std::vector<float> values = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
    PrepareRequest req;
    req.values = values.data();
    req.count = values.size();
    req.metric = rivezor::Metric::euclidean;
    req.dims = 3;
    req.rows = 2;
    req.base_name = "t";
    req.level = "f64";
    req.output_dir = dir;
    const auto first = prepare_index(req);
    ASSERT_TRUE(first.ok()) << first.error();
    EXPECT_EQ(first.value(), dir + "/t_f64.bin");
    std::ifstream in(first.value(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 12u + 24u);
    const unsigned char header[12] = {3, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes.data(), header, 12), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 12, values.data(), 24), 0);
    ::unlink(first.value().c_str());
    ::rmdir(dir.c_str());
}

}  // namespace

namespace {

bool page_mapped(const void* p) {
    unsigned char vec = 0;
    void* page = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t(4095));
    return ::mincore(page, 4096, &vec) == 0;  // ENOMEM once the range is unmapped
}

// The working copy is filled in parallel pieces and handed back from the front in whole
// 2 MiB units; whatever is still to be written must stay intact and mapped.
TEST(WorkingCopyTest, ParallelFillAndReleaseFromTheFront) {
    const std::uint64_t count = (std::uint64_t{9} << 20) / 4 + 12345;  // past the parallel threshold, odd tail
    std::vector<float> source(count);
    for (std::uint64_t i = 0; i < count; ++i) source[i] = static_cast<float>(i % 100003) * 0.5f;
    rivezor::runtime::WorkerPool::get_or_create();  // copies go parallel only on an existing pool
    WorkingCopy copy;
    ASSERT_TRUE(copy.allocate(count));
    copy.fill(source.data(), count);
    ASSERT_EQ(std::memcmp(copy.data(), source.data(), count * sizeof(float)), 0);

    const float* data = copy.data();
    const auto base = reinterpret_cast<std::uintptr_t>(data);
    std::uint64_t released = 0;
    for (const std::uint64_t upto : {std::uint64_t{1000}, count / 3, count / 3, count / 2 + 7, count - 1}) {
        copy.release_prefix(upto);
        released = std::max(released, upto);
        const std::uintptr_t freed_end = (base + released * sizeof(float)) & ~((std::uintptr_t{1} << 21) - 1);
        // Not yet consumed values are untouched.
        ASSERT_EQ(std::memcmp(data + released, source.data() + released, (count - released) * sizeof(float)), 0);
        // Consumed pages below the last whole 2 MiB boundary are gone; the one holding the
        // next value is not.
        if (freed_end > base) {
            EXPECT_FALSE(page_mapped(reinterpret_cast<const void*>(freed_end - 4096)));
        }
        EXPECT_TRUE(page_mapped(data + released));
    }
    copy.release();
    EXPECT_EQ(copy.data(), nullptr);
}

}  // namespace
