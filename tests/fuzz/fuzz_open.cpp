// libFuzzer harness of the index reader: each input becomes an index file that is opened,
// and every accepted engine is checked against the bytes it was built from.
//
// Input layout. Byte 0 selects how the file is made from the rest (`tail`):
//   even: the file is `tail`, byte for byte;
//   odd:  the file is a header from tail[0..12) followed by a body whose length is the length
//         the header requires, moved by a signed delta from tail[12], and filled by repeating
//         tail[13..] -- so large well-formed files (block norms, exact and off-by-a-few
//         lengths, trailing bytes) are reachable without megabyte-sized inputs.
#include <blake3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "core/index_format.hpp"

namespace {

// Upper bound of a generated (odd-mode) file; larger requests fall back to the raw tail.
constexpr std::size_t kMaxGenerated = std::size_t{3} << 20;
// The harness's own loops need no coverage feedback, and would dominate the run time with it.
#define HARNESS_ONLY __attribute__((no_sanitize("coverage")))

std::string g_path;
int g_fd = -1;
std::uint64_t g_runs = 0;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "fuzz_open: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void report() {
    std::fprintf(stderr, "fuzz_open: %llu inputs\n", static_cast<unsigned long long>(g_runs));
    if (!g_path.empty()) ::unlink(g_path.c_str());
}

int lowest_free_fd() {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open /dev/null");
    ::close(fd);
    return fd;
}

// A mapping left behind by an engine outlives it in /proc/self/maps under the file's name.
bool file_still_mapped() {
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) die("cannot read /proc/self/maps");
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps) != nullptr)
        found = std::strstr(line, g_path.c_str()) != nullptr;
    std::fclose(maps);
    return found;
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

HARNESS_ONLY float float_at(const std::vector<std::uint8_t>& file, std::size_t element) {
    float v;
    std::memcpy(&v, file.data() + 12 + 4 * element, sizeof v);
    return v;
}

bool same_double(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}
bool same_float(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

std::string decimal(unsigned __int128 v) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return s;
}

HARNESS_ONLY std::vector<std::uint8_t> build_file(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    const std::uint8_t* tail = data + 1;
    const std::size_t n = size - 1;
    if ((data[0] & 1) == 0 || n < 13) return {tail, tail + n};
    const unsigned __int128 required = rivezor::format::required_length(le32(tail + 4), le32(tail));
    const auto delta = static_cast<std::int8_t>(tail[12]);
    const __int128 wanted = static_cast<__int128>(required) + delta;
    if (wanted < 12 || wanted > static_cast<__int128>(kMaxGenerated)) return {tail, tail + n};
    std::vector<std::uint8_t> file(static_cast<std::size_t>(wanted), 0);
    std::memcpy(file.data(), tail, 12);
    // The body repeats the fill pattern: copy it once, then keep doubling what is written.
    const std::size_t body = file.size() - 12;
    std::size_t done = std::min(n - 13, body);
    if (done == 0) return file;
    std::memcpy(file.data() + 12, tail + 13, done);
    while (done < body) {
        const std::size_t chunk = std::min(done, body - done);
        std::memcpy(file.data() + 12 + done, file.data() + 12, chunk);
        done += chunk;
    }
    return file;
}

