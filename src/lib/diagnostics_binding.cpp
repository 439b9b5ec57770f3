// explain and compare: argument conversion, the engine's per-block breakdowns, and the
// dictionaries that report them with their keys in a fixed order.
#include "lib/numpy_api.hpp"

#include <string>
#include <vector>

#include "engine/diagnostics.hpp"
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/entry.hpp"
#include "lib/methods.hpp"
#include "lib/py_values.hpp"

namespace rivezor::py {
namespace {

// The keys both dictionaries end with, after their own score keys.
Dict& set_breakdown(Dict& d, const BlockBreakdown& b) {
    Ref blocks = list_of(b.blocks, [](const BlockContribution& block) {
        return Dict()
            .set("block_id", block.block_id)
            .set("start", block.start)
            .set("end", block.end)
            .set("contribution", block.contribution)
            .take();
    });
    return d.set("block_size", b.block_size)
        .set("top_blocks", b.top_blocks)
        .set("num_blocks", b.num_blocks)
        .set("dims", b.dims)
        .set("blocks", std::move(blocks))
        .set("residual", b.residual);
}

// The query and the counts named in names[1..N) of a diagnostic call, converted in
// signature order.
template <std::size_t N>
struct DiagnosticCall {
    std::vector<float> scratch;
    const float* values = nullptr;
    std::size_t length = 0;
    std::uint64_t counts[N - 1] = {};
};

template <std::size_t N>
void bind_diagnostic_call(const char* callable, const char* const (&names)[N], PyObject* args, PyObject* kwargs,
                          DiagnosticCall<N>& call) {
    PyObject* argv[N];
    PyArrayObject* query = nullptr;
    if (!bind_arguments(callable, args, kwargs, names, N, N, argv) || !to_float32_array(argv[0], names[0], 1, &query))
        throw PythonErrorSet{};
    for (std::size_t i = 1; i < N; ++i)
        if (!to_u64(argv[i], names[i], &call.counts[i - 1])) throw PythonErrorSet{};
    if (!require_c_contiguous(query)) throw PythonErrorSet{};
    call.values = float_data(query, call.scratch);
    call.length = static_cast<std::size_t>(PyArray_SIZE(query));
}

}  // namespace

PyObject* engine_compare(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"query", "idx_a", "idx_b", "block_size", "top_blocks"};
    DiagnosticCall<5> call;
    bind_diagnostic_call("PySearchEngine.compare", names, args, kwargs, call);
    const std::uint64_t* c = call.counts;
    const Comparison comparison =
        value_or_raise(compare_rows(engine_of(self), call.values, call.length, c[0], c[1], c[2], c[3]));
    Dict d;
    d.set("score_a", comparison.score_a)
        .set("score_b", comparison.score_b)
        .set("delta_score_space", comparison.delta_score_space);
    return set_breakdown(d, comparison.breakdown).take().release();
}

PyObject* engine_explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"query", "idx", "block_size", "top_blocks"};
    DiagnosticCall<4> call;
    bind_diagnostic_call("PySearchEngine.explain", names, args, kwargs, call);
    const std::uint64_t* c = call.counts;
    const Explanation explanation = value_or_raise(explain_row(engine_of(self), call.values, call.length, c[0], c[1], c[2]));
    Dict d;
    d.set("score_total", explanation.score_total);
    return set_breakdown(d, explanation.breakdown).take().release();
}

}  // namespace rivezor::py
