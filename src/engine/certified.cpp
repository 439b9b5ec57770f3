// Certified exact search and its batch form: the block-by-block Cauchy–Schwarz bounds, the
// rounding margin that keeps them sound in float32, and the certificate of the scan.
#include "engine/certified.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "core/batch_shape.hpp"
#include "core/float_bits.hpp"
#include "core/messages.hpp"
#include "engine/block_plan.hpp"
#include "engine/kernels.hpp"
#include "engine/rounding.hpp"
#include "engine/topk.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/pool.hpp"

namespace rivezor {
namespace {

using rounding::gamma_f32;
using rounding::kUnitF32;
using rounding::kUnitF64;
using rounding::lane_scheme_depth;

constexpr double kBoundSlack = 0.001;

constexpr const char* kRuleSimilarity = "upper_bound = partial_dot + ||q_rem||*||x||";
constexpr const char* kRuleEuclidean = "lower_bound_l2 = ||q||^2 + ||x||^2 - 2*(partial_dot + ||q_rem||*||x||)";

// A fixed slack of 0.001 only covers rounding while the vectors are small: the
// partial dots, the float32 norm and the kernel's own score each carry rounding that grows
// with ||q||·||x||, and for large-magnitude rows it exceeds 0.001, which let a row whose
// kernel score beats the k-th score be pruned. The slack used is therefore the larger of
// 0.001 and a worst-case bound on that rounding; on unit-scale data it stays 0.001.
struct RoundingMargin {
    bool euclidean = false;
    double per_norm_x = 0.0;      // margin per unit of ||x|| (bound terms)
    double per_threshold = 0.0;   // euclidean: share of the kernel's relative error, per unit of t
    double per_magnitude = 0.0;   // euclidean: double rounding of ||q||^2 + ||x||^2 - 2(...)
    double q_norm = 0.0;
    double q_energy = 0.0;

    RoundingMargin(Metric metric, std::size_t dims, std::size_t nblocks, std::size_t widest_block,
                   double energy) {
        euclidean = metric == Metric::euclidean;
        q_energy = energy;
        q_norm = rounding::query_norm_above(energy);
        const double kernel_depth =
            (kernels::force_scalar() ? static_cast<double>(dims) + 1.0 : lane_scheme_depth(dims)) +
            (euclidean ? 3.0 : 0.0);  // the difference and the square round too
        const double partial = gamma_f32(lane_scheme_depth(widest_block));
        const double nb = static_cast<double>(nblocks);
        // E - seen differs from the true remaining energy by the double summation error of
        // both sums; sqrt turns that absolute error into at most its square root.
        const double rem_error = rounding::remainder_error(2.0 * nb + static_cast<double>(widest_block) + 4.0, energy);
        // partial dots, nx's float32 rounding and the bound's own double arithmetic
        const double bound_terms = (partial + 4.0 * kUnitF32 + (nb + 16.0) * kUnitF64) * q_norm + rem_error;
        if (!euclidean) {
            per_norm_x = rounding::kSafety * (bound_terms + gamma_f32(kernel_depth) * q_norm);
        } else {
            const double g = gamma_f32(kernel_depth);
            per_norm_x = rounding::kSafety * bound_terms;
            per_threshold = rounding::kSafety * 0.5 * g / (1.0 - g);
            per_magnitude = rounding::kSafety * 0.5 * (static_cast<double>(dims) + nb + 16.0) * kUnitF64;
        }
    }

