// The four batch paths (per-query, query-blocked matrix, chunked matrix, row-blocked) and
// their shared pieces: the fused kernel's sinks, score matrices, the norm expansion, the top-k scan.
#include "engine/batch.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "core/batch_shape.hpp"
#include "core/float_bits.hpp"
#include "core/messages.hpp"
#include "engine/fused_avx2.hpp"
#include "engine/kernels.hpp"
#include "engine/single.hpp"
#include "engine/topk.hpp"
#include "engine/work_size.hpp"
#include "runtime/environment.hpp"
#include "runtime/pool.hpp"

namespace rivezor {
namespace batch {
namespace {

// Euclidean scores of one query against consecutive rows: qq + xx - 2 dot in double.
void dots_to_l2sq(float* scores, std::size_t n, double qq, const double* xx) {
    for (std::size_t j = 0; j < n; ++j) scores[j] = kernels::l2sq_from_dot(qq, xx[j], scores[j]);
}

std::string score_matrix_error(std::uint64_t a, std::uint64_t b) { return msg::score_matrix_unavailable(a, b); }

// An uninitialised a x b float matrix, or nullptr when it cannot be had; the block product
// overwrites it.
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
    bool fused;  // the fused score-and-select kernel instead of a whole score matrix

    const float* query(std::size_t i) const { return queries + i * dims; }
};

// The fused problem's selection, per query. For k' up to StreamingTopK's heap bound, the best
// k' so far in hit order in one flat array, a newcomer moved into place from the end, and the
// worst kept is the bar, so the bar is always the true k'-th best (1,000 queries over
// 100,000 x 128, k = 10: 2.3% of the samples, against 3.5% with a heap per query). Beyond it,
// a buffer of up to 2k' hits cut back to its best k' (a partial selection) when full, the
// k'-th best after a cut being the bar, which spares an insertion per candidate. The total hit
// order makes the outcome the same best k' either way.
class SelectionSink final : public fused::Sink {
public:
    SelectionSink(std::size_t nq, std::size_t k, bool higher)
        : k_(k), higher_(higher), open_(higher ? -INFINITY : INFINITY), bars_(nq, open_),
          sorted_(k <= topk::StreamingTopK::kHeapMaxK) {
        if (sorted_) {
            kept_.resize(nq * k);
            counts_.assign(nq, 0);
        } else {
            hits_.resize(nq);
        }
    }
    float offer(std::size_t query, std::uint64_t row, float score) override {
        if (!is_finite_value(score)) return bars_[query];
        if (sorted_) {
            insert(query, {row, score});
            return bars_[query];
        }
        std::vector<Hit>& hits = hits_[query];
        hits.push_back({row, score});
        if (hits.size() >= 2 * k_) {
            const topk::HitOrder order{higher_};
            std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(k_ - 1), hits.end(), order);
            bars_[query] = hits[k_ - 1].score;
            hits.resize(k_);
        }
        return bars_[query];
    }
    float open_bar() const { return open_; }
    // The query's best k', in hit order when `sorted`; a list merged with others later is only
    // cut, since the merge sorts.
    std::vector<Hit> take(std::size_t query, bool sorted) {
        if (sorted_) {
            const Hit* kept = kept_.data() + query * k_;
            return std::vector<Hit>(kept, kept + counts_[query]);
        }
        std::vector<Hit> out = std::move(hits_[query]);
        if (sorted) {
            topk::select_best(out, k_, higher_);
        } else if (out.size() > k_) {
            std::nth_element(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(k_), out.end(),
                             topk::HitOrder{higher_});
            out.resize(k_);
        }
        return out;
    }

private:
    void insert(std::size_t query, const Hit& hit) {
        Hit* kept = kept_.data() + query * k_;
        std::size_t n = counts_[query];
        if (n == k_) {
            if (!topk::better(hit, kept[n - 1], higher_)) return;
            --n;  // the worst kept makes room
        }
        std::size_t at = n;
        for (; at > 0 && topk::better(hit, kept[at - 1], higher_); --at) kept[at] = kept[at - 1];
        kept[at] = hit;
        counts_[query] = static_cast<std::uint32_t>(n + 1);
        if (n + 1 == k_) bars_[query] = kept[k_ - 1].score;
    }

