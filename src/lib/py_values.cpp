// Builders of the result dictionaries' shared parts and of the NumPy hit arrays; the scalar
// and list builders are templates in the header.
#include "lib/numpy_api.hpp"

#include "lib/py_values.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "core/messages.hpp"

namespace rivezor::py {

Dict& Dict::set_engine_description(const SearchEngine& engine) {
    return set("metric", engine.metric_name())
        .set("normalized", engine.normalized())
        .set("dims", engine.dims())
        .set("rows", engine.rows())
        .set("index_path", engine.index_path());
}

namespace {

constexpr const char* kBufferCapsuleName = "rivezor.buffer";

struct FreeBuffer {
    void operator()(void* buffer) const { std::free(buffer); }
};
using Buffer = std::unique_ptr<void, FreeBuffer>;

// At least one element, so that an empty answer still has a buffer to hand over.
Buffer allocate_buffer(std::size_t count, std::size_t element_size) {
    Buffer buffer(std::malloc(std::max<std::size_t>(count, 1) * element_size));
    if (!buffer) throw std::bad_alloc();
    return buffer;
}

void free_capsule_buffer(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, kBufferCapsuleName)); }

// A NumPy array over `buffer` that takes it over: a capsule of ours becomes the array's base
// and frees the buffer when the array goes.
Ref array_taking_over(Buffer buffer, int rank, npy_intp* dims, int type_num) {
    Ref capsule = Ref::checked(PyCapsule_New(buffer.get(), kBufferCapsuleName, free_capsule_buffer));
    void* data = buffer.release();
    Ref array = Ref::checked(PyArray_SimpleNewFromData(rank, dims, type_num, data));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) != 0)
        throw PythonErrorSet{};
    return array;
}

}  // namespace

HitArrays hit_arrays(std::span<const QueryOutcome> outcomes, int rank) {
    const std::size_t n = outcomes.size();
    const std::size_t m = n == 0 ? 0 : outcomes[0].hits.size();
    Buffer indices = allocate_buffer(n * m, sizeof(npy_uint64));
    Buffer scores = allocate_buffer(n * m, sizeof(float));
    auto* index_out = static_cast<npy_uint64*>(indices.get());
    auto* score_out = static_cast<float*>(scores.get());
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<Hit>& hits = outcomes[i].hits;
        if (hits.size() != m) {
            PyErr_SetString(PyExc_ValueError, msg::invalid_length(hits.size(), m).c_str());
            throw PythonErrorSet{};
        }
        for (std::size_t j = 0; j < m; ++j) {
            index_out[i * m + j] = hits[j].idx;
            score_out[i * m + j] = hits[j].score;
        }
    }
    npy_intp shape[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(m)};
    npy_intp* dims = rank == 1 ? shape + 1 : shape;
    return HitArrays{array_taking_over(std::move(indices), rank, dims, NPY_UINT64),
                     array_taking_over(std::move(scores), rank, dims, NPY_FLOAT32)};
}

}  // namespace rivezor::py