    // Slack inside the bracket of the bound for a row of float32 norm nx (and squared norm
    // xx), with current k-th score t.
    double slack(float nx, double xx, double t) const {
        const double x_norm = rounding::row_norm_above(nx);
        double margin = per_norm_x * x_norm;
        if (euclidean) margin += per_threshold * std::fabs(t) + per_magnitude * (xx + q_energy + 4.0 * q_norm * x_norm);
        return rounding::at_least(margin, kBoundSlack);
    }
};

// The bound rounded to float32 for the certificate. A bound that beat t by less than half
// an ulp of t would round onto t itself and the certificate would then read as unproven;
// such a value is stepped to the neighbouring float on the side the scan proved.
float recorded_bound(double bound, float t, bool similarity) {
    const float value = static_cast<float>(bound);
    if (similarity ? value < t : value > t) return value;
    return std::nextafter(t, similarity ? -INFINITY : INFINITY);
}

void fill_constant_fields(CertifiedOutcome& out, std::uint32_t rows, std::uint64_t bs, bool enable_pruning) {
    out.simd_path = processor_simd_path();
    out.compile_flags = target_compile_flags();
    out.total_candidates = rows;
    out.block_size = bs;
    out.enable_pruning = enable_pruning;
}

Result<CertifiedOutcome> certified_scan(const SearchEngine& engine, const float* q, std::size_t n, std::uint64_t k,
                                        std::uint64_t block_size, bool enable_pruning) {
    if (n != engine.dims())
        return fail(msg::query_dimension_mismatch(n, engine.dims()));
    if (!all_finite(q, n)) return fail(msg::kCertifiedQueryNotFinite);

    const std::uint64_t bs = std::max<std::uint64_t>(block_size, 1);
    const std::uint32_t rows = engine.rows();
    const Metric metric = engine.metric();
    const bool similarity = is_similarity(metric);

    CertifiedOutcome out;
    fill_constant_fields(out, rows, bs, enable_pruning);
    if (rows == 0 || k == 0) {
        out.method_used = msg::kPathCertifiedEmpty;
        out.bound_rule = "empty-result";
        out.bound_kind = "none";
        return out;
    }

    const auto started = std::chrono::steady_clock::now();
    const std::size_t k_eff = static_cast<std::size_t>(std::min<std::uint64_t>(k, rows));

    const DimBlocks blocks(n, static_cast<std::size_t>(bs));
    const std::size_t nblocks = blocks.size();
    const BlockPlan plan = plan_blocks(q, blocks);
    const std::vector<double>& energy = plan.energy;
    const double total_energy = plan.total;
    out.block_order.assign(plan.order.begin(), plan.order.end());
    // The covered energy grows by the same additions for every row, so ||q_rem|| after
    // each visited block is a per-query table.
    std::vector<double> rem_after(nblocks);
    {
        double seen = 0.0;
        for (std::size_t j = 0; j < nblocks; ++j) {
            seen = seen + energy[out.block_order[j]];
            rem_after[j] = std::sqrt(std::max(total_energy - seen, 0.0));
        }
    }
    std::vector<DimBlock> visit(nblocks);
    for (std::size_t j = 0; j < nblocks; ++j) visit[j] = blocks[out.block_order[j]];

    const RoundingMargin margin(metric, n, nblocks, plan.widest, total_energy);
    const std::span<const double> xx_all = engine.row_norms_sq();
    const std::span<const float> nx_all = engine.row_norms();

    topk::BoundedHeap heap(k_eff, similarity);
    auto record_threshold = [&](bool uncapped) {
        if (uncapped || out.threshold_evolution.size() < kCertificateListCap)
            out.threshold_evolution.push_back(heap.worst().score);
    };

    for (std::size_t x = 0; x < rows; ++x) {
        const float* row = engine.row(x);
        const bool full_path = x < k_eff || heap.size() < k_eff || !enable_pruning;
        if (!full_path) {
            const double t = static_cast<double>(heap.worst().score);
            const double nx = static_cast<double>(nx_all[x]);
            const double xx = xx_all[x];
            const double slack = margin.slack(nx_all[x], xx, t);
            double pd = 0.0;
            bool pruned = false;
            double bound = 0.0;
            for (std::size_t j = 0; j < nblocks; ++j) {
                pd += static_cast<double>(kernels::partial_dot_f32(q, row, visit[j].start, visit[j].end));
                const double reach = nx * rem_after[j] + pd + slack;
                if (similarity) {
                    bound = reach;
                    pruned = t > bound;
                } else {
                    bound = xx + total_energy - 2.0 * reach;
                    pruned = bound > t;
                }
                if (pruned) break;
            }
            if (pruned) {
                ++out.pruned_candidates;
                if (out.pruned_bound_values.size() < kCertificateListCap)
                    out.pruned_bound_values.push_back(recorded_bound(bound, heap.worst().score, similarity));
                continue;
            }
        }
        const float score = kernels::pair_score(metric, q, row, n);
        ++out.full_evaluated;
        // Kept into a full heap: the first fill or a replacement, both change the k-th score.
        // A euclidean scan records every change made on the full-scoring path.
        if (heap.offer(x, score) && heap.full()) record_threshold(!similarity && full_path);
    }

    out.hits = heap.take_sorted();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    out.query_time_ms = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e6;

    out.kth_score = out.hits.empty() ? 0.0f : out.hits.back().score;
    bool bounds_beaten = true;
    for (float v : out.pruned_bound_values)
        if (!(similarity ? out.kth_score > v : out.kth_score < v)) bounds_beaten = false;
    out.safe = out.full_evaluated + out.pruned_candidates == rows && bounds_beaten;

    out.method_used = enable_pruning ? msg::kPathCertifiedPruning : msg::kPathCertifiedNoPruning;
    out.bound_rule = similarity ? kRuleSimilarity : kRuleEuclidean;
    out.bound_kind = similarity ? "upper_bound" : "lower_bound";
    return out;
}

}  // namespace

const char* processor_simd_path() { return runtime::processor_simd_name(); }

// The build only targets x86-64 (CMake refuses any other processor).
const char* target_compile_flags() { return "arch=x86_64"; }

Result<CertifiedOutcome> search_certified(const SearchEngine& engine, const float* query, std::size_t n,
                                          std::uint64_t k, std::uint64_t block_size, bool enable_pruning) {
    if (Result<bool> unchanged = engine.check_file_unchanged(); !unchanged) return fail(unchanged.error());
    try {
        return certified_scan(engine, query, n, k, block_size, enable_pruning);
    } catch (const std::bad_alloc&) {
        return fail(msg::kCertifiedOutOfMemory);
    }
}

Result<std::vector<CertifiedOutcome>> search_certified_batch(const SearchEngine& engine, const float* queries,
                                                             std::size_t count, std::size_t dims,
                                                             std::uint64_t k, std::uint64_t block_size,
                                                             bool enable_pruning) {
    if (Result<bool> unchanged = engine.check_file_unchanged(); !unchanged) return fail(unchanged.error());
    if (const std::optional<std::string> bad = batch_shape_error(count, dims, engine.dims(), msg::kCertifiedBatchNoColumns))
        return fail(*bad);
    const std::size_t nq = count / dims;
    try {
        std::vector<CertifiedOutcome> outcomes(nq);
        std::mutex error_lock;
        std::optional<std::string> first_error;
        std::atomic<bool> abandoned{false};
        runtime::parallel_for(nq, [&](std::size_t i) {
            if (abandoned.load(std::memory_order_relaxed)) return;
            Result<CertifiedOutcome> one =
                search_certified(engine, queries + i * dims, dims, k, block_size, enable_pruning);
            if (one) {
                outcomes[i] = std::move(one).value();
                return;
            }
            std::lock_guard<std::mutex> hold(error_lock);
            if (!first_error) first_error = one.error();
            abandoned.store(true, std::memory_order_relaxed);
        });
        if (first_error) return fail(*first_error);
        return outcomes;
    } catch (const std::bad_alloc&) {
        return fail(msg::kCertifiedBatchOutOfMemory);
    } catch (const std::exception& e) {
        return fail(msg::certified_batch_failed(e.what()));
    }
}

}  // namespace rivezor
