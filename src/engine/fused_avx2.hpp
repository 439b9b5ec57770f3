// Our own single-precision matrix product: fused score-and-select for the batch matrix paths (scores
// tested against each query's current bar while still in registers or L1), and the block product.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rivezor::fused {

// Receives the few scores that may still enter a query's best k. The kernel never drops a
// score that is not numerically worse than the query's bar, nor a non-finite one: deciding
// (total order, ties by row, non-finite dropped) is the sink's.
class Sink {
public:
    virtual ~Sink() = default;
    // Offers row `row` with `score` to query `query` of the problem; returns that query's new
    // bar: a later score numerically worse than it cannot enter (+-infinity while not full).
    virtual float offer(std::size_t query, std::uint64_t row, float score) = 0;
};

struct Problem {
    const float* queries;  // nq x dims, row-major
    std::size_t nq;
    const float* rows;  // count x dims, row-major (the mapped matrix in place)
    std::size_t count;
    std::size_t dims;
    std::uint64_t first_row;  // row number of rows[0]
    bool higher_is_better;
    // Euclidean only (both null otherwise): each query's and each row's sum of squares in double;
    // the score is then the norm expansion (float)(qq + xx - 2 * dot), evaluated in double.
    const double* query_sq;
    const double* row_sq;
};

// Each dot product is one chain of fused multiply-adds over the components in order, from
// zero; the tiling never changes it, so the vector and scalar forms give the same bits.
// `bars` holds each query's starting bar and ends with its last one.
void score_and_select(const Problem& p, float* bars, Sink& sink);

// The float test the vector forms put a euclidean score through before the exact one: false
// only where the score (float)(qq + xx - 2 * dot), in double, is surely above `bar`.
bool l2_floor_lets_in(double qq, double xx, float bar, float dot);

// True unless ZARIR_MATRIX_KERNEL is exactly "score_matrix" (or its older name "sgemm"; read
// on every call), which keeps the batch matrix paths on a whole score matrix and a top-k scan
// of it, for comparison; "avx2" keeps the kernels on their 8-lane form where 16-lane AVX-512
// exists, "scalar" on their scalar form. Every form and route gives the same bits.
bool chosen();

// The block product of the matrix paths: out[i * count + j] = the chain of queries row i with
// rows row j (both row-major, stride dims), every entry the same bits as score_and_select's.
// One query (the single-query matrix paths) goes by a kernel of its own.
void block_product(const float* queries, std::size_t nq, const float* rows, std::size_t count, std::size_t dims,
                   float* out);

// The dot product score_and_select uses, one pair at a time (for tests and reference).
float chain_dot(const float* q, const float* x, std::size_t dims);

}  // namespace rivezor::fused
