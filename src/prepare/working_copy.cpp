// Anonymous-mapping storage for the writer's working copy; the memory goes back to the
// system as soon as it has been written out instead of lingering until the call ends.
#include "prepare/working_copy.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "runtime/pool.hpp"

namespace rivezor::prepare {
namespace {

// Huge-page granularity: releasing on these boundaries never splits a huge page of the copy.
constexpr std::size_t kReleaseAlign = std::size_t{1} << 21;
// Below this a copy is cheaper on the calling thread than handing it to the pool.
constexpr std::size_t kParallelCopyBytes = std::size_t{1} << 20;

}  // namespace

void copy_in_parallel(void* to, const void* from, std::size_t bytes) {
    const runtime::WorkerPool* pool = runtime::WorkerPool::existing();
    if (bytes < kParallelCopyBytes || pool == nullptr) {
        if (bytes > 0) std::memcpy(to, from, bytes);
        return;
    }
    // Most of the cost is the kernel providing fresh pages, which scales with the threads
    // touching them; pieces of whole 2 MiB units keep each huge page to one thread.
    auto* dst = static_cast<unsigned char*>(to);
    const auto* src = static_cast<const unsigned char*>(from);
    const std::size_t pieces = std::max<std::size_t>(1, std::min(pool->size() * 4, bytes / kReleaseAlign));
    const std::size_t chunks = (bytes + kReleaseAlign - 1) / kReleaseAlign;
    runtime::parallel_for(pieces, [&](std::size_t p) {
        const std::size_t lo = std::min(bytes, chunks * p / pieces * kReleaseAlign);
        const std::size_t hi = std::min(bytes, chunks * (p + 1) / pieces * kReleaseAlign);
        if (hi > lo) std::memcpy(dst + lo, src + lo, hi - lo);
    });
}

bool WorkingCopy::allocate(std::uint64_t count) {
    release();
    if (count == 0) return true;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(float)) return false;
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(float);
    if (Mapping::create(map_, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1) != 0) return false;
    // Advice only: without transparent huge pages the copy still works on small pages.
    (void)::madvise(map_.data(), bytes, MADV_HUGEPAGE);
    return true;
}

void WorkingCopy::fill(const float* source, std::uint64_t count) {
    copy_in_parallel(map_.data(), source, static_cast<std::size_t>(count) * sizeof(float));
}

void WorkingCopy::release_prefix(std::uint64_t count) {
    if (!map_) return;
    const std::size_t bytes = std::min<std::size_t>(map_.size(), static_cast<std::size_t>(count) * sizeof(float));
    const auto base = reinterpret_cast<std::uintptr_t>(map_.data());
    // Whole huge pages only, measured in addresses: the mapping itself need not start on one.
    const std::uintptr_t end = (base + bytes) & ~(std::uintptr_t{kReleaseAlign} - 1);
    if (end > base) map_.release_front(end - base);
}

}  // namespace rivezor::prepare
