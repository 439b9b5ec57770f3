// explain and compare: float32 block sums in score space, ranked by the bit patterns of
// their absolute values so that NaN shares rank first and equal sizes keep block order.
#include "engine/diagnostics.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>
#include <string>

#include "core/messages.hpp"
#include "engine/kernels.hpp"

namespace rivezor {
namespace {

Result<bool> validate(const SearchEngine& engine, std::size_t n, std::uint64_t idx_a, std::uint64_t idx_b,
                      std::uint64_t block_size, std::uint64_t top_blocks) {
    if (Result<bool> unchanged = engine.check_file_unchanged(); !unchanged) return fail(unchanged.error());
    if (n != engine.dims())
        return fail(msg::query_dimensions_mismatch(n, engine.dims()));
    if (idx_a >= engine.rows() || idx_b >= engine.rows()) return fail(msg::kIndexOutOfBounds);
    if (block_size == 0) return fail(msg::kBlockSizeZero);
    if (top_blocks == 0) return fail(msg::kTopBlocksZero);
    return true;
}

// |c| as bits: the order of magnitudes for numbers, with NaN above infinity.
std::uint32_t magnitude_key(float c) {
    std::uint32_t bits;
    std::memcpy(&bits, &c, sizeof(bits));
    return bits & 0x7FFFFFFFu;
}

// A negated sum with +0.0 for a zero sum, so an identical row reads 0.0 rather than -0.0.
float negate(float s) { return 0.0f - s; }

// A block's share by the scalar pair kernel: one term at a time, in component order.
float dot_f32_in_order(const float* q, const float* x, std::size_t start, std::size_t end) {
    return kernels::dot_f32_scalar(q + start, x + start, end - start);
}

float l2sq_f32_in_order(const float* q, const float* x, std::size_t start, std::size_t end) {
    return kernels::l2sq_f32_scalar(q + start, x + start, end - start);
}

// contribution(block) fills every block; ranking, the listed head and the residual follow.
template <class Contribution>
BlockBreakdown break_down(std::size_t dims, std::uint64_t block_size, std::uint64_t top_blocks,
                          Contribution&& contribution) {
    BlockBreakdown out;
    out.block_size = block_size;
    out.top_blocks = top_blocks;
    out.dims = dims;
    const DimBlocks blocks(dims, static_cast<std::size_t>(block_size));
    out.num_blocks = blocks.size();

    std::vector<BlockContribution> all(blocks.size());
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const DimBlock block = blocks[b];
        all[b] = {b, block.start, block.end, contribution(block.start, block.end)};
    }
    std::stable_sort(all.begin(), all.end(), [](const BlockContribution& a, const BlockContribution& b) {
        return magnitude_key(a.contribution) > magnitude_key(b.contribution);
    });

    const std::size_t listed = static_cast<std::size_t>(std::min<std::uint64_t>(top_blocks, all.size()));
    float residual = 0.0f;
    for (std::size_t i = listed; i < all.size(); ++i) residual = residual + all[i].contribution;
    all.resize(listed);
    out.blocks = std::move(all);
    out.residual = residual;
    return out;
}

}  // namespace

Result<Explanation> explain_row(const SearchEngine& engine, const float* query, std::size_t n, std::uint64_t idx,
                                std::uint64_t block_size, std::uint64_t top_blocks) {
    Result<bool> valid = validate(engine, n, idx, idx, block_size, top_blocks);
    if (!valid) return fail(valid.error());
    try {
        const float* x = engine.row(static_cast<std::size_t>(idx));
        const bool euclidean = engine.metric() == Metric::euclidean;
        Explanation out;
        const float score = kernels::pair_score(engine.metric(), query, x, n);
        out.score_total = euclidean ? negate(score) : score;
        out.breakdown = break_down(n, block_size, top_blocks, [&](std::size_t start, std::size_t end) {
            return euclidean ? negate(l2sq_f32_in_order(query, x, start, end)) : dot_f32_in_order(query, x, start, end);
        });
        return out;
    } catch (const std::bad_alloc&) {
        return fail(msg::kExplainOutOfMemory);
    }
}

Result<Comparison> compare_rows(const SearchEngine& engine, const float* query, std::size_t n,
                                std::uint64_t idx_a, std::uint64_t idx_b, std::uint64_t block_size,
                                std::uint64_t top_blocks) {
    Result<bool> valid = validate(engine, n, idx_a, idx_b, block_size, top_blocks);
    if (!valid) return fail(valid.error());
    try {
        const float* a = engine.row(static_cast<std::size_t>(idx_a));
        const float* b = engine.row(static_cast<std::size_t>(idx_b));
        const bool euclidean = engine.metric() == Metric::euclidean;
        Comparison out;
        out.score_a = kernels::pair_score(engine.metric(), query, a, n);
        out.score_b = kernels::pair_score(engine.metric(), query, b, n);
        out.delta_score_space = euclidean ? out.score_b - out.score_a : out.score_a - out.score_b;
        out.breakdown = break_down(n, block_size, top_blocks, [&](std::size_t start, std::size_t end) {
            if (euclidean) return l2sq_f32_in_order(query, b, start, end) - l2sq_f32_in_order(query, a, start, end);
            float s = 0.0f;
            for (std::size_t i = start; i < end; ++i) s = s + query[i] * (a[i] - b[i]);
            return s;
        });
        return out;
    } catch (const std::bad_alloc&) {
        return fail(msg::kCompareOutOfMemory);
    }
}

}  // namespace rivezor
