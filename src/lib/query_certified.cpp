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
#include "lib/methods.hpp"
#include "lib/py_ref.hpp"

namespace rivezor::py {
namespace {

constexpr std::uint64_t kDefaultBlockSize = 64;

// Sets dict[key] to a new reference, consuming it even on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* float_list(const std::vector<float>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (v == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

PyObject* index_list(const std::vector<std::uint64_t>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = PyLong_FromUnsignedLongLong(values[i]);
        if (v == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

PyObject* hit_list(const std::vector<Hit>& hits) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        Ref hit = Ref::steal(PyDict_New());
        if (!hit || !put(hit.get(), "idx", PyLong_FromUnsignedLongLong(hits[i].idx)) ||
            !put(hit.get(), "score", PyFloat_FromDouble(static_cast<double>(hits[i].score))))
            return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), hit.release());
    }
    return list.release();
}

PyObject* certificate_dict(const CertifiedOutcome& o) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* c = d.get();
    const bool ok = put(c, "total_candidates", PyLong_FromUnsignedLongLong(o.total_candidates)) &&
                    put(c, "pruned_candidates", PyLong_FromUnsignedLongLong(o.pruned_candidates)) &&
                    put(c, "full_evaluated", PyLong_FromUnsignedLongLong(o.full_evaluated)) &&
                    put(c, "kth_score", PyFloat_FromDouble(static_cast<double>(o.kth_score))) &&
                    put(c, "bound_rule", text(o.bound_rule)) && put(c, "safe", PyBool_FromLong(o.safe)) &&
                    put(c, "block_size", PyLong_FromUnsignedLongLong(o.block_size)) &&
                    put(c, "block_order", index_list(o.block_order)) &&
                    put(c, "threshold_evolution", float_list(o.threshold_evolution)) &&
                    put(c, "enable_pruning", PyBool_FromLong(o.enable_pruning)) &&
                    put(c, "simd_path", text(o.simd_path)) && put(c, "compile_flags", text(o.compile_flags)) &&
                    put(c, "pruned_bound_values", float_list(o.pruned_bound_values)) &&
                    put(c, "bound_kind", text(o.bound_kind));
    return ok ? d.release() : nullptr;
}

PyObject* certified_dict(const SearchEngine& engine, const CertifiedOutcome& o, const std::string& index_hash,
                         const std::string& query_hash) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* r = d.get();
    const bool ok = put(r, "results", hit_list(o.hits)) && put(r, "query_time_ms", PyFloat_FromDouble(o.query_time_ms)) &&
                    put(r, "method_used", text(o.method_used)) && put(r, "index_hash", text(index_hash)) &&
                    put(r, "query_hash", text(query_hash)) && put(r, "engine_version", text(kEngineVersion)) &&
                    put(r, "metric", text(engine.metric_name())) &&
                    put(r, "normalized", PyBool_FromLong(engine.normalized())) &&
                    put(r, "dims", PyLong_FromUnsignedLong(engine.dims())) &&
                    put(r, "rows", PyLong_FromUnsignedLong(engine.rows())) &&
                    put(r, "index_path", text(engine.index_path())) && put(r, "certificate", certificate_dict(o));
    return ok ? d.release() : nullptr;
}

// The optional trailing arguments shared by both certified methods.
bool convert_certified_options(PyObject* block_size_arg, PyObject* pruning_arg, std::uint64_t* block_size,
                               bool* enable_pruning) {
    *block_size = kDefaultBlockSize;
    *enable_pruning = true;
    if (block_size_arg != nullptr && !to_u64(block_size_arg, "block_size", block_size)) return false;
    if (pruning_arg != nullptr && !to_bool(pruning_arg, "enable_pruning", enable_pruning)) return false;
    return true;
}

}  // namespace

PyObject* engine_query_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"query", "k", "block_size", "enable_pruning"};
    PyObject* argv[4];
    if (!bind_arguments("PySearchEngine.query_exact_certified", args, kwargs, names, 4, 2, argv)) return nullptr;
    PyArrayObject* query = nullptr;
    std::uint64_t k = 0, block_size = 0;
    bool enable_pruning = true;
    if (!to_float32_array(argv[0], "query", 1, &query) || !to_u64(argv[1], "k", &k) ||
        !convert_certified_options(argv[2], argv[3], &block_size, &enable_pruning))
        return nullptr;
    const SearchEngine& engine = engine_of(self);
    if (!require_c_contiguous(query)) return nullptr;
    std::vector<float> scratch;
    const float* values = float_data(query, scratch);
    const auto n = static_cast<std::size_t>(PyArray_SIZE(query));

    Result<CertifiedOutcome> outcome = fail("");
    if (!guard_engine_call([&] { outcome = search_certified(engine, values, n, k, block_size, enable_pruning); }))
        return nullptr;
    if (!outcome) return raise_engine_error(outcome.error());
    return certified_dict(engine, outcome.value(), engine.index_hash_hex(), query_fingerprint_hex(values, n));
}

PyObject* engine_query_batch_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"queries", "k", "block_size", "enable_pruning"};
    PyObject* argv[4];
    if (!bind_arguments("PySearchEngine.query_batch_exact_certified", args, kwargs, names, 4, 2, argv))
        return nullptr;
    PyArrayObject* queries = nullptr;
    std::uint64_t k = 0, block_size = 0;
    bool enable_pruning = true;
    if (!to_float32_array(argv[0], "queries", 2, &queries) || !to_u64(argv[1], "k", &k) ||
        !convert_certified_options(argv[2], argv[3], &block_size, &enable_pruning))
        return nullptr;
    const SearchEngine& engine = engine_of(self);
    if (!require_c_contiguous(queries)) return nullptr;
    const auto width = static_cast<std::size_t>(PyArray_DIM(queries, 1));
    const auto count = static_cast<std::size_t>(PyArray_SIZE(queries));
    if (const std::optional<std::string> bad = batch_shape_error(count, width, engine.dims(), msg::kCertifiedBatchNoColumns))
        return raise_engine_error(*bad);
    std::vector<float> scratch;
    const float* values = float_data(queries, scratch);

    Result<std::vector<CertifiedOutcome>> outcomes = fail("");
    if (!guard_engine_call([&] {
            outcomes = search_certified_batch(engine, values, count, width, k, block_size, enable_pruning);
        }))
        return nullptr;
    if (!outcomes) return raise_engine_error(outcomes.error());

    const std::vector<CertifiedOutcome>& all = outcomes.value();
    const std::string index_hash = engine.index_hash_hex();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < all.size(); ++i) {
        PyObject* d = certified_dict(engine, all[i], index_hash, query_fingerprint_hex(values + i * width, width));
        if (d == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d);
    }
    return list.release();
}

}  // namespace rivezor::py
