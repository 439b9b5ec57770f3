// Bounded heap, top-k of a score array, merge and sort under the strict hit order; since
// the order is total, results do not depend on how candidates were split.
#include "engine/topk.hpp"

#include <immintrin.h>

#include <algorithm>
#include <climits>
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

// Appends the offsets of the scores in [i, i + 8) that pass: finite and, with a limit, with
// an order key on the right side of it.
template <bool Higher, bool HasLimit>
RIVEZOR_TARGET_AVX2 __attribute__((always_inline)) inline std::size_t candidates_of_eight_avx2(
    const float* scores, std::size_t i, __m256i limit_i32x8, std::uint32_t* offsets, std::size_t m) {
    const __m256i exponent_i32x8 = _mm256_set1_epi32(0x7F800000);
    const __m256i bits_i32x8 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(scores + i));
    __m256i reject_i32x8 = _mm256_cmpeq_epi32(_mm256_and_si256(bits_i32x8, exponent_i32x8), exponent_i32x8);
    if constexpr (HasLimit) {
        // order_key: the 31 low bits flipped when the sign bit is set.
        const __m256i key_i32x8 = _mm256_xor_si256(bits_i32x8, _mm256_srli_epi32(_mm256_srai_epi32(bits_i32x8, 31), 1));
        reject_i32x8 = _mm256_or_si256(reject_i32x8, Higher ? _mm256_cmpgt_epi32(limit_i32x8, key_i32x8)
                                                            : _mm256_cmpgt_epi32(key_i32x8, limit_i32x8));
    }
    unsigned keep = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(reject_i32x8))) & 0xFFu;
    while (keep != 0) {
        offsets[m++] = static_cast<std::uint32_t>(i + static_cast<std::size_t>(__builtin_ctz(keep)));
        keep &= keep - 1;
    }
    return m;
}

template <bool Higher, bool HasLimit>
RIVEZOR_TARGET_AVX2 std::size_t candidates_avx2(const float* scores, std::size_t n, const std::int32_t* limit,
                                                std::uint32_t* offsets) {
    const __m256i limit_i32x8 = _mm256_set1_epi32(HasLimit ? *limit : 0);
    std::size_t m = 0;
    std::size_t i = 0;
    if constexpr (HasLimit) {
        // The limit as a float: a finite score whose key passes the limit also passes a plain
        // float comparison with it (which only adds -0 against +0, and NaN), so sixteen scores
        // that all fail that comparison, the common case once a scan has a limit, are passed
        // over after two compares, before any key is computed.
        const __m256 bar_f32x8 = _mm256_castsi256_ps(
            _mm256_xor_si256(limit_i32x8, _mm256_srli_epi32(_mm256_srai_epi32(limit_i32x8, 31), 1)));
        constexpr int kMaybe = Higher ? _CMP_NLT_UQ : _CMP_NGT_UQ;
        for (; i + 16 <= n; i += 16) {
            const __m256 either_f32x8 = _mm256_or_ps(_mm256_cmp_ps(_mm256_loadu_ps(scores + i), bar_f32x8, kMaybe),
                                                     _mm256_cmp_ps(_mm256_loadu_ps(scores + i + 8), bar_f32x8, kMaybe));
            if (_mm256_movemask_ps(either_f32x8) == 0) continue;
            m = candidates_of_eight_avx2<Higher, HasLimit>(scores, i, limit_i32x8, offsets, m);
            m = candidates_of_eight_avx2<Higher, HasLimit>(scores, i + 8, limit_i32x8, offsets, m);
        }
    }
    for (; i + 8 <= n; i += 8) m = candidates_of_eight_avx2<Higher, HasLimit>(scores, i, limit_i32x8, offsets, m);
    for (; i < n; ++i)
        if (passes(scores[i], limit, Higher)) offsets[m++] = static_cast<std::uint32_t>(i);
    return m;
}

}  // namespace

