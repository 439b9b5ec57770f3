// explain and compare: argument conversion, the engine's per-block breakdowns, and the
// dictionaries that report them with their keys in a fixed order.
#include "lib/numpy_api.hpp"

#include <string>
#include <vector>

#include "engine/diagnostics.hpp"
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/methods.hpp"
#include "lib/py_ref.hpp"

namespace rivezor::py {
namespace {

bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* block_list(const std::vector<BlockContribution>& blocks) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !put(d.get(), "block_id", PyLong_FromUnsignedLongLong(blocks[i].block_id)) ||
            !put(d.get(), "start", PyLong_FromUnsignedLongLong(blocks[i].start)) ||
            !put(d.get(), "end", PyLong_FromUnsignedLongLong(blocks[i].end)) ||
            !put(d.get(), "contribution", PyFloat_FromDouble(static_cast<double>(blocks[i].contribution))))
            return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list.release();
}

// The keys both dictionaries end with, after their own score keys.
bool put_breakdown(PyObject* d, const BlockBreakdown& b) {
    return put(d, "block_size", PyLong_FromUnsignedLongLong(b.block_size)) &&
           put(d, "top_blocks", PyLong_FromUnsignedLongLong(b.top_blocks)) &&
           put(d, "num_blocks", PyLong_FromUnsignedLongLong(b.num_blocks)) &&
           put(d, "dims", PyLong_FromUnsignedLongLong(b.dims)) && put(d, "blocks", block_list(b.blocks)) &&
           put(d, "residual", PyFloat_FromDouble(static_cast<double>(b.residual)));
}

// Converts `query` and the count arguments named in names[1..count) in signature order.
bool convert(PyObject** argv, const char* const* names, std::size_t count, PyArrayObject** query,
             std::uint64_t* counts) {
    if (!to_float32_array(argv[0], names[0], 1, query)) return false;
    for (std::size_t i = 1; i < count; ++i)
        if (!to_u64(argv[i], names[i], &counts[i - 1])) return false;
    return true;
}

}  // namespace

PyObject* engine_compare(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"query", "idx_a", "idx_b", "block_size", "top_blocks"};
    PyObject* argv[5];
    if (!bind_arguments("PySearchEngine.compare", args, kwargs, names, 5, 5, argv)) return nullptr;
    PyArrayObject* query = nullptr;
    std::uint64_t counts[4] = {};
    if (!convert(argv, names, 5, &query, counts)) return nullptr;
    const SearchEngine& engine = engine_of(self);
    if (!require_c_contiguous(query)) return nullptr;
    std::vector<float> scratch;
    const float* values = float_data(query, scratch);
    const auto n = static_cast<std::size_t>(PyArray_SIZE(query));

    Result<Comparison> outcome = fail("");
    if (!guard_engine_call([&] { outcome = compare_rows(engine, values, n, counts[0], counts[1], counts[2], counts[3]); }))
        return nullptr;
    if (!outcome) return raise_engine_error(outcome.error());
    const Comparison& c = outcome.value();
    Ref d = Ref::steal(PyDict_New());
    if (!d || !put(d.get(), "score_a", PyFloat_FromDouble(static_cast<double>(c.score_a))) ||
        !put(d.get(), "score_b", PyFloat_FromDouble(static_cast<double>(c.score_b))) ||
        !put(d.get(), "delta_score_space", PyFloat_FromDouble(static_cast<double>(c.delta_score_space))) ||
        !put_breakdown(d.get(), c.breakdown))
        return nullptr;
    return d.release();
}

PyObject* engine_explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"query", "idx", "block_size", "top_blocks"};
    PyObject* argv[4];
    if (!bind_arguments("PySearchEngine.explain", args, kwargs, names, 4, 4, argv)) return nullptr;
    PyArrayObject* query = nullptr;
    std::uint64_t counts[3] = {};
    if (!convert(argv, names, 4, &query, counts)) return nullptr;
    const SearchEngine& engine = engine_of(self);
    if (!require_c_contiguous(query)) return nullptr;
    std::vector<float> scratch;
    const float* values = float_data(query, scratch);
    const auto n = static_cast<std::size_t>(PyArray_SIZE(query));

    Result<Explanation> outcome = fail("");
    if (!guard_engine_call([&] { outcome = explain_row(engine, values, n, counts[0], counts[1], counts[2]); }))
        return nullptr;
    if (!outcome) return raise_engine_error(outcome.error());
    const Explanation& e = outcome.value();
    Ref d = Ref::steal(PyDict_New());
    if (!d || !put(d.get(), "score_total", PyFloat_FromDouble(static_cast<double>(e.score_total))) ||
        !put_breakdown(d.get(), e.breakdown))
        return nullptr;
    return d.release();
}

}  // namespace rivezor::py
