// The writer's private copy of the caller's matrix: one anonymous mapping that asks for
// huge pages, so copying gigabytes costs a few thousand page faults instead of millions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rivezor::prepare {

class WorkingCopy {
public:
    WorkingCopy() = default;
    ~WorkingCopy() { release(); }
    WorkingCopy(WorkingCopy&& other) noexcept;
    WorkingCopy& operator=(WorkingCopy&& other) noexcept;
    WorkingCopy(const WorkingCopy&) = delete;
    WorkingCopy& operator=(const WorkingCopy&) = delete;

    // Room for `count` floats; false (and nothing held) when the system refuses the memory.
    bool allocate(std::uint64_t count);
    void release();
    float* data() const { return data_; }

private:
    float* data_ = nullptr;
    std::size_t bytes_ = 0;
};

}  // namespace rivezor::prepare
