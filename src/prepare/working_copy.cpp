// Anonymous-mapping storage for the writer's working copy; the memory goes back to the
// system as soon as the preparation ends instead of lingering in the allocator.
#include "prepare/working_copy.hpp"

#include <sys/mman.h>

#include <limits>
#include <utility>

namespace rivezor::prepare {

WorkingCopy::WorkingCopy(WorkingCopy&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

WorkingCopy& WorkingCopy::operator=(WorkingCopy&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

bool WorkingCopy::allocate(std::uint64_t count) {
    release();
    if (count == 0) return true;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(float)) return false;
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(float);
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    // Advice only: without transparent huge pages the copy still works on small pages.
    (void)::madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<float*>(p);
    bytes_ = bytes;
    return true;
}

void WorkingCopy::release() {
    if (data_ != nullptr) ::munmap(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
}

}  // namespace rivezor::prepare
