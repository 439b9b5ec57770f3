// Environment reading and parsing, and the one-time pool configuration from ZARIR_THREADS.
// Writes OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and RAYON_NUM_THREADS to the C environment.
#include "runtime/environment.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "core/utf8.hpp"
#include "runtime/pool.hpp"

namespace rivezor::runtime {
namespace {

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
    if (!utf8::is_valid(text)) return std::nullopt;
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
