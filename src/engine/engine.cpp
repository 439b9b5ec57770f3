// Opening an index: map the file read-only, check the header, derive row norms, dimension
// blocks, block norms and the BLAKE3 fingerprint. Every failure releases what it acquired.
#include "engine/engine.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include <immintrin.h>

#include "core/index_format.hpp"
#include "core/messages.hpp"
#include "engine/transpose_avx2.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/environment.hpp"

namespace rivezor {
namespace {

std::string u128_to_string(unsigned __int128 v) {
    if (v == 0) return "0";
    std::string digits;
    while (v > 0) {
        digits.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    }
    return std::string(digits.rbegin(), digits.rend());
}

// Sums of squares in double, each row strictly left to right from zero. R rows advance
// together so their independent chains overlap; the order within a row is unchanged.
template <std::size_t R>
void square_sums(const float* rows_base, std::size_t dims, const DimBlocks& blocks,
                 double* row_out, double* block_out) {
    double row_acc[R] = {};
    const float* row_ptr[R];
    for (std::size_t t = 0; t < R; ++t) row_ptr[t] = rows_base + t * dims;
    const std::size_t nblocks = blocks.size();
    for (std::size_t b = 0; b < nblocks; ++b) {
        double block_acc[R] = {};
        const DimBlock block = blocks[b];
        for (std::size_t j = block.start; j < block.end; ++j) {
            for (std::size_t t = 0; t < R; ++t) {
                const double x = static_cast<double>(row_ptr[t][j]);
                const double sq = x * x;
                row_acc[t] = row_acc[t] + sq;
                block_acc[t] = block_acc[t] + sq;
            }
        }
        if (block_out != nullptr)
            for (std::size_t t = 0; t < R; ++t) block_out[t * nblocks + b] = block_acc[t];
    }
    for (std::size_t t = 0; t < R; ++t) row_out[t] = row_acc[t];
}

// Lane t of every f64x4 accumulator belongs to row t of a group of four. A 4x8 transpose
// turns each column into one f32x4, so each lane sees its row's columns in the same order as
// the scalar loop with the same double operations (no FMA: the target leaves it out), and
// the sums are bit-identical. Two groups of four rows keep two independent add chains busy.
RIVEZOR_TARGET_AVX2 __attribute__((always_inline)) inline void add_square_f64x4_avx2(__m128 x_f32x4, __m256d& row_acc_f64x4, __m256d& block_acc_f64x4) {
    const __m256d x_f64x4 = _mm256_cvtps_pd(x_f32x4);
    const __m256d sq_f64x4 = _mm256_mul_pd(x_f64x4, x_f64x4);
    row_acc_f64x4 = _mm256_add_pd(row_acc_f64x4, sq_f64x4);
    block_acc_f64x4 = _mm256_add_pd(block_acc_f64x4, sq_f64x4);
}

// Rows a..d, columns j..j+7 -> eight f32x4 columns in column order.
RIVEZOR_TARGET_AVX2 __attribute__((always_inline)) inline void transpose_f32_4x8_avx2(const float* a, const float* b, const float* c, const float* d,
                                         std::size_t j, __m128 col_f32x4[8]) {
    __m256 c_f32x8[4];
    transpose_f32_4x4_halves_avx2(_mm256_loadu_ps(a + j), _mm256_loadu_ps(b + j), _mm256_loadu_ps(c + j),
                                  _mm256_loadu_ps(d + j), c_f32x8);
    for (int k = 0; k < 4; ++k) {
        col_f32x4[k] = _mm256_castps256_ps128(c_f32x8[k]);
        col_f32x4[k + 4] = _mm256_extractf128_ps(c_f32x8[k], 1);
    }
}

RIVEZOR_TARGET_AVX2 __attribute__((always_inline)) inline void store_lanes_f64x4_avx2(__m256d v_f64x4, double* out, std::size_t stride) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v_f64x4);
    for (std::size_t t = 0; t < 4; ++t) out[t * stride] = lanes[t];
}

