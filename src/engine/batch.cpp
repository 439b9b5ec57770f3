// The four batch paths (per-query, query-blocked matrix, chunked matrix, row-blocked) and
// their shared pieces: score matrices from sgemm, the norm expansion, and the top-k scan.
#include "engine/batch.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "engine/fused_avx2.hpp"
#include "engine/kernels.hpp"
#include "engine/single.hpp"
#include "engine/topk.hpp"
#include "runtime/environment.hpp"
#include "runtime/pool.hpp"

namespace rivezor {
namespace batch {
namespace {

constexpr const char* kPerQueryName = "rayon-optimized";
constexpr const char* kQueryBlockedName = "matrix-full";
constexpr const char* kChunkedName = "matrix-chunked";
constexpr const char* kRowBlockedName = "batch-blocked-exact";

// One heap step with the rejection against the current worst kept score done first: a
// score numerically worse than a finite root can never be strictly better in the total order.
template <bool Higher>
inline void offer_one(topk::BoundedHeap& heap, std::uint64_t idx, float s) {
    if (heap.full()) {
        const float w = heap.worst().score;
        if (Higher ? s < w : s > w) return;
    }
    heap.offer(idx, s);
}

// Streams scores[0..n) through `heap` in increasing offset order. Once the heap is full,
// 16 scores at a time are compared with the root; a group where every score is numerically
// worse (the common case) is skipped whole. NaN compares as "not worse" and reaches the heap,
// which drops it, so the kept hits are exactly those of the plain heap walk.
template <bool Higher>
void scan_into_heap_sse2(topk::BoundedHeap& heap, const float* scores, std::size_t n, std::uint64_t base) {
    std::size_t i = 0;
    for (; i < n && !heap.full(); ++i) heap.offer(base + i, scores[i]);
    if (i == n) return;
    __m128 worst_f32x4 = _mm_set1_ps(heap.worst().score);
    for (; i + 16 <= n; i += 16) {
        const __m128 a = _mm_loadu_ps(scores + i);
        const __m128 b = _mm_loadu_ps(scores + i + 4);
        const __m128 c = _mm_loadu_ps(scores + i + 8);
        const __m128 d = _mm_loadu_ps(scores + i + 12);
        __m128 keep_f32x4;
        if constexpr (Higher) {
            keep_f32x4 = _mm_or_ps(_mm_or_ps(_mm_cmpnlt_ps(a, worst_f32x4), _mm_cmpnlt_ps(b, worst_f32x4)),
                                   _mm_or_ps(_mm_cmpnlt_ps(c, worst_f32x4), _mm_cmpnlt_ps(d, worst_f32x4)));
        } else {
            keep_f32x4 = _mm_or_ps(_mm_or_ps(_mm_cmpngt_ps(a, worst_f32x4), _mm_cmpngt_ps(b, worst_f32x4)),
                                   _mm_or_ps(_mm_cmpngt_ps(c, worst_f32x4), _mm_cmpngt_ps(d, worst_f32x4)));
        }
        if (_mm_movemask_ps(keep_f32x4) == 0) continue;
        for (std::size_t j = i; j < i + 16; ++j) offer_one<Higher>(heap, base + j, scores[j]);
        worst_f32x4 = _mm_set1_ps(heap.worst().score);
    }
    for (; i < n; ++i) offer_one<Higher>(heap, base + i, scores[i]);
}

void scan_into_heap(topk::BoundedHeap& heap, const float* scores, std::size_t n, std::uint64_t base,
                    bool higher_is_better) {
    if (higher_is_better)
        scan_into_heap_sse2<true>(heap, scores, n, base);
    else
        scan_into_heap_sse2<false>(heap, scores, n, base);
}

// Euclidean scores of one query against consecutive rows: qq + xx - 2 dot in double.
void dots_to_l2sq(float* scores, std::size_t n, double qq, const double* xx) {
    for (std::size_t j = 0; j < n; ++j) scores[j] = kernels::l2sq_from_dot(qq, xx[j], scores[j]);
}

std::string score_matrix_error(std::uint64_t a, std::uint64_t b) {
    return "Cannot allocate a score matrix of " + std::to_string(a) + " x " + std::to_string(b) +
           " float32 values";
}

// An uninitialised a x b float matrix, or nullptr when it cannot be had; sgemm overwrites it.
std::unique_ptr<float[]> allocate_scores(std::size_t a, std::size_t b) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(a, b, &count) || count > SIZE_MAX / sizeof(float)) return nullptr;
    return std::unique_ptr<float[]>(new (std::nothrow) float[count]);
}

// Score matrices of one call, handed from a finished block to the next one: the blocks a thread
// runs one after another reuse one matrix instead of paying the page faults and zeroing of a
// fresh allocation of up to hundreds of megabytes each time. Freed with the call.
class ScoreMatrices {
public:
    ScoreMatrices(std::size_t a, std::size_t b) : a_(a), b_(b) {}
    // A matrix of at least a x b floats, or null when it cannot be allocated.
    std::unique_ptr<float[]> take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<float[]> m = std::move(free_.back());
                free_.pop_back();
                return m;
            }
        }
        return allocate_scores(a_, b_);
    }
    void give(std::unique_ptr<float[]> m) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(m));
    }

