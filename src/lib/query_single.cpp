// The single-query methods of PySearchEngine: query_exact, query_exact_detailed and
// query_exact_arrays, from argument conversion to result objects and owning NumPy arrays.
#include "lib/numpy_api.hpp"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/fingerprint.hpp"
#include "engine/single.hpp"
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/methods.hpp"
#include "lib/py_ref.hpp"

namespace rivezor::py {
namespace {

struct SingleCall {
    EngineRef engine;
    PyArrayObject* query = nullptr;  // borrowed from the call's arguments
    std::uint64_t k = 0;
};

// Steps shared by the three methods: bind, convert, hold the engine, check contiguity.
bool prepare_single(const char* callable, PyObject* self, PyObject* args, PyObject* kwargs, SingleCall& call) {
    static const char* const names[] = {"query", "k"};
    PyObject* argv[2];
    if (!bind_arguments(callable, args, kwargs, names, 2, 2, argv)) return false;
    if (!to_float32_array(argv[0], "query", 1, &call.query) || !to_u64(argv[1], "k", &call.k)) return false;
    // A strong reference for the call: the engine outlives the search even if the Python
    // object were to lose its last reference meanwhile.
    call.engine = *reinterpret_cast<EngineObject*>(self)->engine;
    return require_c_contiguous(call.query);
}

// Runs the search; false with a Python exception set on failure.
bool run_search(const SingleCall& call, const float* data, std::size_t n, QueryOutcome& out) {
    Result<QueryOutcome> result = fail("");
    if (!guard_engine_call([&] { result = search_single(*call.engine, data, n, call.k); })) return false;
    if (!result) {
        raise_engine_error(result.error());
        return false;
    }
    out = std::move(result).value();
    return true;
}

PyObject* single_query(const char* callable, PyObject* self, PyObject* args, PyObject* kwargs, bool detailed) {
    SingleCall call;
    if (!prepare_single(callable, self, args, kwargs, call)) return nullptr;
    std::vector<float> scratch;
    const float* data = float_data(call.query, scratch);
    const auto n = static_cast<std::size_t>(PyArray_SIZE(call.query));
    std::string query_hash;
    if (detailed && !guard_engine_call([&] { query_hash = query_fingerprint_hex(data, n); })) return nullptr;
    QueryOutcome outcome;
    if (!run_search(call, data, n, outcome)) return nullptr;
    std::optional<FullInfo> full;
    if (detailed && !guard_engine_call([&] { full = full_info(*call.engine, std::move(query_hash)); }))
        return nullptr;
    return make_query_result(std::move(outcome), std::move(full));
}

void free_capsule_buffer(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, "rivezor.buffer")); }

// A 1-D array of `count` elements that takes over `buffer` (malloc'ed) and frees it when
// the array goes; on failure the buffer is freed here.
PyObject* owning_array(void* buffer, std::size_t count, int type_num) {
    Ref capsule = Ref::steal(PyCapsule_New(buffer, "rivezor.buffer", free_capsule_buffer));
    if (!capsule) {
        std::free(buffer);
        return nullptr;
    }
    npy_intp dims[1] = {static_cast<npy_intp>(count)};
    Ref array = Ref::steal(PyArray_SimpleNewFromData(1, dims, type_num, buffer));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) != 0)
        return nullptr;
    return array.release();
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

}  // namespace

PyObject* engine_query_exact(PyObject* self, PyObject* args, PyObject* kwargs) {
    return single_query("PySearchEngine.query_exact", self, args, kwargs, false);
}

PyObject* engine_query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
    return single_query("PySearchEngine.query_exact_detailed", self, args, kwargs, true);
}

PyObject* engine_query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    SingleCall call;
    if (!prepare_single("PySearchEngine.query_exact_arrays", self, args, kwargs, call)) return nullptr;
    std::vector<float> scratch;
    const float* data = float_data(call.query, scratch);
    QueryOutcome outcome;
    if (!run_search(call, data, static_cast<std::size_t>(PyArray_SIZE(call.query)), outcome)) return nullptr;

    const std::size_t count = outcome.hits.size();
    // At least one element each so that an empty answer still has a buffer to own.
    auto* indices = static_cast<std::uint64_t*>(std::malloc(std::max<std::size_t>(count, 1) * sizeof(std::uint64_t)));
    auto* scores = static_cast<float*>(std::malloc(std::max<std::size_t>(count, 1) * sizeof(float)));
    if (indices == nullptr || scores == nullptr) {
        std::free(indices);
        std::free(scores);
        return PyErr_NoMemory();
    }
    for (std::size_t i = 0; i < count; ++i) {
        indices[i] = outcome.hits[i].idx;
        scores[i] = outcome.hits[i].score;
    }
    Ref indices_array = Ref::steal(owning_array(indices, count, NPY_UINT64));
    if (!indices_array) {
        std::free(scores);
        return nullptr;
    }
    Ref scores_array = Ref::steal(owning_array(scores, count, NPY_FLOAT32));
    if (!scores_array) return nullptr;

    const SearchEngine& engine = *call.engine;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (PyDict_SetItemString(d, "indices", indices_array.get()) != 0 ||
        PyDict_SetItemString(d, "scores", scores_array.get()) != 0 ||
        !set_item(d, "query_time_ms", PyFloat_FromDouble(outcome.query_time_ms)) ||
        !set_item(d, "method_used", text(outcome.method_used)) ||
        !set_item(d, "index_hash", text(engine.index_hash_hex())) ||
        !set_item(d, "metric", PyUnicode_FromString(engine.metric_name())) ||
        !set_item(d, "normalized", PyBool_FromLong(engine.normalized())) ||
        !set_item(d, "dims", PyLong_FromUnsignedLong(engine.dims())) ||
        !set_item(d, "rows", PyLong_FromUnsignedLong(engine.rows())) ||
        !set_item(d, "index_path", text(engine.index_path())))
        return nullptr;
    return dict.release();
}

}  // namespace rivezor::py