    std::size_t k_;
    bool higher_;
    float open_;
    std::vector<float> bars_;
    bool sorted_;
    std::vector<Hit> kept_;              // sorted form: query i's best at [i k', i k' + counts_[i])
    std::vector<std::uint32_t> counts_;
    std::vector<std::vector<Hit>> hits_;  // buffer form
};

// Best k' of each of queries [q_first, q_first + q_count) over rows [start, start + len), by the
// fused kernel instead of a score matrix; in hit order when `sorted`.
std::vector<std::vector<Hit>> fused_top_k(const BatchContext& c, std::size_t q_first, std::size_t q_count,
                                          std::size_t start, std::size_t len, bool sorted) {
    SelectionSink sink(q_count, c.k_eff, c.higher_is_better);
    std::vector<float> bars(q_count, sink.open_bar());
    const fused::Problem problem{c.query(q_first), q_count, c.engine.row(start), len, c.dims, start,
                                 c.higher_is_better, c.euclidean ? c.query_sq.data() + q_first : nullptr,
                                 c.euclidean ? c.engine.row_norms_sq().data() + start : nullptr};
    fused::score_and_select(problem, bars.data(), sink);
    std::vector<std::vector<Hit>> out(q_count);
    for (std::size_t i = 0; i < q_count; ++i) out[i] = sink.take(i, sorted);
    return out;
}

// Each of queries [q_first, q_first + lists of a part) gets its best k' from its lists of every
// row part (candidates[part][query - q_first]), which are emptied on the way; false when memory
// ran out.
bool merge_row_parts(const BatchContext& c, std::vector<std::vector<std::vector<Hit>>>& candidates,
                     std::size_t q_first, std::vector<QueryOutcome>& out) {
    const std::size_t count = candidates.empty() ? 0 : candidates.front().size();
    std::vector<char> merge_failed(count, 0);
    runtime::parallel_for(count, [&](std::size_t i) {
        QueryOutcome& o = out[q_first + i];
        o.method_used = msg::kPathRowBlocked;
        try {
            std::size_t total = 0;
            for (const auto& lists : candidates) total += lists[i].size();
            o.hits.reserve(total);
            for (auto& lists : candidates) {
                std::vector<Hit>& part = lists[i];
                o.hits.insert(o.hits.end(), part.begin(), part.end());
                std::vector<Hit>().swap(part);
            }
            topk::select_best(o.hits, c.k_eff, c.higher_is_better);
        } catch (const std::bad_alloc&) {
            merge_failed[i] = 1;
        }
    });
    return std::find(merge_failed.begin(), merge_failed.end(), 1) == merge_failed.end();
}

// A query that cannot be answered (memory ran out) fails the whole batch, as on the other
// paths: its exception leaves parallel_for and becomes search_batch's message.
Result<std::vector<QueryOutcome>> run_per_query(const BatchContext& c) {
    std::vector<QueryOutcome> out(c.nq);
    const SinglePath path = configured_single_path(c.engine);
    const std::size_t chunk = per_query_chunk(c.nq, runtime::logical_processors());
    for (std::size_t first = 0; first < c.nq; first += chunk) {
        const std::size_t count = std::min(chunk, c.nq - first);
        runtime::parallel_for(count, [&](std::size_t i) {
            QueryOutcome& slot = out[first + i];
            QueryOutcome answer = answer_checked_query(c.engine, c.query(first + i), c.k_eff, path);
            slot.hits = std::move(answer.hits);
            slot.query_time_ms = answer.query_time_ms;
            slot.method_used = msg::kPathPerQuery;
        });
    }
    return out;
}

// Queries [first, first + count) of the batch against all rows, in blocks of B queries.
Result<std::vector<QueryOutcome>> run_query_blocked(const BatchContext& c, std::size_t first, std::size_t count) {
    if (count == 0 || c.k_eff == 0) return empty_outcomes(count, msg::kPathQueryBlocked);
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
                std::vector<std::vector<Hit>> hits = fused_top_k(c, first + q0, bq, 0, rows, true);
                for (std::size_t i = 0; i < bq; ++i) out[q0 + i] = {std::move(hits[i]), msg::kPathQueryBlocked, 0.0};
                return;
            }
            std::unique_ptr<float[]> scores = allocate_scores(bq, rows);
            if (!scores) {
                errors[b] = score_matrix_error(bq, rows);
                return;
            }
            fused::block_product(c.query(first + q0), bq, e.data(), rows, c.dims, scores.get());
            for (std::size_t i = 0; i < bq; ++i) {
                float* line = scores.get() + i * rows;
                if (c.euclidean) dots_to_l2sq(line, rows, c.query_sq[first + q0 + i], e.row_norms_sq().data());
                QueryOutcome& o = out[q0 + i];
                o.hits = topk::top_k_of_scores(line, rows, c.k_eff, c.higher_is_better, 0);
                o.method_used = msg::kPathQueryBlocked;
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
    if (c.k_eff == 0) return empty_outcomes(c.nq, msg::kPathQueryChunked);
    const std::size_t chunk = static_cast<std::size_t>(queries_per_chunk(c.engine.rows(), c.nq));
    std::vector<QueryOutcome> out;
    out.reserve(c.nq);
    for (std::size_t first = 0; first < c.nq; first += chunk) {
        Result<std::vector<QueryOutcome>> part = run_query_blocked(c, first, std::min(chunk, c.nq - first));
        if (!part) return fail(part.error());
        for (QueryOutcome& o : part.value()) {
            o.method_used = msg::kPathQueryChunked;
            out.push_back(std::move(o));
        }
    }
    return out;
}

// The fused row-blocked path's bound on the selection buffers of the work items alive at once.
constexpr std::size_t kFusedSinkBytes = std::size_t{256} << 20;

// The fused form of the row-blocked path: one contiguous row part per worker, each over all the
// queries, so every row is packed once and each query's bar tightens over a whole part in one
// sink (a fresh sink per small row block started every query from an open bar and sorted its
// list each time: a quarter of a k = 100 batch). The queries are cut into parts only when the
// sinks alive at once, up to 2k' hits per query each, would pass kFusedSinkBytes.
Result<std::vector<QueryOutcome>> run_row_blocked_fused(const BatchContext& c) {
    const std::size_t rows = c.engine.rows();
    const std::size_t row_parts = std::min(rows, std::max<std::size_t>(c.workers, 1));
    const std::size_t per_query = 2 * c.k_eff * sizeof(Hit) * row_parts;
    const std::size_t per_part = std::max<std::size_t>(1, kFusedSinkBytes / per_query);
    const std::size_t q_parts = (c.nq + per_part - 1) / per_part;
    // Query part by query part: the workers share one part's queries, and the part's lists are
    // merged into the answer before the next part starts, so only one part's lists are held.
    std::vector<QueryOutcome> out(c.nq);
    for (std::size_t qp = 0; qp < q_parts; ++qp) {
        const std::size_t q_first = c.nq * qp / q_parts;
        const std::size_t q_count = c.nq * (qp + 1) / q_parts - q_first;
        // candidates[r][i]: query q_first + i's best hits within row part r.
        std::vector<std::vector<std::vector<Hit>>> candidates(row_parts);
        runtime::parallel_for(row_parts, [&](std::size_t r) {
            const std::size_t start = rows * r / row_parts;
            const std::size_t len = rows * (r + 1) / row_parts - start;
            candidates[r] = fused_top_k(c, q_first, q_count, start, len, row_parts == 1);
        });
        if (row_parts == 1) {  // one part's lists are the answer already
            for (std::size_t i = 0; i < q_count; ++i)
                out[q_first + i] = {std::move(candidates[0][i]), msg::kPathRowBlocked, 0.0};
        } else if (!merge_row_parts(c, candidates, q_first, out)) {
            return fail(msg::kMergeOutOfMemory);
        }
    }
    return out;
}

Result<std::vector<QueryOutcome>> run_row_blocked(const BatchContext& c) {
    if (c.nq == 0 || c.k_eff == 0) return empty_outcomes(c.nq, msg::kPathRowBlocked);
    if (c.fused) return run_row_blocked_fused(c);
    const SearchEngine& e = c.engine;
    const std::size_t rows = e.rows();
    const std::size_t block = rows_per_work_item(e.metric(), c.dims, rows, c.workers);
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
    runtime::parallel_for(items, [&](std::size_t item) {
        const std::size_t b = item / parts;
        const std::size_t part = item % parts;
        const std::size_t q_first = c.nq * part / parts;
        const std::size_t q_count = c.nq * (part + 1) / parts - q_first;
        const std::size_t start = b * block;
        const std::size_t len = std::min(block, rows - start);
        try {
            std::unique_ptr<float[]> scores = matrices.take();
            if (!scores) {
                errors[item] = score_matrix_error(c.nq, len);
                return;
            }
            fused::block_product(c.query(q_first), q_count, e.row(start), len, c.dims, scores.get());
            for (std::size_t i = 0; i < q_count; ++i) {
                const std::size_t q = q_first + i;
                float* line = scores.get() + i * len;
                if (c.euclidean) dots_to_l2sq(line, len, c.query_sq[q], e.row_norms_sq().data() + start);
                candidates[b][q] = topk::top_k_of_scores(line, len, c.k_eff, c.higher_is_better, start);
            }
            matrices.give(std::move(scores));
        } catch (const std::bad_alloc&) {
            errors[item] = score_matrix_error(c.nq, len);
        }
    });
    for (const std::string& err : errors)
        if (!err.empty()) return fail(err);

    std::vector<QueryOutcome> out(c.nq);
    if (!merge_row_parts(c, candidates, 0, out)) return fail(msg::kMergeOutOfMemory);
    return out;
}

}  // namespace

