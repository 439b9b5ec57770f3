// The opened index: a read-only mapping of the file plus the state derived once at open
// (row norms, dimension blocks, optional block norms, fingerprint). Immutable and shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/file_handles.hpp"
#include "core/metric.hpp"
#include "core/result.hpp"
#include "engine/fingerprint.hpp"

namespace rivezor {

// What identifies the contents of an open file without reading it: its size and the time of
// its last modification, at the file system's timestamp resolution.
struct FileStamp {
    std::int64_t size;
    std::int64_t mtime_sec;
    std::int64_t mtime_nsec;
    bool operator==(const FileStamp&) const = default;
};

struct DimBlock {
    std::size_t start;
    std::size_t end;
};

// A partition of [0, dims) into blocks of one width, computed on demand: a header may declare
// billions of dimensions over an empty matrix, and its partition must cost nothing.
class DimBlocks {
public:
    DimBlocks() = default;
    DimBlocks(std::size_t dims, std::size_t block_size) : dims_(dims), block_size_(block_size) {}
    // Written so that no width, up to 2^64 - 1 from a caller, can wrap around.
    std::size_t size() const { return block_size_ == 0 ? 0 : dims_ / block_size_ + (dims_ % block_size_ != 0); }
    bool empty() const { return size() == 0; }
    DimBlock operator[](std::size_t b) const {
        const std::size_t start = b * block_size_;
        return {start, block_size_ < dims_ - start ? start + block_size_ : dims_};
    }

private:
    std::size_t dims_ = 0;
    std::size_t block_size_ = 0;
};

class SearchEngine {
public:
    ~SearchEngine();
    SearchEngine(const SearchEngine&) = delete;
    SearchEngine& operator=(const SearchEngine&) = delete;

    std::uint32_t dims() const { return dims_; }
    std::uint32_t rows() const { return rows_; }
    Metric metric() const { return metric_; }
    const char* metric_name() const { return rivezor::metric_name(metric_); }
    bool normalized() const { return stores_normalized_rows(metric_); }

    // Row i starts at data() + i * dims(); the pointer is into the mapping.
    const float* data() const { return data_; }
    const float* row(std::size_t i) const { return data_ + i * static_cast<std::size_t>(dims_); }

    // One entry per row. Zero-width rows all have norm 0: their arrays are then read-only
    // zero pages, so a 12-byte header declaring billions of rows costs no memory.
    std::span<const double> row_norms_sq() const { return {row_norms_sq_ptr_, rows_}; }
    std::span<const float> row_norms() const { return {row_norms_ptr_, rows_}; }
    std::uint32_t block_size() const { return block_size_; }
    DimBlocks dim_blocks() const { return DimBlocks(dims_, block_size_); }
    bool has_block_norms() const { return has_block_norms_; }
    // Entry (i, b) at i * dim_blocks().size() + b; empty when absent.
    const std::vector<double>& block_norms_sq() const { return block_norms_sq_; }

    const Digest& index_digest() const { return index_hash_; }
    std::string index_hash_hex() const { return hex_digest(index_hash_); }
    const std::string& index_path() const { return index_path_; }
    std::size_t mapped_length() const { return map_.size(); }

    // Every search calls this first. The mapping shows the file's current bytes: a file cut
    // shorter would fault (SIGBUS) on the first row read past its end, and one rewritten in
    // place would be searched with a fingerprint that no longer describes it. One fstat of
    // the descriptor kept since the open compares its size and modification time with
    // those seen then; the message says to open the file again. A file replaced by rename
    // is a new file: the descriptor still names the old one, which stays valid and unchanged.
    Result<bool> check_file_unchanged() const;

    friend Result<std::shared_ptr<const SearchEngine>> open_engine(const std::string& bin_path, bool ann);

private:
    SearchEngine() = default;
    // The steps of open_engine after the header is checked.
    void allocate_norms();
    void derive_norms_and_fingerprint();

    UniqueFd file_;
    FileStamp opened_stamp_{};
    Mapping map_;
    const float* data_ = nullptr;
    std::uint32_t dims_ = 0;
    std::uint32_t rows_ = 0;
    Metric metric_ = Metric::cosine;
    std::vector<double> row_norms_sq_;
    std::vector<float> row_norms_;
    const double* row_norms_sq_ptr_ = nullptr;
    const float* row_norms_ptr_ = nullptr;
    Mapping zero_norms_;
    std::uint32_t block_size_ = 16;
    bool has_block_norms_ = false;
    std::vector<double> block_norms_sq_;
    Digest index_hash_{};
    std::string index_path_;
};

using EngineRef = std::shared_ptr<const SearchEngine>;

// Opens and maps an index file; `ann` is accepted for compatibility and changes nothing.
Result<EngineRef> open_engine(const std::string& bin_path, bool ann);

// Block width by index shape.
std::uint32_t choose_block_size(std::uint64_t rows, std::uint64_t dims);

}  // namespace rivezor