// Eight consecutive rows: the same sums as square_sums<8>.
RIVEZOR_TARGET_AVX2 void square_sums_rows8_f32_avx2(const float* rows_base, std::size_t dims,
                                                                const DimBlocks& blocks,
                                                                double* row_out, double* block_out) {
    const float* p[8];
    for (std::size_t t = 0; t < 8; ++t) p[t] = rows_base + t * dims;
    __m256d row_lo_f64x4 = _mm256_setzero_pd();
    __m256d row_hi_f64x4 = _mm256_setzero_pd();
    const std::size_t nblocks = blocks.size();
    for (std::size_t b = 0; b < nblocks; ++b) {
        __m256d block_lo_f64x4 = _mm256_setzero_pd();
        __m256d block_hi_f64x4 = _mm256_setzero_pd();
        const std::size_t end = blocks[b].end;
        std::size_t j = blocks[b].start;
        for (; j + 8 <= end; j += 8) {
            __m128 lo_f32x4[8];
            __m128 hi_f32x4[8];
            transpose_f32_4x8_avx2(p[0], p[1], p[2], p[3], j, lo_f32x4);
            transpose_f32_4x8_avx2(p[4], p[5], p[6], p[7], j, hi_f32x4);
            for (int k = 0; k < 8; ++k) {
                add_square_f64x4_avx2(lo_f32x4[k], row_lo_f64x4, block_lo_f64x4);
                add_square_f64x4_avx2(hi_f32x4[k], row_hi_f64x4, block_hi_f64x4);
            }
        }
        for (; j < end; ++j) {
            add_square_f64x4_avx2(_mm_setr_ps(p[0][j], p[1][j], p[2][j], p[3][j]), row_lo_f64x4, block_lo_f64x4);
            add_square_f64x4_avx2(_mm_setr_ps(p[4][j], p[5][j], p[6][j], p[7][j]), row_hi_f64x4, block_hi_f64x4);
        }
        if (block_out != nullptr) {
            store_lanes_f64x4_avx2(block_lo_f64x4, block_out + b, nblocks);
            store_lanes_f64x4_avx2(block_hi_f64x4, block_out + 4 * nblocks + b, nblocks);
        }
    }
    _mm256_storeu_pd(row_out, row_lo_f64x4);
    _mm256_storeu_pd(row_out + 4, row_hi_f64x4);
}

#ifdef MADV_POPULATE_READ
constexpr int kMadvisePopulateRead = MADV_POPULATE_READ;
#else
constexpr int kMadvisePopulateRead = 22;  // Linux 5.14; older kernels reject it harmlessly
#endif

constexpr std::size_t kNormLanes = 8;
// Hashing slice of the fused sweep: small enough that its rows are still in L2 when summed.
constexpr std::size_t kHashSlice = std::size_t{256} << 10;

// Rows [first, last): row sums into row_out[r], block sums (when wanted) into
// block_out[r * blocks.size() + b].
void square_sums_rows(const float* data, std::size_t dims, std::size_t first, std::size_t last,
                      const DimBlocks& blocks, double* row_out, double* block_out) {
    const bool use_avx2 = runtime::kernel_simd() == runtime::Simd::avx2;
    const std::size_t nblocks = blocks.size();
    auto block_at = [&](std::size_t r) { return block_out != nullptr ? block_out + r * nblocks : nullptr; };
    std::size_t r = first;
    if (use_avx2)
        for (; r + kNormLanes <= last; r += kNormLanes)
            square_sums_rows8_f32_avx2(data + r * dims, dims, blocks, row_out + r, block_at(r));
    for (; r + kNormLanes <= last; r += kNormLanes)
        square_sums<kNormLanes>(data + r * dims, dims, blocks, row_out + r, block_at(r));
    for (; r < last; ++r) square_sums<1>(data + r * dims, dims, blocks, row_out + r, block_at(r));
}

}  // namespace

SearchEngine::~SearchEngine() = default;

std::uint32_t choose_block_size(std::uint64_t rows, std::uint64_t dims) {
    if (rows >= 250000 && dims < 768) return 32;
    if (rows >= 250000) return 64;
    if (dims < 256) return 16;
    return 32;
}