private:
    std::size_t a_, b_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<float[]>> free_;
};

bool batch_is_finite(const float* values, std::size_t count) {
    // Exponent bits all ones is exactly NaN or infinity; OR-ing a flag keeps the loop branch-free.
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, values + i, sizeof(bits));
        bad |= static_cast<std::uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
    }
    return bad == 0;
}

std::vector<QueryOutcome> empty_outcomes(std::size_t nq, const char* name) {
    std::vector<QueryOutcome> out(nq);
    for (auto& o : out) o.method_used = name;
    return out;
}

// What every matrix path reads: the engine, the queries and the derived per-call values.
struct BatchContext {
    const SearchEngine& engine;
    const float* queries;
    std::size_t nq;
    std::size_t dims;
    std::size_t k_eff;
    bool higher_is_better;
    bool euclidean;
    std::vector<double> query_sq;  // euclidean only: each query's sum of squares
    std::optional<std::string> qblock;
    std::size_t workers;
    bool fused;  // the fused score-and-select kernel instead of sgemm and a score matrix

    const float* query(std::size_t i) const { return queries + i * dims; }
};

// The fused problem's selection: per query a buffer of up to 2k' hits that is cut back to its
// best k' (a partial selection) when full, instead of a heap step per candidate; the k'-th best
// score after a cut is the bar. The total hit order makes the outcome the same best k'.
// With `shared` (one bar per query of the whole batch), problems over other rows lend their
// bars: at least k' hits anywhere reach a bar, so a score worse than it can enter no final list,
// and a row block's list may omit it without changing the merged answer.
class BufferSink final : public fused::Sink {
public:
    BufferSink(std::size_t nq, std::size_t k, bool higher, std::atomic<float>* shared)
        : k_(k), higher_(higher), open_(higher ? -INFINITY : INFINITY), bars_(nq, open_), hits_(nq),
          shared_(shared) {}
    float offer(std::size_t query, std::uint64_t row, float score) override {
        if (!topk::is_finite_score(score)) return bars_[query];
        std::vector<Hit>& hits = hits_[query];
        hits.push_back({row, score});
        if (hits.size() >= 2 * k_) {
            const topk::HitOrder order{higher_};
            std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(k_ - 1), hits.end(), order);
            bars_[query] = hits[k_ - 1].score;
            hits.resize(k_);
            if (shared_ != nullptr) bars_[query] = tighten(shared_[query], bars_[query]);
        }
        return bars_[query];
    }
    // The tighter of the shared bar and `bar`, left in the shared bar.
    float tighten(std::atomic<float>& shared, float bar) const {
        float seen = shared.load(std::memory_order_relaxed);
        while (higher_ ? bar > seen : bar < seen)
            if (shared.compare_exchange_weak(seen, bar, std::memory_order_relaxed)) return bar;
        return seen;
    }
    float open_bar() const { return open_; }
    std::vector<Hit> take(std::size_t query) {
        std::vector<Hit> out = std::move(hits_[query]);
        topk::select_best(out, k_, higher_);
        return out;
    }

