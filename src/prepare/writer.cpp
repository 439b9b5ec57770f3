// Index preparation after the interpreter lock is released: range, name, level and value
// checks in their fixed order, then the temporary file, mapped write, flush and rename.
#include "prepare/writer.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "core/file_handles.hpp"
#include "core/float_bits.hpp"
#include "core/index_format.hpp"
#include "core/messages.hpp"
#include "core/utf8.hpp"
#include "prepare/file_system.hpp"
#include "prepare/normalize.hpp"
#include "prepare/unicode_classes.hpp"
#include "prepare/working_copy.hpp"
#include "runtime/environment.hpp"
#include "runtime/pool.hpp"

namespace rivezor::prepare {
namespace {

std::string format_one_decimal(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::optional<double> level_factor(std::string_view level) {
    if (level == "f8") return 2.5;
    if (level == "f16") return 2.0;
    if (level == "f32") return 1.5;
    if (level == "f64") return 2.0;
    return std::nullopt;
}

// Owns the temporary file until it is renamed into place. On any earlier exit it unmaps,
// closes and deletes it, so a failed preparation leaves neither a stray file nor a changed
// old index.
class TempFile {
public:
    explicit TempFile(std::string path) : path_(std::move(path)) {}
    ~TempFile() {
        map_.reset();
        // Another preparation of the same name may have put its own temporary file there.
        if (fd_ && !committed_ && still_at_path() == 0) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Exclusive: the name was just cleared, so an existing file belongs to a concurrent
    // preparation, and truncating a file someone else has mapped would crash them.
    int create() {
        fd_ = UniqueFd(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        return fd_ ? 0 : errno;
    }
    // Sets the length and reserves the blocks: a full disk shows up here as an error rather
    // than as SIGBUS while the mapping is written.
    int set_length(std::uint64_t length) {
        if (::ftruncate(fd_.get(), static_cast<off_t>(length)) != 0) return errno;
        const int err = ::posix_fallocate(fd_.get(), 0, static_cast<off_t>(length));
        if (err != 0 && err != EOPNOTSUPP && err != ENOSYS) return err;
        return 0;
    }
    int map(std::uint64_t length) {
        if (const int err = Mapping::create(map_, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get()); err != 0)
            return err;
        // Large page-cache folios make filling the file cost a fraction of the page faults;
        // advice only, so a refusal changes nothing.
        (void)::madvise(map_.data(), length, MADV_HUGEPAGE);
        return 0;
    }
    // Starts writing [from, to) to the device without waiting, so the transfer of finished
    // rows overlaps the filling of later ones; the final flush waits for all of it and reports
    // any failure, so a refusal here is ignored.
    void start_writeback(std::uint64_t from, std::uint64_t to) {
        if (to > from)
            (void)::sync_file_range(fd_.get(), static_cast<off_t>(from), static_cast<off_t>(to - from),
                                    SYNC_FILE_RANGE_WRITE);
    }
    int flush() {
        if (::msync(map_.data(), map_.size(), MS_SYNC) != 0) return errno;
        if (::fsync(fd_.get()) != 0) return errno;
        return 0;
    }
    void unmap() { map_.reset(); }
    // 0 when the path still names the file this object created, else an errno value.
    int still_at_path() const {
        struct stat by_path{}, by_fd{};
        if (::stat(path_.c_str(), &by_path) != 0) return errno;
        if (::fstat(fd_.get(), &by_fd) != 0) return errno;
        return by_path.st_dev == by_fd.st_dev && by_path.st_ino == by_fd.st_ino ? 0 : ESTALE;
    }
    void committed() { committed_ = true; }
    unsigned char* data() const { return map_.data(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    UniqueFd fd_;
    bool committed_ = false;
    Mapping map_;
};

// Pages already handed to the device are write-protected again, and a later store into
// one would wait for the transfer and write it twice; finished rows are therefore sent in
// units aligned to 2 MiB (the largest page-cache folio) that no later batch touches. 16 MiB
// units give the device large requests at a few dozen calls per gigabyte.
constexpr std::uint64_t kWritebackUnit = std::uint64_t{16} << 20;

void write_body(const PrepareRequest& req, TempFile& temp, bool normalize) {
    const std::uint64_t dims = req.dims;
    const std::uint64_t batch = batch_rows(dims, req.rows);
    float* body = reinterpret_cast<float*>(temp.data() + format::kHeaderBytes);
    std::uint64_t sent = 0;  // file bytes whose writeback has started
    for (std::uint64_t first = 0; first < req.rows; first += batch) {
        const std::uint64_t n = std::min(batch, req.rows - first);
        const float* src = req.values + first * dims;
        float* dst = body + first * dims;
        if (!normalize) {
            // Parallel too: filling fresh pages of the file costs the kernel more than the
            // copy itself, and that work scales with the threads touching them.
            copy_in_parallel(dst, src, n * dims * sizeof(float));
        } else {
            // Enough pieces to keep every worker busy, few enough that dispatch is cheap.
            const std::size_t pieces = static_cast<std::size_t>(std::min<std::uint64_t>(n, runtime::pool_size() * 4));
            runtime::parallel_for(pieces, [&](std::size_t p) {
                const std::uint64_t lo = n * p / pieces;
                const std::uint64_t hi = n * (p + 1) / pieces;
                for (std::uint64_t r = lo; r < hi; ++r) normalize_row_f32(src + r * dims, dst + r * dims, dims);
            });
        }
        const std::uint64_t written = first + n;
        if (req.working_copy != nullptr) req.working_copy->release_prefix(written * dims);
        const std::uint64_t ready = (format::kHeaderBytes + written * dims * sizeof(float)) / kWritebackUnit * kWritebackUnit;
        temp.start_writeback(sent, ready);
        sent = std::max(sent, ready);
    }
}

// Ranges, then the element count (the array's own extents are not compared), then name,
// level, the invalid-value sample and the size estimate: in this order, as their messages
// are promised. Nothing touches the disk before all of them pass.
Result<bool> check_request(const PrepareRequest& req) {
    if (req.dims < 1 || req.dims > kMaxDims) return fail(msg::invalid_dims(req.dims, kMaxDims));
    if (req.rows < 1 || req.rows > kMaxRows) return fail(msg::invalid_rows(req.rows, kMaxRows));
    const std::uint64_t expected = req.rows * req.dims;
    if (req.count != expected) return fail(msg::shape_mismatch(req.rows, req.dims, expected, req.count));

    if (!base_name_acceptable(req.base_name)) return fail(msg::kInvalidBaseName);
    const std::optional<double> factor = level_factor(req.level);
    if (!factor) return fail(msg::invalid_level(req.level));

    // A strided sample for NaN and infinity; values outside it are not examined.
    const InvalidSample sample = sample_invalid_values(req.values, req.count);
    if (sample.invalid > sample.samples / 100)
        return fail(msg::too_many_invalid(
            sample.invalid, sample.samples,
            format_one_decimal(static_cast<double>(sample.invalid) * 100.0 / static_cast<double>(sample.samples))));

    // The size estimate, enforced only on request.
    const double estimate = static_cast<double>(expected) * 4.0 * *factor;
    if (estimate > kStrictMemoryLimitBytes) {
        const std::optional<std::string> strict = runtime::env_text("ZARIR_STRICT_MEMCHECK");
        if (strict && *strict == "1")
            return fail(msg::insufficient_memory(format_one_decimal(estimate / 1073741824.0), format_one_decimal(8.0)));
    }
    return true;
}

struct IndexPaths {
    std::string parent;      // the directory, as a path library names a parent
    std::string final_path;  // <clean name>_<level>.bin
    std::string temp_path;   // <clean name>_<level>.tmp beside it
};

// The names on disk, and the directory made to exist (with its ancestors) when it cannot be
// queried.
Result<IndexPaths> prepare_paths(const PrepareRequest& req) {
    const std::string clean = clean_base_name(req.base_name);
    if (clean.empty()) return fail(msg::kNoValidCharacters);
    std::string dir;
    if (req.output_dir) {
        dir = *req.output_dir;
        struct stat st{};
        if (!has_nul(dir) && ::stat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return fail(msg::not_a_directory(dir));
    } else {
        const std::optional<std::string> home = home_directory();
        if (!home) return fail(msg::kNoHomeDirectory);
        dir = join_path(join_path(*home, ".zarir"), "indexes");
    }
    const std::string stem = clean + "_" + req.level;
    IndexPaths paths{without_trailing_separators(dir), join_path(dir, stem + ".bin"), join_path(dir, stem + ".tmp")};

    if (!paths.parent.empty()) {
        struct stat st{};
        if (has_nul(paths.parent)) return fail(msg::create_directory_failed(paths.parent, msg::kNulInFileName));
        if (::stat(paths.parent.c_str(), &st) != 0) {
            if (const int err = create_directories(paths.parent); err != 0)
                return fail(msg::create_directory_failed(paths.parent, os_error_text(err)));
        }
    }
    return paths;
}

// A leftover temporary file from an interrupted run (or a symbolic link in its place, which
// must not redirect the write) goes; the existing final file stays in place until the
// complete new one is renamed over it.
Result<bool> remove_leftover_temp(const std::string& temp_path) {
    struct stat st{};
    if (::lstat(temp_path.c_str(), &st) == 0 && ::unlink(temp_path.c_str()) != 0)
        return fail(msg::remove_temp_failed(os_error_text(errno)));
    return true;
}

// The temporary file at its full length, mapped, with the header written.
Result<bool> create_mapped_temp(const PrepareRequest& req, TempFile& temp) {
    const std::uint64_t length = format::kHeaderBytes + 4 * req.rows * req.dims;
    if (const int err = temp.create(); err != 0) return fail(msg::create_file_failed(temp.path(), os_error_text(err)));
    if (const int err = temp.set_length(length); err != 0) return fail(msg::set_length_failed(os_error_text(err)));
    if (const int err = temp.map(length); err != 0) return fail(msg::create_map_failed(os_error_text(err)));
    format::write_header(temp.data(), {static_cast<std::uint32_t>(req.dims), static_cast<std::uint32_t>(req.rows),
                                       metric_id(req.metric)});
    return true;
}

// Flush to the device, then the atomic replacement, then make the rename durable.
Result<std::string> commit_temp(TempFile& temp, const IndexPaths& paths) {
    if (const int err = temp.flush(); err != 0) return fail(msg::flush_failed(os_error_text(err)));
    temp.unmap();
    // Present, and still the file written here: renaming another writer's half-written
    // temporary file over the index would lose data.
    if (const int err = temp.still_at_path(); err != 0)
        return fail(msg::temp_metadata_failed(err == ESTALE ? std::string(msg::kTempReplaced) : os_error_text(err)));
    if (::rename(paths.temp_path.c_str(), paths.final_path.c_str()) != 0)
        return fail(msg::rename_failed(os_error_text(errno)));
    temp.committed();
    sync_directory(paths.parent);
    return paths.final_path;
}

Result<std::string> prepare_checked(const PrepareRequest& req) {
    if (Result<bool> checked = check_request(req); !checked) return fail(checked.error());
    Result<IndexPaths> paths = prepare_paths(req);
    if (!paths) return fail(paths.error());
    if (Result<bool> cleared = remove_leftover_temp(paths.value().temp_path); !cleared) return fail(cleared.error());
    TempFile temp(paths.value().temp_path);
    if (Result<bool> created = create_mapped_temp(req, temp); !created) return fail(created.error());
    write_body(req, temp, req.normalize || stores_normalized_rows(req.metric));
    return commit_temp(temp, paths.value());
}

}  // namespace

std::optional<Metric> metric_from_lowercase_name(std::string_view name) {
    if (name == "cos" || name == "cosine" || name == "norm_cosine" || name == "normalized_cosine" ||
        name == "normalized-cosine")
        return Metric::cosine;
    if (name == "dot" || name == "dotproduct" || name == "dot_product") return Metric::dot;
    if (name == "l2" || name == "euclidean" || name == "euclidian") return Metric::euclidean;
    return std::nullopt;
}

InvalidSample sample_invalid_values(const float* values, std::uint64_t count) {
    if (count == 0) return {0, 0};
    std::uint64_t step = 1;
    if (count >= 101) {
        const std::uint64_t per_mille = count / 1000;
        const std::uint64_t divisor = per_mille >= 101 ? per_mille : 100;
        step = count / divisor;
    }
    const std::uint64_t samples = (count + step - 1) / step;
    std::uint64_t invalid = 0;
    for (std::uint64_t pos = 0; pos < count; pos += step) {
        if (is_non_finite(values[pos])) ++invalid;
    }
    return {invalid, samples};
}

bool base_name_acceptable(std::string_view utf8) {
    // All ten are ASCII, and ASCII bytes never occur inside a multi-byte UTF-8 sequence.
    if (utf8.find_first_of("|<>\"?*:\\./") != std::string_view::npos) return false;
    std::size_t pos = 0;
    while (pos < utf8.size())
        if (!is_white_space(rivezor::utf8::next_code_point(utf8, pos))) return true;
    return false;
}

std::string clean_base_name(std::string_view utf8) {
    std::string clean;
    std::size_t pos = 0;
    while (pos < utf8.size()) {
        const std::size_t start = pos;
        const char32_t cp = rivezor::utf8::next_code_point(utf8, pos);
        if (cp == U'-' || cp == U'_' || is_alphanumeric(cp)) clean.append(utf8.substr(start, pos - start));
    }
    return clean;
}

std::uint64_t batch_rows(std::uint64_t dims, std::uint64_t rows) {
    std::uint64_t batch = 8192;
    if (dims / 256 >= 5) batch = 8192 / (dims / 1024);
    batch = std::max<std::uint64_t>(batch, 1000);
    return std::min(batch, rows);
}


Result<std::string> prepare_index(const PrepareRequest& request) {
    try {
        return prepare_checked(request);
    } catch (const std::bad_alloc&) {
        return fail(msg::kPrepareOutOfMemory);
    } catch (const std::exception& e) {
        return fail(msg::prepare_failed(e.what()));
    }
}

}  // namespace rivezor::prepare