std::size_t candidates(const float* scores, std::size_t n, const std::int32_t* limit, bool higher_is_better,
                       std::uint32_t* offsets) {
    if (runtime::kernel_simd() != runtime::Simd::avx2) return candidates_scalar(scores, n, limit, higher_is_better, offsets);
    if (limit == nullptr)
        return higher_is_better ? candidates_avx2<true, false>(scores, n, limit, offsets)
                                : candidates_avx2<false, false>(scores, n, limit, offsets);
    return higher_is_better ? candidates_avx2<true, true>(scores, n, limit, offsets)
                            : candidates_avx2<false, true>(scores, n, limit, offsets);
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

void SharedBest::absorb(const std::vector<Hit>& hits) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Hit& h : hits) best_.offer(h.idx, h.score);
    if (!best_.full()) return;
    bar_.store(order_key(best_.worst().score), std::memory_order_relaxed);
    has_bar_.store(true, std::memory_order_release);
}

std::vector<Hit> SharedBest::take() { return best_.take_sorted(); }

StreamingTopK::StreamingTopK(std::size_t k, bool higher_is_better, std::size_t expected, const SharedBest* shared)
    : k_(k),
      higher_(higher_is_better),
      cap_(std::max(2 * k, k + 64)),
      shared_(shared),
      use_heap_(k <= kHeapMaxK),
      heap_(use_heap_ ? k : 0, higher_is_better) {
    if (!use_heap_) buf_.reserve(std::min(cap_, expected));
}

void StreamingTopK::offer(const float* scores, std::size_t n, std::uint64_t base) {
    for (std::size_t done = 0; done < n; done += kStep)
        offer_step(scores + done, std::min(kStep, n - done), base + done);
}

void StreamingTopK::offer_step(const float* scores, std::size_t n, std::uint64_t base) {
    // The bar may have risen since the last step.
    std::int32_t shared_key;
    if (shared_ != nullptr && shared_->bar(shared_key)) tighten(shared_key, false);
    std::uint32_t offsets[kStep];
    const std::size_t m = candidates(scores, n, has_limit_ ? &limit_ : nullptr, higher_, offsets);
    for (std::size_t j = 0; j < m; ++j) {
        const float s = scores[offsets[j]];
        // A cut within this step may have raised the limit since the filter ran.
        if (has_limit_) {
            const std::int32_t key = order_key(s);
            if (higher_ ? key < limit_ : key > limit_) continue;
        }
        if (use_heap_) {
            const bool was_full = heap_.full();
            if (!heap_.offer(base + offsets[j], s) || !heap_.full()) continue;
            tighten(order_key(heap_.worst().score), true);
            // The heap just filled: filter the rest of the step with the limit it gives.
            const std::size_t next = offsets[j] + 1;
            if (!was_full && m - j > 16) return offer_step(scores + next, n - next, base + next);
            continue;
        }
        buf_.push_back(Hit{base + offsets[j], s});
        // The first cut comes as soon as k candidates are in, so that a limit exists early;
        // later ones wait for the buffer to fill, to spread their cost over many rows.
        if (buf_.size() >= (has_limit_ ? cap_ : k_)) {
            cut();
            // The rest of the step goes through the vector filter again, now with the limit
            // the cut set, rather than one candidate at a time.
            const std::size_t next = offsets[j] + 1;
            if (m - j > 16) return offer_step(scores + next, n - next, base + next);
        }
    }
}

std::vector<Hit> StreamingTopK::take() {
    if (use_heap_) return heap_.take_sorted();
    if (buf_.size() > k_) cut();
    return std::move(buf_);
}

// Rows need a key at least `limit_` (similarity; at most for distance). A local cut excludes
// its own key (earlier rows win ties); the shared bar includes it.
void StreamingTopK::tighten(std::int32_t key, bool exclusive) {
    if (exclusive) {
        if (higher_) {
            if (key == INT32_MAX) return;  // nothing can beat it; keep the looser limit
            key = key + 1;
        } else {
            if (key == INT32_MIN) return;
            key = key - 1;
        }
    }
    if (!has_limit_ || (higher_ ? key > limit_ : key < limit_)) limit_ = key;
    has_limit_ = true;
}

void StreamingTopK::cut() {
    const HitOrder order{higher_};
    std::nth_element(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(k_ - 1), buf_.end(), order);
    buf_.resize(k_);
    tighten(order_key(buf_[k_ - 1].score), true);
}

std::vector<Hit> top_k_of_scores(const float* scores, std::size_t n, std::size_t k, bool higher_is_better,
                                 std::uint64_t base) {
    if (k == 0) return {};
    StreamingTopK selector(k, higher_is_better, n);
    selector.offer(scores, n, base);
    std::vector<Hit> hits = selector.take();
    sort_hits(hits, higher_is_better);
    return hits;
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