private:
    std::size_t k_;
    bool higher_;
    float open_;
    std::vector<float> bars_;
    std::vector<std::vector<Hit>> hits_;
    std::atomic<float>* shared_;
};

// Best k' of each of queries [q_first, q_first + q_count) over rows [start, start + len), by the
// fused kernel instead of a score matrix.
std::vector<std::vector<Hit>> fused_top_k(const BatchContext& c, std::size_t q_first, std::size_t q_count,
                                          std::size_t start, std::size_t len,
                                          std::atomic<float>* shared_bars = nullptr) {
    BufferSink sink(q_count, c.k_eff, c.higher_is_better, shared_bars ? shared_bars + q_first : nullptr);
    std::vector<float> bars(q_count, sink.open_bar());
    if (shared_bars != nullptr)
        for (std::size_t i = 0; i < q_count; ++i) bars[i] = shared_bars[q_first + i].load(std::memory_order_relaxed);
    const fused::Problem problem{c.query(q_first), q_count, c.engine.row(start), len, c.dims, start,
                                 c.higher_is_better, c.euclidean ? c.query_sq.data() + q_first : nullptr,
                                 c.euclidean ? c.engine.row_norms_sq().data() + start : nullptr};
    fused::score_and_select(problem, bars.data(), sink);
    std::vector<std::vector<Hit>> out(q_count);
    for (std::size_t i = 0; i < q_count; ++i) out[i] = sink.take(i);
    return out;
}

Result<std::vector<QueryOutcome>> run_per_query(const BatchContext& c) {
    std::vector<QueryOutcome> out(c.nq);
    const std::size_t chunk = per_query_chunk(c.nq, runtime::logical_processors());
    for (std::size_t first = 0; first < c.nq; first += chunk) {
        const std::size_t count = std::min(chunk, c.nq - first);
        runtime::parallel_for(count, [&](std::size_t i) {
            QueryOutcome& slot = out[first + i];
            slot.method_used = kPerQueryName;
            try {
                Result<QueryOutcome> r = search_single(c.engine, c.query(first + i), c.dims, c.k_eff);
                if (r) {
                    slot.hits = std::move(r.value().hits);
                    slot.query_time_ms = r.value().query_time_ms;
                }
            } catch (const std::bad_alloc&) {
                // A query that cannot be answered comes back empty; the batch goes on.
                slot.hits.clear();
                slot.query_time_ms = 0.0;
            }
        });
    }
    return out;
}

// Queries [first, first + count) of the batch against all rows, in blocks of B queries.
Result<std::vector<QueryOutcome>> run_query_blocked(const BatchContext& c, std::size_t first, std::size_t count) {
    if (count == 0 || c.k_eff == 0) return empty_outcomes(count, kQueryBlockedName);
    const SearchEngine& e = c.engine;
    const std::size_t rows = e.rows();
    const std::uint64_t per_block = queries_per_block(
        c.qblock ? std::optional<std::string_view>(*c.qblock) : std::nullopt, e.metric(), c.dims, rows, count,
        c.workers);
    const std::size_t block = static_cast<std::size_t>(std::min<std::uint64_t>(per_block, count));
    const std::size_t nblocks = count / block + (count % block != 0);

    std::vector<QueryOutcome> out(count);
    std::vector<std::string> errors(nblocks);
    runtime::parallel_for(nblocks, [&](std::size_t b) {
        const std::size_t q0 = b * block;
        const std::size_t bq = std::min(block, count - q0);
        try {
            if (c.fused) {
                std::vector<std::vector<Hit>> hits = fused_top_k(c, first + q0, bq, 0, rows);
                for (std::size_t i = 0; i < bq; ++i) out[q0 + i] = {std::move(hits[i]), kQueryBlockedName, 0.0};
                return;
            }
            std::unique_ptr<float[]> scores = allocate_scores(bq, rows);
            if (!scores) {
                errors[b] = score_matrix_error(bq, rows);
                return;
            }
            kernels::block_product(c.query(first + q0), bq, e.data(), rows, c.dims, scores.get());
            for (std::size_t i = 0; i < bq; ++i) {
                float* line = scores.get() + i * rows;
                if (c.euclidean) dots_to_l2sq(line, rows, c.query_sq[first + q0 + i], e.row_norms_sq().data());
                QueryOutcome& o = out[q0 + i];
                o.hits = top_k_scan(line, rows, c.k_eff, c.higher_is_better, 0);
                o.method_used = kQueryBlockedName;
            }
        } catch (const std::bad_alloc&) {
            errors[b] = score_matrix_error(bq, rows);
        }
    });
    for (const std::string& err : errors)
        if (!err.empty()) return fail(err);
    return out;
}

