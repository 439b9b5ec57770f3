// The batch methods of PySearchEngine: a 2-D float32 matrix of queries in, a list of results
// (plain or full) or a dictionary of 2-D arrays out. The interpreter lock stays held throughout.
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/methods.hpp"
#include "lib/py_ref.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/batch_shape.hpp"
#include "core/messages.hpp"
#include "engine/batch.hpp"
#include "engine/fingerprint.hpp"

namespace rivezor::py {
namespace {

struct BatchCall {
    PyArrayObject* queries = nullptr;  // borrowed from the call's arguments
    std::uint64_t k = 0;
    std::uint64_t count = 0;  // element count t
    std::uint64_t width = 0;  // row width w
    const float* data = nullptr;
    std::vector<float> scratch;
};

bool bind_batch_call(const char* callable, PyObject* args, PyObject* kwargs, BatchCall& call) {
    static const char* const names[] = {"queries", "k"};
    PyObject* argv[2];
    if (!bind_arguments(callable, args, kwargs, names, 2, 2, argv)) return false;
    if (!to_float32_array(argv[0], "queries", 2, &call.queries)) return false;
    if (!to_u64(argv[1], "k", &call.k)) return false;
    if (!require_c_contiguous(call.queries)) return false;
    call.count = static_cast<std::uint64_t>(PyArray_SIZE(call.queries));
    call.width = static_cast<std::uint64_t>(PyArray_DIM(call.queries, 1));
    return guard_engine_call([&] { call.data = float_data(call.queries, call.scratch); });
}

// Runs the batch search; nullopt with a Python exception set on failure.
std::optional<std::vector<QueryOutcome>> run_batch(PyObject* self, const BatchCall& call) {
    Result<std::vector<QueryOutcome>> found = fail("");
    if (!guard_engine_call([&] { found = search_batch(engine_of(self), call.data, call.count, call.width, call.k); }))
        return std::nullopt;
    if (!found) {
        raise_engine_error(found.error());
        return std::nullopt;
    }
    return std::move(found).value();
}

PyObject* results_list(std::vector<QueryOutcome>& outcomes, const SearchEngine* engine, const BatchCall& call) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        std::optional<FullInfo> full;
        if (engine != nullptr &&
            !guard_engine_call([&] {
                full = full_info(*engine, query_fingerprint_hex(call.data + i * call.width,
                                                                static_cast<std::size_t>(call.width)));
            }))
            return nullptr;
        PyObject* result = make_query_result(std::move(outcomes[i]), std::move(full));
        if (result == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), result);
    }
    return list.release();
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// An (n, m) array of one field of every hit; every outcome must hold exactly m hits.
template <class T, class Field>
PyObject* hits_matrix(const std::vector<QueryOutcome>& outcomes, std::size_t m, int type_num, Field field) {
    npy_intp shape[2] = {static_cast<npy_intp>(outcomes.size()), static_cast<npy_intp>(m)};
    Ref array = Ref::steal(PyArray_SimpleNew(2, shape, type_num));
    if (!array) return nullptr;
    T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const std::vector<Hit>& hits = outcomes[i].hits;
        if (hits.size() != m) {
            PyErr_SetString(PyExc_ValueError, msg::invalid_length(hits.size(), m).c_str());
            return nullptr;
        }
        for (std::size_t j = 0; j < m; ++j) out[i * m + j] = field(hits[j]);
    }
    return array.release();
}

PyObject* arrays_dict(const std::vector<QueryOutcome>& outcomes, const SearchEngine& engine) {
    const std::size_t n = outcomes.size();
    const std::size_t m = n == 0 ? 0 : outcomes[0].hits.size();
    Ref indices = Ref::steal(
        hits_matrix<npy_uint64>(outcomes, m, NPY_UINT64, [](const Hit& h) { return static_cast<npy_uint64>(h.idx); }));
    if (!indices) return nullptr;
    Ref scores = Ref::steal(hits_matrix<float>(outcomes, m, NPY_FLOAT32, [](const Hit& h) { return h.score; }));
    if (!scores) return nullptr;

    npy_intp length = static_cast<npy_intp>(n);
    Ref times = Ref::steal(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
    if (!times) return nullptr;
    double* time_out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(times.get())));
    Ref methods = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!methods) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        time_out[i] = outcomes[i].query_time_ms;
        PyObject* name = text(outcomes[i].method_used);
        if (name == nullptr) return nullptr;
        PyList_SetItem(methods.get(), static_cast<Py_ssize_t>(i), name);
    }

    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!set_item(dict.get(), "indices", indices.release()) || !set_item(dict.get(), "scores", scores.release()) ||
        !set_item(dict.get(), "query_time_ms", times.release()) ||
        !set_item(dict.get(), "method_used", methods.release()) ||
        !set_item(dict.get(), "metric", PyUnicode_FromString(engine.metric_name())) ||
        !set_item(dict.get(), "normalized", PyBool_FromLong(engine.normalized())) ||
        !set_item(dict.get(), "dims", PyLong_FromUnsignedLongLong(engine.dims())) ||
        !set_item(dict.get(), "rows", PyLong_FromUnsignedLongLong(engine.rows())) ||
        !set_item(dict.get(), "index_path", text(engine.index_path())))
        return nullptr;
    return dict.release();
}

}  // namespace

PyObject* engine_query_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    BatchCall call;
    if (!bind_batch_call("PySearchEngine.query_batch", args, kwargs, call)) return nullptr;
    std::optional<std::vector<QueryOutcome>> outcomes = run_batch(self, call);
    if (!outcomes) return nullptr;
    return results_list(*outcomes, nullptr, call);
}

PyObject* engine_query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    BatchCall call;
    if (!bind_batch_call("PySearchEngine.query_batch_arrays", args, kwargs, call)) return nullptr;
    std::optional<std::vector<QueryOutcome>> outcomes = run_batch(self, call);
    if (!outcomes) return nullptr;
    return arrays_dict(*outcomes, engine_of(self));
}

PyObject* engine_query_batch_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
    BatchCall call;
    if (!bind_batch_call("PySearchEngine.query_batch_detailed", args, kwargs, call)) return nullptr;
    const SearchEngine& engine = engine_of(self);
    // The per-row fingerprints below divide by the row width: refuse a width of 0 first.
    if (const std::optional<std::string> bad =
            batch_shape_error(call.count, call.width, engine.dims(), msg::kBatchNoColumns))
        return raise_engine_error(*bad);
    std::optional<std::vector<QueryOutcome>> outcomes = run_batch(self, call);
    if (!outcomes) return nullptr;
    return results_list(*outcomes, &engine, call);
}

}  // namespace rivezor::py
