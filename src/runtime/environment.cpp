// Environment reading and parsing, and the one-time pool configuration from ZARIR_THREADS.
// Writes OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and RAYON_NUM_THREADS to the C environment.
#include "runtime/environment.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "runtime/pool.hpp"

namespace rivezor::runtime {
namespace {

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
        else return false;
        if (i + extra >= n) return false;
        for (std::size_t j = 1; j <= extra; ++j) {
            const unsigned char cc = static_cast<unsigned char>(s[i + j]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not valid text.
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

std::atomic<bool> g_configured{false};

void configure() {
    std::size_t workers;
    const std::optional<std::string> value = env_text("ZARIR_THREADS");
    if (value && !value->empty()) {
        for (const char* name : kExportedThreadVars) ::setenv(name, value->c_str(), 1);
        const std::optional<std::uint64_t> parsed = parse_unsigned_decimal(*value);
        // 0 asks for the default size; an unparsable value means one worker per processor.
        workers = parsed ? static_cast<std::size_t>(*parsed) : logical_processors();
    } else {
        workers = logical_processors();
        const std::string text = std::to_string(workers);
        for (const char* name : kExportedThreadVars) ::setenv(name, text.c_str(), 1);
    }
    WorkerPool::install(workers);
}

}  // namespace

std::optional<std::string> env_text(const char* name) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return std::nullopt;
    std::string text(raw);
    if (!valid_utf8(text)) return std::nullopt;
    return text;
}

std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t logical_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

void ensure_configured() {
    static std::once_flag once;
    std::call_once(once, [] {
        configure();
        g_configured.store(true, std::memory_order_release);
    });
}

bool configuration_done() { return g_configured.load(std::memory_order_acquire); }

}  // namespace rivezor::runtime
