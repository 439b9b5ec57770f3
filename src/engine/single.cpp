// Single-query exact search: validation, path choice, the five execution paths (row scan,
// chunked scan, blocked and full matrix products, pruned scan) and the reported timing.
#include "engine/single.hpp"

#include <algorithm>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "core/float_bits.hpp"
#include "core/messages.hpp"
#include "engine/block_plan.hpp"
#include "engine/fused_avx2.hpp"
#include "engine/kernels.hpp"
#include "engine/rounding.hpp"
#include "engine/topk.hpp"
#include "engine/work_size.hpp"
#include "runtime/environment.hpp"
#include "runtime/pool.hpp"

namespace rivezor {
namespace {

// Rows scored per kernel call before their scores meet the selection: small enough that
// the scores stay in L1, large enough that the per-call costs are spread thin.
constexpr std::size_t kScoreBatch = 256;

// Up to this many matrix elements (4 MiB of floats, a few hundred microseconds of work at
// most) a row scan runs on the calling thread: waking workers costs about as much as
// it saves and makes small queries' latency depend on the other load of the machine.
constexpr std::size_t kInlineElements = std::size_t{1} << 20;

// A matrix up to this size is likely to stay in the caches between queries; a larger one is
// streamed from memory by every scan, which then prefetches its rows.
constexpr std::size_t kCachedMatrixBytes = std::size_t{32} << 20;

// Best k' of rows [first, last) scored by the pair kernel, unsorted.
std::vector<Hit> scan_rows(const SearchEngine& engine, const float* query, std::size_t first, std::size_t last,
                           std::size_t k_eff, const topk::SharedBest& shared) {
    if (first >= last) return {};
    const Metric metric = engine.metric();
    const std::size_t dims = engine.dims();
    topk::StreamingTopK selector(std::min(k_eff, last - first), higher_is_better(metric), last - first, &shared);
    const bool streaming = static_cast<std::size_t>(engine.rows()) * dims * sizeof(float) > kCachedMatrixBytes;
    float scores_f32[kScoreBatch];
    for (std::size_t r = first; r < last; r += kScoreBatch) {
        const std::size_t n = std::min(kScoreBatch, last - r);
        kernels::score_rows(metric, query, engine.row(r), n, dims, scores_f32, streaming);
        selector.offer(scores_f32, n, r);
    }
    return selector.take();
}

// Runs `ranges` scans in parallel (inline when there is one) and merges them to k'.
template <class RangeOf>
std::vector<Hit> parallel_scan(const SearchEngine& engine, const float* query, std::size_t ranges, std::size_t k_eff,
                               RangeOf range_of) {
    topk::SharedBest shared(k_eff, higher_is_better(engine.metric()));
    runtime::parallel_for(ranges, [&](std::size_t i) {
        const auto [first, last] = range_of(i);
        shared.absorb(scan_rows(engine, query, first, last, k_eff, shared));
    });
    return shared.take();
}

// Row scan: any split serves; pieces are sized so tiny indexes stay on the calling thread.
std::vector<Hit> row_scan(const SearchEngine& engine, const float* query, std::size_t k_eff) {
    const std::size_t rows = engine.rows();
    const std::size_t elements = rows * std::max<std::size_t>(engine.dims(), 1);
    std::size_t pieces = 1;
    if (elements > kInlineElements) {
        // Pieces of at least 1 MiB of rows, up to 16 per worker: the threads' memory bandwidth is
        // uneven on a shared machine, and the last piece's owner finishes alone (1M x 128
        // euclidean, 2 threads: 32 pieces of 16 MiB 1.5-3% faster than 8 of 64 MiB, alternated).
        const std::size_t by_size = std::max<std::size_t>(elements / (kInlineElements / 4), 2);
        pieces = std::min<std::size_t>({by_size, 16 * runtime::pool_size(), rows});
    }
    const std::size_t len = (rows + pieces - 1) / pieces;
    return parallel_scan(engine, query, pieces, k_eff, [&](std::size_t i) {
        const std::size_t first = std::min(i * len, rows);
        return std::pair<std::size_t, std::size_t>{first, std::min(first + len, rows)};
    });
}

std::vector<Hit> chunked_scan(const SearchEngine& engine, const float* query, std::size_t k_eff) {
    const std::size_t rows = engine.rows();
    const std::size_t c = rows_per_work_item(engine.metric(), engine.dims(), rows, runtime::pool_size());
    const std::size_t chunks = (rows + c - 1) / c;
    return parallel_scan(engine, query, chunks, k_eff, [&](std::size_t i) {
        return std::pair<std::size_t, std::size_t>{i * c, std::min(i * c + c, rows)};
    });
}

// Dot products of the query with rows [first, first + n) by the block product, turned into squared
// distances by the norm expansion for euclidean.
void matrix_scores(const SearchEngine& engine, const float* query, std::size_t first, std::size_t n, float* out) {
    const std::size_t dims = engine.dims();
    fused::block_product(query, 1, engine.row(first), n, dims, out);
    if (engine.metric() == Metric::euclidean) {
        const double qq = kernels::sum_squares_f64(query, dims);
        const double* xx = engine.row_norms_sq().data() + first;
        for (std::size_t i = 0; i < n; ++i) out[i] = kernels::l2sq_from_dot(qq, xx[i], out[i]);
    }
}

std::vector<Hit> blocked_matrix(const SearchEngine& engine, const float* query, std::size_t k_eff) {
    const std::size_t rows = engine.rows();
    const std::size_t c = rows_per_work_item(engine.metric(), engine.dims(), rows, runtime::pool_size());
    const std::size_t chunks = (rows + c - 1) / c;
    const bool higher = higher_is_better(engine.metric());
    std::vector<std::vector<Hit>> lists(chunks);
    runtime::parallel_for(chunks, [&](std::size_t i) {
        const std::size_t first = i * c;
        const std::size_t n = std::min(c, rows - first);
        std::vector<float> scores(n);
        matrix_scores(engine, query, first, n, scores.data());
        lists[i] = topk::top_k_of_scores(scores.data(), n, k_eff, higher, first);
    });
    return topk::merge(lists, k_eff, higher);
}

std::vector<Hit> full_matrix(const SearchEngine& engine, const float* query, std::size_t k_eff) {
    const std::size_t rows = engine.rows();
    std::vector<float> scores(rows);
    matrix_scores(engine, query, 0, rows, scores.data());
    return topk::top_k_of_scores(scores.data(), rows, k_eff, higher_is_better(engine.metric()));
}

// Pruned scan (similarity only): a row is dropped as soon as its partial dot product plus
// the Cauchy-Schwarz limit of the blocks not yet visited, plus a slack, falls below the
// worst kept score. Blocks are visited heaviest query energy first so the limit shrinks
// fastest. The slack is 0.0001 unless float32 rounding, which grows with ||q||·||x||, can
// exceed it: then a fixed slack would drop rows of large-magnitude data that belong in the
// top k, and the rounding bound is used instead.
std::vector<Hit> pruned_scan(const SearchEngine& engine, const float* query, std::size_t k_eff) {
    const std::size_t rows = engine.rows();
    const std::size_t dims = engine.dims();
    const DimBlocks blocks = engine.dim_blocks();
    const std::size_t nb = blocks.size();
    const double* row_norms_sq = engine.row_norms_sq().data();
    const double* block_norms_sq = engine.block_norms_sq().data();
    const float* row_norms = engine.row_norms().data();

    const BlockPlan plan = plan_blocks(query, blocks);
    const std::vector<double>& qb = plan.energy;
    const double q_total = plan.total;
    const rounding::PrunedSlack slack_of(dims, nb, plan.widest, q_total);

    topk::BoundedHeap heap(k_eff, true);
    for (std::size_t r = 0; r < rows; ++r) {
        const float* x = engine.row(r);
        if (r < k_eff || heap.size() < k_eff) {
            heap.offer(r, kernels::pair_score(engine.metric(), query, x, dims));
            continue;
        }
        const double worst = static_cast<double>(heap.worst().score);
        const double slack = slack_of.slack(row_norms[r]);
        const double* row_blocks = block_norms_sq + r * nb;
        double xq = 0.0, xx = 0.0, partial = 0.0;
        bool dropped = false;
        for (const std::size_t b : plan.order) {
            const float p = kernels::partial_dot_f32(query, x, blocks[b].start, blocks[b].end);
            xq = xq + qb[b];
            xx = xx + row_blocks[b];
            partial = partial + static_cast<double>(p);
            const double rq = std::max(q_total - xq, 0.0);
            const double rx = std::max(row_norms_sq[r] - xx, 0.0);
            const double bound = std::sqrt(rx) * std::sqrt(rq) + partial + slack;
            if (worst > bound) {
                dropped = true;
                break;
            }
        }
        if (!dropped) heap.offer(r, static_cast<float>(partial));
    }
    return heap.take_sorted();
}

bool pruning_state_usable(const SearchEngine& engine) {
    const std::size_t nb = engine.dim_blocks().size();
    return engine.has_block_norms() && nb > 0 &&
           engine.block_norms_sq().size() == static_cast<std::size_t>(engine.rows()) * nb;
}

double elapsed_ms(std::chrono::steady_clock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    const std::int64_t count = ns.count();
    const double whole_seconds = static_cast<double>(count / 1000000000);
    const double nanos = static_cast<double>(count % 1000000000);
    return (whole_seconds + nanos / 1e9) * 1000.0;
}

}  // namespace

SinglePath choose_single_path(const std::optional<std::string>& mode, Metric metric, std::uint64_t rows,
                              std::uint64_t dims) {
    const bool similarity = is_similarity(metric);
    if (mode) {
        if (*mode == "rayon") return SinglePath::row_scan;
        if (*mode == "pruned")
            return similarity && rows >= 1000000 && dims >= 64 ? SinglePath::pruned : SinglePath::row_scan;
        if (*mode == "blocked" || *mode == "blocked_matrix") return SinglePath::blocked_matrix;
        if (*mode == "matrix_full") return SinglePath::full_matrix;
        if (*mode == "matrix_parallel") return SinglePath::chunked;
    }
    return similarity && dims >= 64 && rows >= 10000 ? SinglePath::chunked : SinglePath::row_scan;
}

namespace {

const char* path_name(SinglePath path) {
    switch (path) {
        case SinglePath::row_scan: return msg::kPathRowScan;
        case SinglePath::chunked: return msg::kPathChunked;
        case SinglePath::blocked_matrix: return msg::kPathBlockedMatrix;
        case SinglePath::full_matrix: return msg::kPathFullMatrix;
        case SinglePath::pruned: break;
    }
    return msg::kPathPruned;
}

// The best k_eff (at least 1) by one path.
std::vector<Hit> hits_by_path(SinglePath path, const SearchEngine& engine, const float* query, std::size_t k_eff) {
    switch (path) {
        case SinglePath::row_scan: return row_scan(engine, query, k_eff);
        case SinglePath::chunked: return chunked_scan(engine, query, k_eff);
        case SinglePath::blocked_matrix: return blocked_matrix(engine, query, k_eff);
        case SinglePath::full_matrix: return full_matrix(engine, query, k_eff);
        case SinglePath::pruned: break;
    }
    return pruned_scan(engine, query, k_eff);
}

// The chosen path for a validated query; throws std::bad_alloc when memory runs out.
QueryOutcome run_path(SinglePath path, const SearchEngine& engine, const float* query, std::size_t k_eff) {
    k_eff = std::min<std::size_t>(k_eff, engine.rows());
    if (path == SinglePath::pruned && !pruning_state_usable(engine)) path = SinglePath::chunked;
    QueryOutcome outcome;
    outcome.method_used = path_name(path);
    // The selections assume at least one hit to keep.
    if (k_eff > 0) outcome.hits = hits_by_path(path, engine, query, k_eff);
    return outcome;
}

// A search that runs out of memory or throws becomes the search's own message, never an abort.
template <class Search>
Result<QueryOutcome> guarded_search(const SearchEngine& engine, Search&& search) {
    try {
        return search();
    } catch (const std::bad_alloc&) {
        return fail(msg::single_out_of_memory(engine.rows()));
    } catch (const std::exception& e) {
        return fail(msg::search_failed(e.what()));
    }
}

}  // namespace

Result<QueryOutcome> run_single_path(SinglePath path, const SearchEngine& engine, const float* query,
                                     std::size_t k_eff) {
    return guarded_search(engine, [&] { return run_path(path, engine, query, k_eff); });
}

SinglePath configured_single_path(const SearchEngine& engine) {
    return choose_single_path(runtime::env_text("ZARIR_SINGLE_MODE"), engine.metric(), engine.rows(), engine.dims());
}

QueryOutcome answer_checked_query(const SearchEngine& engine, const float* query, std::uint64_t k, SinglePath path) {
    if (k == 0 || engine.rows() == 0) {
        QueryOutcome empty;
        empty.method_used = msg::kPathRowScan;
        return empty;
    }
    const auto start = std::chrono::steady_clock::now();
    const std::size_t k_eff = static_cast<std::size_t>(std::min<std::uint64_t>(k, engine.rows()));
    QueryOutcome outcome = run_path(path, engine, query, k_eff);
    outcome.query_time_ms = elapsed_ms(start);
    return outcome;
}

Result<QueryOutcome> search_single(const SearchEngine& engine, const float* query, std::size_t n, std::uint64_t k) {
    if (Result<bool> unchanged = engine.check_file_unchanged(); !unchanged) return fail(unchanged.error());
    if (n != engine.dims()) return fail(msg::query_dimension_mismatch(n, engine.dims()));
    if (!all_finite(query, n)) return fail(msg::kQueryNotFinite);
    if (k == 0 || engine.rows() == 0) return answer_checked_query(engine, query, k, SinglePath::row_scan);
    const SinglePath path = configured_single_path(engine);
    return guarded_search(engine, [&] { return answer_checked_query(engine, query, k, path); });
}

}  // namespace rivezor
