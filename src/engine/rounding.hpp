// Worst-case rounding of the pruning bounds: how far float32 block dot products and the double
// bookkeeping around them can stray from exact arithmetic, so that no bound cuts a row it must keep.
#pragma once

#include <cmath>
#include <cstddef>

namespace rivezor::rounding {

inline constexpr double kUnitF32 = 0x1p-24;  // unit roundoff of float32
inline constexpr double kUnitF64 = 0x1p-53;  // unit roundoff of double
// The worst-case analyses are doubled so that a miscount of a rounding or two can never make
// a margin too small.
inline constexpr double kSafety = 2.0;

// Relative error bound of `m` chained float32 roundings (the classic gamma_m).
inline double gamma_f32(double m) {
    const double mu = m * kUnitF32;
    return mu < 0.5 ? mu / (1.0 - mu) : INFINITY;
}

// Roundings one product term passes through in the 8-lane summation over `len`
// components: the product, at most len/8 - 1 lane additions, three for the lane reduction,
// one for A + B and up to seven trailing additions. Below 8 components it is a plain
// left-to-right sum.
inline double lane_scheme_depth(std::size_t len) {
    return len < 8 ? static_cast<double>(len) + 1.0 : static_cast<double>(len / 8) + 12.0;
}

// At least the exact norm of a query whose squared norm was summed in double.
inline double query_norm_above(double energy) { return std::sqrt(energy) * (1.0 + 4.0 * kUnitF64); }

// At least the exact norm of a row from its float32 norm (a float cast and a float sqrt).
inline double row_norm_above(float nx) { return static_cast<double>(nx) * (1.0 + 4.0 * kUnitF32) + 0x1p-70; }

// A remaining squared norm taken as a difference of double sums of `terms` additions in all
// may be off by terms·u·energy; under the square root that absolute error becomes at most
// its own square root.
inline double remainder_error(double terms, double energy) { return std::sqrt(terms * kUnitF64 * energy); }

// The slack actually used: the fixed one unless the rounding bound exceeds it.
// NaN (a non-finite row) keeps the fixed slack; such a row's bound is NaN or infinite anyway.
inline double at_least(double margin, double fixed) { return margin > fixed ? margin : fixed; }

// Slack of the pruned single-query scan for similarity metrics. A row is dropped when the
// worst kept score exceeds partial + sqrt(rx)·sqrt(rq) + slack; were it kept, its score would
// be the float32 rounding of the double sum of all its block dots. The slack must cover what
// separates the two: the float32 rounding of the blocks not yet visited (visited ones appear
// identically on both sides), the errors of rx and rq as differences of double sums, the
// double sum of the partials and of the bound itself, and the final cast to float32.
class PrunedSlack {
public:
    static constexpr double kFixed = 0.0001;

    PrunedSlack(std::size_t dims, std::size_t nblocks, std::size_t widest_block, double q_energy) {
        const double nb = static_cast<double>(nblocks);
        const double blocks = gamma_f32(lane_scheme_depth(widest_block));
        // Remaining query energy: the block sums, the total and the covered part.
        const double q_terms = 2.0 * nb + static_cast<double>(widest_block) + 4.0;
        // Remaining row energy: the whole-row sum less the covered block sums.
        const double x_terms = static_cast<double>(dims) + 2.0 * nb + static_cast<double>(widest_block) + 4.0;
        // Per unit of ||q||·||x||: sqrt(rq) and sqrt(rx) each fall short of the exact remaining
        // norms by at most these, relative to the whole norms.
        const double q_rem = std::sqrt(q_terms * kUnitF64);
        const double x_rem = std::sqrt(x_terms * kUnitF64);
        const double relative = blocks + 2.0 * kUnitF32 + (nb + 16.0) * kUnitF64 + q_rem + x_rem + q_rem * x_rem;
        per_norm_x_ = kSafety * relative * query_norm_above(q_energy);
    }

    // The slack for a row of float32 norm nx.
    double slack(float nx) const { return at_least(per_norm_x_ * row_norm_above(nx), kFixed); }

private:
    double per_norm_x_ = 0.0;
};

}  // namespace rivezor::rounding
