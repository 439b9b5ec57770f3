// Bounded heap, top-k of a score array, merge and sort under the strict hit order; since
// the order is total, results do not depend on how candidates were split.
#include "engine/topk.hpp"

#include <immintrin.h>

#include <algorithm>
#include <utility>

#include "runtime/cpu_features.hpp"

namespace rivezor::topk {
namespace {

bool passes(float s, const std::int32_t* limit, bool higher_is_better) {
    if (!is_finite_value(s)) return false;
    if (limit == nullptr) return true;
    const std::int32_t key = order_key(s);
    return higher_is_better ? key >= *limit : key <= *limit;
}

std::size_t candidates_scalar(const float* scores, std::size_t n, const std::int32_t* limit, bool higher_is_better,
                              std::uint32_t* offsets) {
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (passes(scores[i], limit, higher_is_better)) offsets[m++] = static_cast<std::uint32_t>(i);
    return m;
}

RIVEZOR_TARGET_AVX2 std::size_t candidates_avx2(const float* scores, std::size_t n,
                                                                  const std::int32_t* limit, bool higher_is_better,
                                                                  std::uint32_t* offsets) {
    const __m256i exponent_i32x8 = _mm256_set1_epi32(0x7F800000);
    const __m256i limit_i32x8 = _mm256_set1_epi32(limit != nullptr ? *limit : 0);
    std::size_t m = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i bits_i32x8 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scores + i));
        __m256i reject_i32x8 =
            _mm256_cmpeq_epi32(_mm256_and_si256(bits_i32x8, exponent_i32x8), exponent_i32x8);
        if (limit != nullptr) {
            // order_key: the 31 low bits flipped when the sign bit is set.
            const __m256i key_i32x8 =
                _mm256_xor_si256(bits_i32x8, _mm256_srli_epi32(_mm256_srai_epi32(bits_i32x8, 31), 1));
            reject_i32x8 = _mm256_or_si256(reject_i32x8, higher_is_better ? _mm256_cmpgt_epi32(limit_i32x8, key_i32x8)
                                                                          : _mm256_cmpgt_epi32(key_i32x8, limit_i32x8));
        }
        unsigned keep = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(reject_i32x8))) & 0xFFu;
        while (keep != 0) {
            offsets[m++] = static_cast<std::uint32_t>(i + static_cast<std::size_t>(__builtin_ctz(keep)));
            keep &= keep - 1;
        }
    }
    for (; i < n; ++i)
        if (passes(scores[i], limit, higher_is_better)) offsets[m++] = static_cast<std::uint32_t>(i);
    return m;
}

}  // namespace

std::size_t candidates(const float* scores, std::size_t n, const std::int32_t* limit, bool higher_is_better,
                       std::uint32_t* offsets) {
    if (runtime::kernel_simd() == runtime::Simd::avx2) return candidates_avx2(scores, n, limit, higher_is_better, offsets);
    return candidates_scalar(scores, n, limit, higher_is_better, offsets);
}

BoundedHeap::BoundedHeap(std::size_t k, bool higher_is_better) : k_(k), order_{higher_is_better} {
    heap_.reserve(k + 1);
}

// Heap invariant: every parent is worse than its children under the hit order, so the
// root is the worst kept hit.
void BoundedHeap::sift_up(std::size_t i) {
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!order_(heap_[parent], heap_[i])) break;  // parent already worse than child
        std::swap(heap_[parent], heap_[i]);
        i = parent;
    }
}

void BoundedHeap::sift_down(std::size_t i) {
    const std::size_t n = heap_.size();
    for (;;) {
        const std::size_t l = 2 * i + 1, r = l + 1;
        std::size_t worst = i;
        if (l < n && order_(heap_[worst], heap_[l])) worst = l;
        if (r < n && order_(heap_[worst], heap_[r])) worst = r;
        if (worst == i) return;
        std::swap(heap_[i], heap_[worst]);
        i = worst;
    }
}

bool BoundedHeap::offer(std::uint64_t idx, float score) {
    if (k_ == 0 || !is_finite_value(score)) return false;
    const Hit hit{idx, score};
    if (heap_.size() < k_) {
        heap_.push_back(hit);
        sift_up(heap_.size() - 1);
        return true;
    }
    if (!order_(hit, heap_.front())) return false;
    heap_.front() = hit;
    sift_down(0);
    return true;
}

std::vector<Hit> BoundedHeap::take_sorted() {
    std::vector<Hit> out = std::move(heap_);
    heap_.clear();
    std::sort(out.begin(), out.end(), order_);
    return out;
}

std::vector<Hit> top_k_of_scores(const float* scores, std::size_t n, std::size_t k, bool higher_is_better,
                                 std::uint64_t base) {
    if (k == 0) return {};
    BoundedHeap heap(k, higher_is_better);
    for (std::size_t i = 0; i < n; ++i) {
        const float s = scores[i];
        if (!is_finite_value(s)) continue;
        // Cheap rejection before building a hit: most scores lose to a full heap's root.
        if (heap.full()) {
            const std::int32_t ks = order_key(s), kw = order_key(heap.worst().score);
            if (higher_is_better ? ks < kw : ks > kw) continue;
        }
        heap.offer(base + i, s);
    }
    return heap.take_sorted();
}

void sort_hits(std::vector<Hit>& hits, bool higher_is_better) {
    std::sort(hits.begin(), hits.end(), HitOrder{higher_is_better});
}

void select_best(std::vector<Hit>& hits, std::size_t k, bool higher_is_better) {
    const HitOrder order{higher_is_better};
    if (hits.size() > k) {
        std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(k), hits.end(), order);
        hits.resize(k);
    }
    std::sort(hits.begin(), hits.end(), order);
}

std::vector<Hit> merge(std::vector<std::vector<Hit>>& lists, std::size_t k, bool higher_is_better) {
    std::size_t total = 0;
    for (const auto& l : lists) total += l.size();
    std::vector<Hit> all;
    all.reserve(total);
    for (auto& l : lists) all.insert(all.end(), l.begin(), l.end());
    select_best(all, k, higher_is_better);
    return all;
}

}  // namespace rivezor::topk
