// The block plan of a query for the scans that bound rows block by block (pruned and
// certified): each block's query energy, their total, and the order the blocks are visited in.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/engine.hpp"

namespace rivezor {

struct BlockPlan {
    std::vector<double> energy;      // per block: the query's squares summed left to right in double
    double total = 0.0;              // the block energies summed in block order
    std::size_t widest = 0;          // components in the widest block
    std::vector<std::size_t> order;  // heaviest energy first, so the remaining bound shrinks fastest;
                                     // equal energies keep block order
};

BlockPlan plan_blocks(const float* query, const DimBlocks& blocks);

}  // namespace rivezor
