// The writer's private copy of the caller's matrix: one anonymous mapping that asks for
// huge pages, filled in parallel, and handed back to the system piece by piece once written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/file_handles.hpp"

namespace rivezor::prepare {

// memcpy on the worker pool when the copy is large and the pool already exists (a copy never
// brings the pool into being: a preparation without normalization leaves its size to the first
// engine construction).
void copy_in_parallel(void* to, const void* from, std::size_t bytes);

class WorkingCopy {
public:
    WorkingCopy() = default;

    // Room for `count` floats; false (and nothing held) when the system refuses the memory.
    bool allocate(std::uint64_t count);
    // Copies `count` floats from `source` into the copy, on the worker pool when large.
    void fill(const float* source, std::uint64_t count);
    // Gives the memory of the first `count` floats back to the system; they must not be read
    // again. Pages shared with later values stay.
    void release_prefix(std::uint64_t count);
    void release() { map_.reset(); }
    float* data() const { return reinterpret_cast<float*>(map_.data()); }

private:
    Mapping map_;
};

}  // namespace rivezor::prepare
