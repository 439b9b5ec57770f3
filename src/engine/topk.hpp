// Top-k selection shared by every path: the total order on float32 scores, ties by row,
// non-finite scores dropped; a bounded heap for streams and a merge for candidate lists.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/float_bits.hpp"
#include "core/hits.hpp"

namespace rivezor::topk {

// Strict hit order: better score under the direction, identical bits broken by lower row.
inline bool better(const Hit& a, const Hit& b, bool higher_is_better) {
    const std::int32_t ka = order_key(a.score), kb = order_key(b.score);
    if (ka != kb) return higher_is_better ? ka > kb : ka < kb;
    return a.idx < b.idx;
}

struct HitOrder {
    bool higher_is_better;
    bool operator()(const Hit& a, const Hit& b) const { return better(a, b, higher_is_better); }
};

// Keeps the best k hits seen; the root is the worst kept. A new hit replaces the root only
// when strictly better, so among equal scores the earliest rows offered stay.
class BoundedHeap {
public:
    BoundedHeap(std::size_t k, bool higher_is_better);
    std::size_t capacity() const { return k_; }
    std::size_t size() const { return heap_.size(); }
    bool full() const { return heap_.size() >= k_; }
    // The worst kept hit; only valid when size() > 0.
    const Hit& worst() const { return heap_.front(); }
    // Offers a hit; non-finite scores are dropped. Returns true when the hit was kept.
    bool offer(std::uint64_t idx, float score);
    // The kept hits, best first; leaves the heap empty.
    std::vector<Hit> take_sorted();

private:
    void sift_up(std::size_t i);
    void sift_down(std::size_t i);
    std::size_t k_;
    HitOrder order_;
    std::vector<Hit> heap_;
};

// Writes the offsets of the scores in [0, n) that are finite and, when `limit` is given,
// whose order key is at least *limit (higher is better) or at most *limit (lower is better);
// returns how many. Most scores of a scan fail the limit, so this test runs eight at a time.
std::size_t candidates(const float* scores, std::size_t n, const std::int32_t* limit, bool higher_is_better,
                       std::uint32_t* offsets);

// Best k of scores[0..n), best first; idx = base + offset.
std::vector<Hit> top_k_of_scores(const float* scores, std::size_t n, std::size_t k, bool higher_is_better,
                                 std::uint64_t base = 0);

// Best k over all candidate lists (any split, any internal order), best first.
std::vector<Hit> merge(std::vector<std::vector<Hit>>& lists, std::size_t k, bool higher_is_better);
// Best k of one list, best first (partial selection when it holds more than k).
void select_best(std::vector<Hit>& hits, std::size_t k, bool higher_is_better);

void sort_hits(std::vector<Hit>& hits, bool higher_is_better);

}  // namespace rivezor::topk
