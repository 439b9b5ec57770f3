// Builders of the result dictionaries' shared parts and of the NumPy hit arrays; the scalar
// and list builders are templates in the header.
#include "lib/numpy_api.hpp"

#include "lib/py_values.hpp"

#include "core/messages.hpp"

namespace rivezor::py {

Dict& Dict::set_engine_description(const SearchEngine& engine) {
    return set("metric", engine.metric_name())
        .set("normalized", engine.normalized())
        .set("dims", engine.dims())
        .set("rows", engine.rows())
        .set("index_path", engine.index_path());
}

HitArrays hit_arrays(std::span<const QueryOutcome> outcomes, int rank) {
    const std::size_t n = outcomes.size();
    const std::size_t m = n == 0 ? 0 : outcomes[0].hits.size();
    npy_intp shape[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(m)};
    npy_intp* dims = rank == 1 ? shape + 1 : shape;
    HitArrays arrays{Ref::checked(PyArray_SimpleNew(rank, dims, NPY_UINT64)),
                     Ref::checked(PyArray_SimpleNew(rank, dims, NPY_FLOAT32))};
    auto* indices = static_cast<npy_uint64*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arrays.indices.get())));
    auto* scores = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arrays.scores.get())));
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<Hit>& hits = outcomes[i].hits;
        if (hits.size() != m) {
            PyErr_SetString(PyExc_ValueError, msg::invalid_length(hits.size(), m).c_str());
            throw PythonErrorSet{};
        }
        for (std::size_t j = 0; j < m; ++j) {
            indices[i * m + j] = hits[j].idx;
            scores[i * m + j] = hits[j].score;
        }
    }
    return arrays;
}

}  // namespace rivezor::py
