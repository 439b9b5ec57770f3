// The batch methods of PySearchEngine: a 2-D float32 matrix of queries in, a list of results
// (plain or full) or a dictionary of 2-D arrays out.
#include "lib/numpy_api.hpp"

#include <optional>
#include <string>
#include <vector>

#include "core/batch_shape.hpp"
#include "core/messages.hpp"
#include "engine/batch.hpp"
#include "engine/fingerprint.hpp"
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/entry.hpp"
#include "lib/methods.hpp"
#include "lib/py_values.hpp"

namespace rivezor::py {
namespace {

struct BatchCall {
    std::uint64_t k = 0;
    std::uint64_t count = 0;  // element count t
    std::uint64_t width = 0;  // row width w
    const float* data = nullptr;
    std::vector<float> scratch;
};

void bind_batch_call(const char* callable, PyObject* args, PyObject* kwargs, BatchCall& call) {
    static const char* const names[] = {"queries", "k"};
    PyObject* argv[2];
    PyArrayObject* queries = nullptr;
    if (!bind_arguments(callable, args, kwargs, names, 2, 2, argv) ||
        !to_float32_array(argv[0], "queries", 2, &queries) || !to_u64(argv[1], "k", &call.k) ||
        !require_c_contiguous(queries))
        throw PythonErrorSet{};
    call.count = static_cast<std::uint64_t>(PyArray_SIZE(queries));
    call.width = static_cast<std::uint64_t>(PyArray_DIM(queries, 1));
    call.data = float_data(queries, call.scratch);
}

std::vector<QueryOutcome> run_batch(PyObject* self, const BatchCall& call) {
    return value_or_raise(search_batch(engine_of(self), call.data, call.count, call.width, call.k));
}

// Plain results, or full ones describing `engine` when it is given.
Ref results_list(std::vector<QueryOutcome>& outcomes, const SearchEngine* engine, const BatchCall& call) {
    std::size_t row = 0;
    return list_of(outcomes, [&](QueryOutcome& outcome) {
        std::optional<FullInfo> full;
        if (engine != nullptr)
            full = full_info(*engine, query_fingerprint_hex(call.data + row * call.width,
                                                            static_cast<std::size_t>(call.width)));
        ++row;
        return Ref::checked(make_query_result(std::move(outcome), std::move(full)));
    });
}

Ref arrays_dict(const std::vector<QueryOutcome>& outcomes, const SearchEngine& engine) {
    HitArrays arrays = hit_arrays(outcomes, 2);
    npy_intp length = static_cast<npy_intp>(outcomes.size());
    Ref times = Ref::checked(PyArray_SimpleNew(1, &length, NPY_FLOAT64));
    auto* time_out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(times.get())));
    for (std::size_t i = 0; i < outcomes.size(); ++i) time_out[i] = outcomes[i].query_time_ms;
    Ref methods = list_of(outcomes, [](const QueryOutcome& o) { return py_value(o.method_used); });
    return Dict()
        .set("indices", std::move(arrays.indices))
        .set("scores", std::move(arrays.scores))
        .set("query_time_ms", std::move(times))
        .set("method_used", std::move(methods))
        .set_engine_description(engine)
        .take();
}

}  // namespace

PyObject* engine_query_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    BatchCall call;
    bind_batch_call("PySearchEngine.query_batch", args, kwargs, call);
    std::vector<QueryOutcome> outcomes = run_batch(self, call);
    return results_list(outcomes, nullptr, call).release();
}

PyObject* engine_query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    BatchCall call;
    bind_batch_call("PySearchEngine.query_batch_arrays", args, kwargs, call);
    return arrays_dict(run_batch(self, call), engine_of(self)).release();
}

PyObject* engine_query_batch_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
    BatchCall call;
    bind_batch_call("PySearchEngine.query_batch_detailed", args, kwargs, call);
    const SearchEngine& engine = engine_of(self);
    // The per-row fingerprints below divide by the row width: refuse a width of 0 first.
    if (const std::optional<std::string> bad =
            batch_shape_error(call.count, call.width, engine.dims(), msg::kBatchNoColumns))
        return raise_engine_error(*bad);
    std::vector<QueryOutcome> outcomes = run_batch(self, call);
    return results_list(outcomes, &engine, call).release();
}

}  // namespace rivezor::py