HARNESS_ONLY void check_engine(const rivezor::SearchEngine& e, const std::vector<std::uint8_t>& file) {
    const std::uint32_t dims = le32(file.data());
    const std::uint32_t rows = le32(file.data() + 4);
    const std::uint32_t metric = le32(file.data() + 8);
    if (e.dims() != dims || e.rows() != rows || rivezor::metric_id(e.metric()) != metric) die("header fields differ");
    if (e.mapped_length() != file.size()) die("mapping length differs from the file length");
    if (rows > 0 && dims > 0 &&
        reinterpret_cast<const std::uint8_t*>(e.data()) + 4 * std::uint64_t{rows} * dims >
            reinterpret_cast<const std::uint8_t*>(e.data()) - 12 + e.mapped_length())
        die("matrix extends past the mapping");

    // Expected derived state, from the input bytes rather than from the mapping.
    std::uint32_t block = 32;
    if (rows >= 250000) block = dims < 768 ? 32 : 64;
    else if (dims < 256) block = 16;
    if (e.block_size() != block) die("block size " + std::to_string(e.block_size()));
    const auto& blocks = e.dim_blocks();
    const std::size_t nblocks = dims == 0 ? 0 : (std::size_t{dims} + block - 1) / block;
    if (blocks.size() != nblocks) die("dimension block count");
    // An empty matrix may declare billions of blocks or rows: check both ends of such lists.
    auto sampled = [](std::size_t i, std::size_t n) { return n <= 8192 || i < 4096 || i >= n - 4096; };
    for (std::size_t b = 0; b < nblocks; b = sampled(b + 1, nblocks) ? b + 1 : nblocks - 4096) {
        const std::size_t start = b * block;
        const std::size_t end = std::min<std::size_t>(start + block, dims);
        if (blocks[b].start != start || blocks[b].end != end) die("dimension block bounds");
    }
    const bool want_block_norms = metric <= 1 && rows >= 10000 && dims >= 64;
    if (e.has_block_norms() != want_block_norms) die("block norms presence");
    if (e.block_norms_sq().size() != (want_block_norms ? std::size_t{rows} * nblocks : 0))
        die("block norms size");
    if (e.row_norms_sq().size() != rows || e.row_norms().size() != rows) die("norm array sizes");

    for (std::size_t i = 0; i < rows; i = dims > 0 || sampled(i + 1, rows) ? i + 1 : rows - 4096) {
        double s = 0.0;
        for (std::size_t b = 0; b < nblocks; ++b) {
            double bs = 0.0;
            for (std::size_t j = blocks[b].start; j < blocks[b].end; ++j) {
                const double x = static_cast<double>(float_at(file, i * dims + j));
                s = s + x * x;
                bs = bs + x * x;
            }
            if (want_block_norms && !same_double(e.block_norms_sq()[i * nblocks + b], bs))
                die("block norm of row " + std::to_string(i));
        }
        if (!same_double(e.row_norms_sq()[i], s)) die("squared norm of row " + std::to_string(i));
        if (!same_float(e.row_norms()[i], std::sqrt(static_cast<float>(s)))) die("norm of row " + std::to_string(i));
        // The engine's own view of the row must be the bytes of the file.
        if (dims > 0 && std::memcmp(e.row(i), file.data() + 12 + 4 * i * dims, 4 * std::size_t{dims}) != 0)
            die("row view differs from the file");
    }

    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, file.data(), file.size());
    std::uint8_t digest[BLAKE3_OUT_LEN];
    blake3_hasher_finalize(&hasher, digest, BLAKE3_OUT_LEN);
    if (std::memcmp(digest, e.index_digest().data(), BLAKE3_OUT_LEN) != 0) die("index digest");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One worker is enough: the reader starts no parallel work, and the pool lives forever.
    ::setenv("ZARIR_THREADS", "1", 0);
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/fuzz_open.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    g_fd = ::mkstemp(buf.data());
    if (g_fd < 0) die("cannot create the scratch file");
    char* real = ::realpath(buf.data(), nullptr);
    if (real == nullptr) die("cannot resolve the scratch file");
    g_path = real;
    std::free(real);
    std::atexit(report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ++g_runs;
    const std::vector<std::uint8_t> file = build_file(data, size);
    const int free_fd = lowest_free_fd();
    if (::ftruncate(g_fd, 0) != 0) die("ftruncate");
    if (!file.empty() && ::pwrite(g_fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()))
        die("pwrite");

    const bool ann = size > 0 && (data[0] & 2) != 0;
    {
        rivezor::Result<rivezor::EngineRef> opened = rivezor::open_engine(g_path, ann);
        if (file.size() < 12) {
            if (opened.ok()) die("a file of " + std::to_string(file.size()) + " bytes was accepted");
        } else {
            const std::uint32_t metric = le32(file.data() + 8);
            const unsigned __int128 required = rivezor::format::required_length(le32(file.data() + 4), le32(file.data()));
            std::string expected_error;
            if (metric > 2)
                expected_error = "Unknown metric id: " + std::to_string(metric);
            else if (file.size() < required)
                expected_error = "File too small: expected " + decimal(required) + " bytes, got " +
                                 std::to_string(file.size());
            if (!expected_error.empty()) {
                if (opened.ok()) die("accepted, expected: " + expected_error);
                if (opened.error() != expected_error) die("message '" + opened.error() + "', expected '" + expected_error + "'");
            } else {
                if (!opened.ok()) die("rejected a well-formed file: " + opened.error());
                check_engine(*opened.value(), file);
                if (opened.value()->index_path() != g_path) die("index path " + opened.value()->index_path());
            }
        }
    }
    // The engine is gone: its descriptor and mapping must be too.
    if (lowest_free_fd() != free_fd) die("a file descriptor was left open");
    if ((g_runs & 63) == 0 && file_still_mapped()) die("a mapping of the index outlived its engine");
    return 0;
}