std::optional<Path> forced_path(std::optional<std::string_view> mode) {
    if (!mode) return std::nullopt;
    if (*mode == "rayon") return Path::per_query;
    if (*mode == "matrix" || *mode == "matrix_full") return Path::query_blocked;
    if (*mode == "chunked" || *mode == "chunked_matrix") return Path::chunked;
    if (*mode == "blocked" || *mode == "blocked_exact") return Path::row_blocked;
    return std::nullopt;
}

Path choose_path(std::optional<std::string_view> mode, std::uint64_t nq) {
    if (std::optional<Path> forced = forced_path(mode)) return *forced;
    return nq > 3 ? Path::row_blocked : Path::per_query;
}

std::uint64_t per_query_chunk(std::uint64_t nq, std::size_t processors) {
    const std::uint64_t p = processors == 0 ? 1 : processors;
    return std::min<std::uint64_t>(nq, std::max<std::uint64_t>(8, 4 * p));
}

std::uint64_t queries_per_block(std::optional<std::string_view> qblock, Metric metric, std::uint64_t dims,
                                std::uint64_t rows, std::uint64_t nq, std::size_t workers) {
    if (qblock) {
        const std::optional<std::uint64_t> forced = runtime::parse_unsigned_decimal(*qblock);
        if (forced && *forced != 0) return *forced;
    }
    if (nq < 2) return 1;
    const std::uint64_t t = workers == 0 ? 1 : workers;
    const std::uint64_t budget = metric == Metric::euclidean ? 3000000 : (dims < 257 ? 8000000 : 5000000);
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

}  // namespace batch