Result<std::vector<QueryOutcome>> run_chunked(const BatchContext& c) {
    if (c.k_eff == 0) return empty_outcomes(c.nq, kChunkedName);
    const std::size_t chunk = static_cast<std::size_t>(queries_per_chunk(c.engine.rows(), c.nq));
    std::vector<QueryOutcome> out;
    out.reserve(c.nq);
    for (std::size_t first = 0; first < c.nq; first += chunk) {
        Result<std::vector<QueryOutcome>> part = run_query_blocked(c, first, std::min(chunk, c.nq - first));
        if (!part) return fail(part.error());
        for (QueryOutcome& o : part.value()) {
            o.method_used = kChunkedName;
            out.push_back(std::move(o));
        }
    }
    return out;
}

Result<std::vector<QueryOutcome>> run_row_blocked(const BatchContext& c) {
    if (c.nq == 0 || c.k_eff == 0) return empty_outcomes(c.nq, kRowBlockedName);
    const SearchEngine& e = c.engine;
    const std::size_t rows = e.rows();
    const std::size_t block = static_cast<std::size_t>(rows_per_block(e.metric(), c.dims, rows, c.workers));
    const std::size_t nblocks = rows / block + (rows % block != 0);

    // A block's queries may be cut into parts so that the work items divide evenly among the
    // workers: 13 blocks on 2 workers would leave one worker a whole block alone at the end.
    // Each part is the block's score matrix restricted to its queries' rows.
    const std::size_t workers = std::max<std::size_t>(c.workers, 1);
    std::size_t parts = 1;
    while (parts < workers && parts < c.nq && (nblocks * parts) % workers != 0) ++parts;
    if ((nblocks * parts) % workers != 0) parts = 1;
    const std::size_t items = nblocks * parts;

    // candidates[b][q]: query q's best hits within row block b, slots indexed by block start.
    std::vector<std::vector<std::vector<Hit>>> candidates(nblocks, std::vector<std::vector<Hit>>(c.nq));
    std::vector<std::string> errors(items);
    ScoreMatrices matrices((c.nq + parts - 1) / parts, block);
    std::unique_ptr<std::atomic<float>[]> shared_bars;
    if (c.fused) {
        shared_bars = std::make_unique<std::atomic<float>[]>(c.nq);
        for (std::size_t q = 0; q < c.nq; ++q) shared_bars[q] = c.higher_is_better ? -INFINITY : INFINITY;
    }
    runtime::parallel_for(items, [&](std::size_t item) {
        const std::size_t b = item / parts;
        const std::size_t part = item % parts;
        const std::size_t q_first = c.nq * part / parts;
        const std::size_t q_count = c.nq * (part + 1) / parts - q_first;
        const std::size_t start = b * block;
        const std::size_t len = std::min(block, rows - start);
        try {
            if (c.fused) {
                std::vector<std::vector<Hit>> hits = fused_top_k(c, q_first, q_count, start, len, shared_bars.get());
                for (std::size_t i = 0; i < q_count; ++i) candidates[b][q_first + i] = std::move(hits[i]);
                return;
            }
            std::unique_ptr<float[]> scores = matrices.take();
            if (!scores) {
                errors[item] = score_matrix_error(c.nq, len);
                return;
            }
            kernels::block_product(c.query(q_first), q_count, e.row(start), len, c.dims, scores.get());
            for (std::size_t i = 0; i < q_count; ++i) {
                const std::size_t q = q_first + i;
                float* line = scores.get() + i * len;
                if (c.euclidean) dots_to_l2sq(line, len, c.query_sq[q], e.row_norms_sq().data() + start);
                candidates[b][q] = top_k_scan(line, len, c.k_eff, c.higher_is_better, start);
            }
            matrices.give(std::move(scores));
        } catch (const std::bad_alloc&) {
            errors[item] = score_matrix_error(c.nq, len);
        }
    });
    for (const std::string& err : errors)
        if (!err.empty()) return fail(err);

    std::vector<QueryOutcome> out(c.nq);
    std::vector<char> merge_failed(c.nq, 0);
    runtime::parallel_for(c.nq, [&](std::size_t q) {
        QueryOutcome& o = out[q];
        o.method_used = kRowBlockedName;
        try {
            std::size_t total = 0;
            for (std::size_t b = 0; b < nblocks; ++b) total += candidates[b][q].size();
            o.hits.reserve(total);
            for (std::size_t b = 0; b < nblocks; ++b) {
                std::vector<Hit>& part = candidates[b][q];
                o.hits.insert(o.hits.end(), part.begin(), part.end());
                std::vector<Hit>().swap(part);
            }
            topk::select_best(o.hits, c.k_eff, c.higher_is_better);
        } catch (const std::bad_alloc&) {
            merge_failed[q] = 1;
        }
    });
    if (std::find(merge_failed.begin(), merge_failed.end(), 1) != merge_failed.end())
        return fail("Out of memory while merging the row blocks' candidates");
    return out;
}

}  // namespace

