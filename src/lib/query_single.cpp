// The single-query methods of PySearchEngine: query_exact, query_exact_detailed and
// query_exact_arrays, from argument conversion to result objects and NumPy arrays.
#include <optional>
#include <vector>

#include "engine/fingerprint.hpp"
#include "engine/single.hpp"
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/entry.hpp"
#include "lib/methods.hpp"
#include "lib/py_values.hpp"

namespace rivezor::py {
namespace {

struct SingleCall {
    EngineRef engine;
    const float* data = nullptr;
    std::size_t length = 0;
    std::vector<float> scratch;
    std::uint64_t k = 0;
};

// Steps shared by the three methods: bind, convert, hold the engine, check contiguity.
void bind_single_call(const char* callable, PyObject* self, PyObject* args, PyObject* kwargs, SingleCall& call) {
    static const char* const names[] = {"query", "k"};
    PyObject* argv[2];
    PyArrayObject* query = nullptr;
    if (!bind_arguments(callable, args, kwargs, names, 2, 2, argv) || !to_float32_array(argv[0], "query", 1, &query) ||
        !to_u64(argv[1], "k", &call.k))
        throw PythonErrorSet{};
    // A strong reference for the call: the engine outlives the search even if the Python
    // object were to lose its last reference meanwhile.
    call.engine = *reinterpret_cast<EngineObject*>(self)->engine;
    if (!require_c_contiguous(query)) throw PythonErrorSet{};
    call.data = float_data(query, call.scratch);
    call.length = static_cast<std::size_t>(PyArray_SIZE(query));
}

QueryOutcome run_search(const SingleCall& call) {
    return value_or_raise(search_single(*call.engine, call.data, call.length, call.k));
}

PyObject* run_single_query(const char* callable, PyObject* self, PyObject* args, PyObject* kwargs, bool detailed) {
    SingleCall call;
    bind_single_call(callable, self, args, kwargs, call);
    std::string query_hash;
    if (detailed) query_hash = query_fingerprint_hex(call.data, call.length);
    QueryOutcome outcome = run_search(call);
    std::optional<FullInfo> full;
    if (detailed) full = full_info(*call.engine, std::move(query_hash));
    return make_query_result(std::move(outcome), std::move(full));
}

}  // namespace

PyObject* engine_query_exact(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_single_query("PySearchEngine.query_exact", self, args, kwargs, false);
}

PyObject* engine_query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_single_query("PySearchEngine.query_exact_detailed", self, args, kwargs, true);
}

PyObject* engine_query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    SingleCall call;
    bind_single_call("PySearchEngine.query_exact_arrays", self, args, kwargs, call);
    const QueryOutcome outcome = run_search(call);
    HitArrays arrays = hit_arrays(std::span<const QueryOutcome>(&outcome, 1), 1);
    const SearchEngine& engine = *call.engine;
    return Dict()
        .set("indices", std::move(arrays.indices))
        .set("scores", std::move(arrays.scores))
        .set("query_time_ms", outcome.query_time_ms)
        .set("method_used", outcome.method_used)
        .set("index_hash", engine.index_hash_hex())
        .set_engine_description(engine)
        .take()
        .release();
}

}  // namespace rivezor::py