namespace {

FileStamp stamp_of(const struct stat& st) {
    return FileStamp{static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
                     static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

struct OpenedFile {
    UniqueFd fd;
    struct stat st;
};

// The descriptor and its metadata; directories are refused here, before anything is mapped.
Result<OpenedFile> open_index_file(const std::string& bin_path) {
    OpenedFile file{UniqueFd(::open(bin_path.c_str(), O_RDONLY | O_CLOEXEC)), {}};
    if (!file.fd) return fail(msg::open_failed(bin_path, std::strerror(errno)));
    if (::fstat(file.fd.get(), &file.st) != 0) return fail(msg::open_failed(bin_path, std::strerror(errno)));
    if (S_ISDIR(file.st.st_mode)) return fail(msg::open_failed(bin_path, std::strerror(EISDIR)));
    return file;
}

// The whole file, read-only and shared, so every engine on it shares the page cache.
Result<bool> map_index_file(const OpenedFile& file, Mapping& map) {
    const std::size_t length = static_cast<std::size_t>(file.st.st_size);
    if (const int err = Mapping::create(map, length, PROT_READ, MAP_SHARED, file.fd.get()); err != 0)
        return fail(msg::mmap_failed(std::strerror(err)));
    if (map) {
        // Pages the kernel reads in for this mapping may come as 2 MiB folios mapped whole:
        // a scan then takes one TLB entry per 2 MiB instead of per 4 KiB. Both advices are
        // hints; a kernel without them simply faults 4 KiB pages in on first use.
        (void)::madvise(map.data(), length, MADV_HUGEPAGE);
        // Populating now saves the page faults of the norm and digest passes that follow.
        (void)::madvise(map.data(), length, kMadvisePopulateRead);
    }
    return true;
}

struct CheckedHeader {
    format::Header header;
    Metric metric;
};

// The header's fields against the file length, in the order their messages are promised.
Result<CheckedHeader> check_header(const unsigned char* bytes, std::size_t length) {
    if (length < format::kHeaderBytes) return fail(msg::header_too_short(length));
    const format::Header header = format::read_header(bytes);
    const std::optional<Metric> metric = metric_from_id(header.metric);
    if (!metric) return fail(msg::unknown_metric_id(header.metric));
    const unsigned __int128 required = format::required_length(header.rows, header.dims);
    if (static_cast<unsigned __int128>(length) < required)
        return fail(msg::file_too_small(u128_to_string(required), length));
    return CheckedHeader{header, *metric};
}

std::string resolved_path(const std::string& bin_path) {
    char* resolved = ::realpath(bin_path.c_str(), nullptr);
    if (resolved == nullptr) return bin_path;
    std::string path = resolved;
    std::free(resolved);
    return path;
}

}  // namespace

// Row norm arrays sized for the index: zero pages for zero-width rows, vectors otherwise.
void SearchEngine::allocate_norms() {
    const std::size_t rows = rows_;
    if (dims_ == 0 && rows > 0) {
        // Every norm of a zero-width row is 0: map the arrays as untouched anonymous pages, which
        // read as zeros and take no memory, instead of filling 12 bytes per declared row.
        const std::size_t zero_length = rows * (sizeof(double) + sizeof(float));
        if (Mapping::create(zero_norms_, zero_length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1) != 0)
            throw std::bad_alloc();
        row_norms_sq_ptr_ = reinterpret_cast<const double*>(zero_norms_.data());
        row_norms_ptr_ = reinterpret_cast<const float*>(zero_norms_.data() + rows * sizeof(double));
    } else {
        row_norms_sq_.resize(rows);
        row_norms_.resize(rows);
        row_norms_sq_ptr_ = row_norms_sq_.data();
        row_norms_ptr_ = row_norms_.data();
    }
    if (has_block_norms_) block_norms_sq_.resize(rows * dim_blocks().size());
}

// Norms and fingerprint in one sweep: each slice of the file is hashed, then the rows it
// completes are summed while the slice is still in cache, so the file streams from memory
// once. Rows are taken in groups of eight except at the very end.
void SearchEngine::derive_norms_and_fingerprint() {
    const std::size_t rows = rows_;
    const std::size_t dims = dims_;
    // Without block norms the whole row is the one block.
    const DimBlocks blocks = has_block_norms_ ? dim_blocks() : DimBlocks(dims, dims);
    const std::size_t row_bytes = dims * sizeof(float);
    std::size_t normed = 0;
    auto norm_rows_hashed = [&](std::size_t hashed) {
        if (rows == 0 || dims == 0) return;
        std::size_t ready = hashed <= format::kHeaderBytes ? 0 : (hashed - format::kHeaderBytes) / row_bytes;
        if (ready >= rows)
            ready = rows;
        else
            ready = normed + (ready - normed) / kNormLanes * kNormLanes;
        if (ready <= normed) return;
        square_sums_rows(row(0), dims, normed, ready, blocks, &row_norms_sq_[0],
                         has_block_norms_ ? block_norms_sq_.data() : nullptr);
        for (std::size_t r = normed; r < ready; ++r) row_norms_[r] = std::sqrt(static_cast<float>(row_norms_sq_[r]));
        normed = ready;
    };
    index_hash_ = blake3_digest_stepwise(map_.data(), map_.size(), kHashSlice, norm_rows_hashed);
}

Result<bool> SearchEngine::check_file_unchanged() const {
    struct stat st {};
    // A descriptor that cannot be queried any more says nothing about the file: go on as
    // before rather than refuse a search that may well be sound.
    if (::fstat(file_.get(), &st) != 0) return true;
    if (stamp_of(st) == opened_stamp_) return true;
    return fail(msg::index_file_changed(index_path_));
}

Result<EngineRef> open_engine(const std::string& bin_path, bool /*ann*/) {
    Result<OpenedFile> file = open_index_file(bin_path);
    if (!file) return fail(file.error());
    std::shared_ptr<SearchEngine> engine(new SearchEngine());
    if (Result<bool> mapped = map_index_file(file.value(), engine->map_); !mapped) return fail(mapped.error());
    engine->opened_stamp_ = stamp_of(file.value().st);
    engine->file_ = std::move(file.value().fd);

    runtime::ensure_configured();

    Result<CheckedHeader> checked = check_header(engine->map_.data(), engine->map_.size());
    if (!checked) return fail(checked.error());
    const format::Header& header = checked.value().header;
    engine->dims_ = header.dims;
    engine->rows_ = header.rows;
    engine->metric_ = checked.value().metric;
    engine->data_ = reinterpret_cast<const float*>(engine->map_.data() + format::kHeaderBytes);
    engine->block_size_ = choose_block_size(header.rows, header.dims);
    engine->has_block_norms_ = is_similarity(engine->metric_) && header.rows >= 10000 && header.dims >= 64;

    engine->allocate_norms();
    engine->derive_norms_and_fingerprint();
    engine->index_path_ = resolved_path(bin_path);
    return EngineRef(std::move(engine));
}

}  // namespace rivezor
