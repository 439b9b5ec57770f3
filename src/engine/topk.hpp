// Top-k selection shared by every path: the total order on float32 scores, ties by row,
// non-finite scores dropped; one streaming selector for score arrays, a bounded heap for the
// scans that consult the k-th score after every row, and a merge for candidate lists.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <atomic>
#include <mutex>
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

// Keeps the best k hits seen; the root is the worst kept. For the pruned and certified scans,
// which decide each row against the current k-th score; arrays of scores go through
// StreamingTopK instead. A new hit replaces the root only
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

// The best k found so far by all pieces of one scan. Each piece hands in its candidates when it
// finishes; the k-th best of the merged set is published as a bar that rows of pieces still
// running must beat. A row strictly worse than k hits already found cannot be among the best
// k, so the bar only ever drops losers, and the answer stays the unique best k under the hit
// order whatever the timing.
class SharedBest {
public:
    SharedBest(std::size_t k, bool higher_is_better) : best_(k, higher_is_better) {}

    // The published bar's order key, if any.
    bool bar(std::int32_t& key) const {
        if (!has_bar_.load(std::memory_order_acquire)) return false;
        key = bar_.load(std::memory_order_relaxed);
        return true;
    }

    void absorb(const std::vector<Hit>& hits);

    // The best k, best first.
    std::vector<Hit> take();

private:
    std::mutex mutex_;
    // A heap, so that a piece's few late candidates cost a compare each under the lock, not a
    // selection over all k kept (1M x 128, k = 1000: 125 pieces).
    BoundedHeap best_;
    std::atomic<bool> has_bar_{false};
    std::atomic<std::int32_t> bar_{0};
};

// The one streaming selector: keeps the best k (k >= 1) of scores offered in increasing row
// order. A row whose score is not strictly better than the k-th kept can never enter (equal
// scores lose to the earlier row), so once k are kept, most rows are rejected by the vector
// candidate filter without being looked at one by one. Up to kHeapMaxK the kept rows form a
// heap whose root tightens that limit with every entry; for larger k, candidates pile up in a
// buffer cut back to k whenever it fills, which orders far fewer hits. With a shared bar, rows
// must also not be strictly worse than it; equal to it they may still win on their row number.
class StreamingTopK {
public:
    StreamingTopK(std::size_t k, bool higher_is_better, std::size_t expected, const SharedBest* shared = nullptr);

    // Scores of rows base, base + 1, ...; rows must come in increasing order across calls.
    void offer(const float* scores, std::size_t n, std::uint64_t base);
    // At most k hits, in no particular order.
    std::vector<Hit> take();

    // Scores per candidate-filter step: the shared bar is consulted once a step, and the
    // offsets of a step's candidates live on the stack.
    static constexpr std::size_t kStep = 256;
    static constexpr std::size_t kHeapMaxK = 32;

private:
    void offer_step(const float* scores, std::size_t n, std::uint64_t base);
    void tighten(std::int32_t key, bool exclusive);
    void cut();

    std::size_t k_;
    bool higher_;
    std::size_t cap_;
    const SharedBest* shared_;
    bool use_heap_;
    BoundedHeap heap_;
    bool has_limit_ = false;
    std::int32_t limit_ = 0;
    std::vector<Hit> buf_;
};

// Best k of scores[0..n), best first; idx = base + offset.
std::vector<Hit> top_k_of_scores(const float* scores, std::size_t n, std::size_t k, bool higher_is_better,
                                 std::uint64_t base = 0);

// Best k over all candidate lists (any split, any internal order), best first.
std::vector<Hit> merge(std::vector<std::vector<Hit>>& lists, std::size_t k, bool higher_is_better);
// Best k of one list, best first (partial selection when it holds more than k).
void select_best(std::vector<Hit>& hits, std::size_t k, bool higher_is_better);

void sort_hits(std::vector<Hit>& hits, bool higher_is_better);

}  // namespace rivezor::topk
