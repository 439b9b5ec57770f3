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

#include "prepare/format.hpp"
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
void square_sums(const float* rows_base, std::size_t dims, const std::vector<DimBlock>& blocks,
                 double* row_out, double* block_out) {
    double row_acc[R] = {};
    const float* row_ptr[R];
    for (std::size_t t = 0; t < R; ++t) row_ptr[t] = rows_base + t * dims;
    const std::size_t nblocks = blocks.size();
    for (std::size_t b = 0; b < nblocks; ++b) {
        double block_acc[R] = {};
        for (std::size_t j = blocks[b].start; j < blocks[b].end; ++j) {
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

}  // namespace

SearchEngine::~SearchEngine() {
    if (map_ != nullptr) ::munmap(map_, map_length_);
}

const char* SearchEngine::metric_name() const { return format::metric_name(metric_); }

std::uint32_t choose_block_size(std::uint64_t rows, std::uint64_t dims) {
    if (rows >= 250000 && dims < 768) return 32;
    if (rows >= 250000) return 64;
    if (dims < 256) return 16;
    return 32;
}

std::vector<DimBlock> make_dim_blocks(std::size_t dims, std::size_t block_size) {
    std::vector<DimBlock> blocks;
    if (dims == 0 || block_size == 0) return blocks;
    blocks.reserve((dims + block_size - 1) / block_size);
    for (std::size_t start = 0; start < dims; start += block_size)
        blocks.push_back({start, std::min(start + block_size, dims)});
    return blocks;
}

Result<EngineRef> open_engine(const std::string& bin_path, bool /*ann*/) {
    const int fd = ::open(bin_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("Failed to open file " + bin_path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return fail("Failed to open file " + bin_path + ": " + std::strerror(err));
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return fail("Failed to open file " + bin_path + ": " + std::strerror(EISDIR));
    }

    std::shared_ptr<SearchEngine> engine(new SearchEngine());
    const std::size_t length = static_cast<std::size_t>(st.st_size);
    if (length > 0) {
        // Populating now saves the page faults of the norm and digest passes that follow.
        void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
        if (map == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            return fail(std::string("Failed to mmap file: ") + std::strerror(err));
        }
        engine->map_ = map;
        engine->map_length_ = length;
    }
    ::close(fd);

    runtime::ensure_configured();

    if (length < format::kHeaderBytes)
        return fail("File too short for an index header: expected at least 12 bytes, got " +
                    std::to_string(length));
    const auto* bytes = static_cast<const unsigned char*>(engine->map_);
    const format::Header header = format::read_header(bytes);
    if (header.metric > 2) return fail("Unknown metric id: " + std::to_string(header.metric));
    const unsigned __int128 required = format::required_length(header.rows, header.dims);
    if (static_cast<unsigned __int128>(length) < required)
        return fail("File too small: expected " + u128_to_string(required) + " bytes, got " +
                    std::to_string(length));

    engine->dims_ = header.dims;
    engine->rows_ = header.rows;
    engine->metric_ = static_cast<std::uint8_t>(header.metric);
    engine->data_ = reinterpret_cast<const float*>(bytes + format::kHeaderBytes);

    const std::size_t rows = header.rows;
    const std::size_t dims = header.dims;
    engine->block_size_ = choose_block_size(rows, dims);
    engine->dim_blocks_ = make_dim_blocks(dims, engine->block_size_);
    engine->has_block_norms_ = header.metric <= 1 && rows >= 10000 && dims >= 64;

    engine->row_norms_sq_.assign(rows, 0.0);
    engine->row_norms_.assign(rows, 0.0f);
    const std::size_t nblocks = engine->dim_blocks_.size();
    if (engine->has_block_norms_) engine->block_norms_sq_.assign(rows * nblocks, 0.0);
    double* block_out = engine->has_block_norms_ ? engine->block_norms_sq_.data() : nullptr;
    // Without block norms one block spanning the row keeps the same single pass.
    const std::vector<DimBlock> whole{{0, dims}};
    const std::vector<DimBlock>& pass_blocks = engine->has_block_norms_ ? engine->dim_blocks_ : whole;
    if (dims > 0) {
        constexpr std::size_t kLanes = 8;
        std::size_t r = 0;
        for (; r + kLanes <= rows; r += kLanes)
            square_sums<kLanes>(engine->row(r), dims, pass_blocks, &engine->row_norms_sq_[r],
                                block_out ? block_out + r * nblocks : nullptr);
        for (; r < rows; ++r)
            square_sums<1>(engine->row(r), dims, pass_blocks, &engine->row_norms_sq_[r],
                           block_out ? block_out + r * nblocks : nullptr);
    }
    for (std::size_t r = 0; r < rows; ++r)
        engine->row_norms_[r] = std::sqrt(static_cast<float>(engine->row_norms_sq_[r]));

    engine->index_hash_ = blake3_digest(engine->map_, length);

    char* resolved = ::realpath(bin_path.c_str(), nullptr);
    if (resolved != nullptr) {
        engine->index_path_ = resolved;
        std::free(resolved);
    } else {
        engine->index_path_ = bin_path;
    }
    return EngineRef(std::move(engine));
}

}  // namespace rivezor