std::optional<Path> forced_path(std::optional<std::string_view> mode) {
    if (!mode) return std::nullopt;
    if (*mode == "rayon") return Path::PerQuery;
    if (*mode == "matrix" || *mode == "matrix_full") return Path::QueryBlocked;
    if (*mode == "chunked" || *mode == "chunked_matrix") return Path::Chunked;
    if (*mode == "blocked" || *mode == "blocked_exact") return Path::RowBlocked;
    return std::nullopt;
}

Path choose_path(std::optional<std::string_view> mode, std::uint64_t nq) {
    if (std::optional<Path> forced = forced_path(mode)) return *forced;
    return nq > 3 ? Path::RowBlocked : Path::PerQuery;
}

std::uint64_t per_query_chunk(std::uint64_t nq, std::size_t processors) {
    const std::uint64_t p = processors == 0 ? 1 : processors;
    return std::min<std::uint64_t>(nq, std::max<std::uint64_t>(8, 4 * p));
}

std::uint64_t queries_per_block(std::optional<std::string_view> qblock, std::uint8_t metric, std::uint64_t dims,
                                std::uint64_t rows, std::uint64_t nq, std::size_t workers) {
    if (qblock) {
        const std::optional<std::uint64_t> forced = runtime::parse_unsigned_decimal(*qblock);
        if (forced && *forced != 0) return *forced;
    }
    if (nq < 2) return 1;
    const std::uint64_t t = workers == 0 ? 1 : workers;
    const std::uint64_t budget = metric == 2 ? 3000000 : (dims < 257 ? 8000000 : 5000000);
    const std::uint64_t fit = budget / std::max<std::uint64_t>(rows, 1);
    const std::uint64_t p = std::min<std::uint64_t>(nq, 2 * t);
    const std::uint64_t cap = dims >= 768 ? 64 : (dims < 384 ? 256 : 128);
    const std::uint64_t upper = std::min({nq, std::max(p, fit), cap});
    const std::uint64_t spread = nq / p + (nq % p != 0);
    return std::min(std::max<std::uint64_t>(spread, 1), upper);
}

