// Building the block plan: energies by the kernels' double sum of squares, the visiting order
// by a stable sort on the energies' total-order keys (so NaN cannot break the sort).
#include "engine/block_plan.hpp"

#include <algorithm>
#include <numeric>

#include "core/float_bits.hpp"
#include "engine/kernels.hpp"

namespace rivezor {

BlockPlan plan_blocks(const float* query, const DimBlocks& blocks) {
    BlockPlan plan;
    const std::size_t nb = blocks.size();
    plan.energy.resize(nb);
    for (std::size_t b = 0; b < nb; ++b) {
        const DimBlock block = blocks[b];
        plan.energy[b] = kernels::sum_squares_f64(query + block.start, block.end - block.start);
        plan.total = plan.total + plan.energy[b];
        plan.widest = std::max(plan.widest, block.end - block.start);
    }
    plan.order.resize(nb);
    std::iota(plan.order.begin(), plan.order.end(), std::size_t{0});
    std::stable_sort(plan.order.begin(), plan.order.end(), [&](std::size_t a, std::size_t b) {
        return order_key(plan.energy[a]) > order_key(plan.energy[b]);
    });
    return plan;
}

}  // namespace rivezor
