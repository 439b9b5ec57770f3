// query_exact_certified and query_batch_exact_certified: argument conversion, the engine's
// certified search, and the result dictionaries with their nested certificate.
#include "lib/numpy_api.hpp"

#include <string>
#include <vector>

#include "core/batch_shape.hpp"
#include "core/messages.hpp"
#include "core/version.hpp"
#include "engine/certified.hpp"
#include "engine/fingerprint.hpp"
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/entry.hpp"
#include "lib/methods.hpp"
#include "lib/py_values.hpp"

namespace rivezor::py {
namespace {

constexpr std::uint64_t kDefaultBlockSize = 64;

Ref certificate_dict(const CertifiedOutcome& o) {
    return Dict()
        .set("total_candidates", o.total_candidates)
        .set("pruned_candidates", o.pruned_candidates)
        .set("full_evaluated", o.full_evaluated)
        .set("kth_score", o.kth_score)
        .set("bound_rule", o.bound_rule)
        .set("safe", o.safe)
        .set("block_size", o.block_size)
        .set("block_order", o.block_order)
        .set("threshold_evolution", o.threshold_evolution)
        .set("enable_pruning", o.enable_pruning)
        .set("simd_path", o.simd_path)
        .set("compile_flags", o.compile_flags)
        .set("pruned_bound_values", o.pruned_bound_values)
        .set("bound_kind", o.bound_kind)
        .take();
}

Ref certified_dict(const SearchEngine& engine, const CertifiedOutcome& o, const std::string& index_hash,
                   const std::string& query_hash) {
    Ref hits = list_of(o.hits, [](const Hit& hit) { return Dict().set("idx", hit.idx).set("score", hit.score).take(); });
    return Dict()
        .set("results", std::move(hits))
        .set("query_time_ms", o.query_time_ms)
        .set("method_used", o.method_used)
        .set("index_hash", index_hash)
        .set("query_hash", query_hash)
        .set("engine_version", kEngineVersion)
        .set_engine_description(engine)
        .set("certificate", certificate_dict(o))
        .take();
}

struct CertifiedCall {
    PyArrayObject* queries = nullptr;  // borrowed from the call's arguments
    std::uint64_t k = 0;
    std::uint64_t block_size = kDefaultBlockSize;
    bool enable_pruning = true;
};

// Binds and converts (queries, k, block_size=64, enable_pruning=True) for both methods;
// `ndim` is 1 for the single query and 2 for the batch.
CertifiedCall bind_certified_call(const char* callable, const char* array_name, int ndim, PyObject* args,
                                  PyObject* kwargs) {
    const char* const names[] = {array_name, "k", "block_size", "enable_pruning"};
    PyObject* argv[4];
    CertifiedCall call;
    if (!bind_arguments(callable, args, kwargs, names, 4, 2, argv) ||
        !to_float32_array(argv[0], array_name, ndim, &call.queries) || !to_u64(argv[1], "k", &call.k) ||
        (argv[2] != nullptr && !to_u64(argv[2], "block_size", &call.block_size)) ||
        (argv[3] != nullptr && !to_bool(argv[3], "enable_pruning", &call.enable_pruning)) ||
        !require_c_contiguous(call.queries))
        throw PythonErrorSet{};
    return call;
}

}  // namespace

PyObject* engine_query_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
    const CertifiedCall call = bind_certified_call("PySearchEngine.query_exact_certified", "query", 1, args, kwargs);
    const SearchEngine& engine = engine_of(self);
    std::vector<float> scratch;
    const float* values = float_data(call.queries, scratch);
    const auto n = static_cast<std::size_t>(PyArray_SIZE(call.queries));
    const CertifiedOutcome outcome =
        value_or_raise(search_certified(engine, values, n, call.k, call.block_size, call.enable_pruning));
    return certified_dict(engine, outcome, engine.index_hash_hex(), query_fingerprint_hex(values, n)).release();
}

PyObject* engine_query_batch_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
    const CertifiedCall call =
        bind_certified_call("PySearchEngine.query_batch_exact_certified", "queries", 2, args, kwargs);
    const SearchEngine& engine = engine_of(self);
    const auto width = static_cast<std::size_t>(PyArray_DIM(call.queries, 1));
    const auto count = static_cast<std::size_t>(PyArray_SIZE(call.queries));
    if (const std::optional<std::string> bad =
            batch_shape_error(count, width, engine.dims(), msg::kCertifiedBatchNoColumns))
        return raise_engine_error(*bad);
    std::vector<float> scratch;
    const float* values = float_data(call.queries, scratch);
    const std::vector<CertifiedOutcome> outcomes = value_or_raise(
        search_certified_batch(engine, values, count, width, call.k, call.block_size, call.enable_pruning));

    const std::string index_hash = engine.index_hash_hex();
    std::size_t row = 0;
    return list_of(outcomes,
                   [&](const CertifiedOutcome& outcome) {
                       const float* query = values + (row++) * width;
                       return certified_dict(engine, outcome, index_hash, query_fingerprint_hex(query, width));
                   })
        .release();
}

}  // namespace rivezor::py