std::uint64_t queries_per_chunk(std::uint64_t rows, std::uint64_t nq) {
    const std::uint64_t fit = 50000000 / std::max<std::uint64_t>(rows, 1);
    return std::min<std::uint64_t>(nq, std::max<std::uint64_t>(1, fit));
}

std::uint64_t rows_per_block(std::uint8_t metric, std::uint64_t dims, std::uint64_t rows, std::size_t workers) {
    const std::uint64_t t = workers == 0 ? 1 : workers;
    const std::uint64_t budget =
        metric == 2 ? 3000000 : (dims < 384 ? 8000000 : (dims < 768 ? 10000000 : 16000000));
    const std::uint64_t a = budget / std::max<std::uint64_t>(dims, 1);
    const std::uint64_t b = rows / (4 * t);
    const std::uint64_t cap = dims >= 768 ? 32000 : (dims < 384 ? 8000 : 16000);
    std::uint64_t r = std::max({a, b, std::uint64_t{1}});
    r = std::min({r, cap, rows});
    return std::max<std::uint64_t>(r, 1);
}

std::vector<Hit> top_k_scan(const float* scores, std::size_t n, std::size_t k, bool higher_is_better,
                            std::uint64_t base) {
    if (k == 0) return {};
    topk::BoundedHeap heap(k, higher_is_better);
    scan_into_heap(heap, scores, n, base, higher_is_better);
    return heap.take_sorted();
}

}  // namespace batch

Result<std::vector<QueryOutcome>> search_batch(const SearchEngine& engine, const float* queries,
                                               std::uint64_t value_count, std::uint64_t dims, std::uint64_t k) {
    using namespace batch;
    // A zero column count would make every later division meaningless.
    if (dims == 0) return fail("queries have 0 columns: dims must be at least 1");
    if (value_count % dims != 0) return fail("queries.len() não é múltiplo de dims");
    if (dims != engine.dims())
        return fail("Query dimensions " + std::to_string(dims) + " != index dimensions " +
                    std::to_string(engine.dims()));
    const std::uint64_t nq = value_count / dims;
    if (nq == 0) return std::vector<QueryOutcome>{};
    try {
        if (nq == 1) {
            Result<QueryOutcome> single = search_single(engine, queries, static_cast<std::size_t>(dims), k);
            if (!single) return fail(single.error());
            std::vector<QueryOutcome> out;
            out.push_back(std::move(single).value());
            return out;
        }

        const std::optional<std::string> mode = runtime::env_text("ZARIR_BATCH_MODE");
        const Path path = choose_path(mode ? std::optional<std::string_view>(*mode) : std::nullopt, nq);

        // Non-finite query values would only make that query's scores vanish: refuse the batch.
        if (!batch_is_finite(queries, static_cast<std::size_t>(value_count)))
            return fail("Queries contêm valores não finitos (NaN/Inf)");

        BatchContext c{engine,
                       queries,
                       static_cast<std::size_t>(nq),
                       static_cast<std::size_t>(dims),
                       static_cast<std::size_t>(std::min<std::uint64_t>(k, engine.rows())),
                       engine.metric() != 2,
                       engine.metric() == 2,
                       {},
                       runtime::env_text("ZARIR_QBLOCK"),
                       runtime::pool_size(),
                       fused::chosen()};
        if (c.euclidean && path != Path::PerQuery) {
            c.query_sq.resize(c.nq);
            for (std::size_t q = 0; q < c.nq; ++q) c.query_sq[q] = kernels::sum_squares_f64(c.query(q), c.dims);
        }
        switch (path) {
            case Path::PerQuery: return run_per_query(c);
            case Path::QueryBlocked: return run_query_blocked(c, 0, c.nq);
            case Path::Chunked: return run_chunked(c);
            case Path::RowBlocked: return run_row_blocked(c);
        }
        return fail("unknown batch path");
    } catch (const std::bad_alloc&) {
        return fail("Out of memory while answering a batch of " + std::to_string(nq) + " queries");
    } catch (const std::exception& ex) {
        return fail(std::string("Batch search failed: ") + ex.what());
    }
}

}  // namespace rivezor