Result<std::vector<QueryOutcome>> search_batch(const SearchEngine& engine, const float* queries,
                                               std::uint64_t value_count, std::uint64_t dims, std::uint64_t k) {
    using namespace batch;
    if (Result<bool> unchanged = engine.check_file_unchanged(); !unchanged) return fail(unchanged.error());
    if (const std::optional<std::string> bad = batch_shape_error(value_count, dims, engine.dims(), msg::kBatchNoColumns))
        return fail(*bad);
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
        if (!all_finite(queries, static_cast<std::size_t>(value_count))) return fail(msg::kBatchNotFinite);

        BatchContext c{engine,
                       queries,
                       static_cast<std::size_t>(nq),
                       static_cast<std::size_t>(dims),
                       static_cast<std::size_t>(std::min<std::uint64_t>(k, engine.rows())),
                       higher_is_better(engine.metric()),
                       engine.metric() == Metric::euclidean,
                       {},
                       runtime::env_text("ZARIR_QBLOCK"),
                       runtime::pool_size(),
                       fused::chosen()};
        if (c.euclidean && path != Path::per_query) {
            c.query_sq.resize(c.nq);
            for (std::size_t q = 0; q < c.nq; ++q) c.query_sq[q] = kernels::sum_squares_f64(c.query(q), c.dims);
        }
        switch (path) {
            case Path::per_query: return run_per_query(c);
            case Path::query_blocked: return run_query_blocked(c, 0, c.nq);
            case Path::chunked: return run_chunked(c);
            case Path::row_blocked: return run_row_blocked(c);
        }
        return fail(msg::kUnknownBatchPath);
    } catch (const std::bad_alloc&) {
        return fail(msg::batch_out_of_memory(nq));
    } catch (const std::exception& ex) {
        return fail(msg::batch_failed(ex.what()));
    }
}

}  // namespace rivezor
