// The contiguous runs of argmax/argmin on 256-bit vectors, block by block:
// each block of up to 256 elements reduces to its extreme with vector
// max/min, and a block replaces the best one only when its extreme is
// strictly beyond, so the best block is the first that holds the run's
// extreme; the first element equal to it there is the answer. A NaN, which
// the vector max/min may drop, is noted on the way, and then the run is
// scanned for the first one.
#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "ops/argextremum_variants.hpp"

namespace zoltra::ops {
namespace {

std::uint64_t first_nan(const float* x, std::uint64_t n) noexcept {
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8) {
    const __m256 y = _mm256_loadu_ps(x + i);
    const int mask = _mm256_movemask_ps(_mm256_cmp_ps(y, y, _CMP_UNORD_Q));
    if (mask != 0) return i + static_cast<std::uint64_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
  for (; i < n && x[i] == x[i]; ++i) {
  }
  return i;
}

template <bool kLargest>
__m256 extreme(__m256 a, __m256 b) noexcept {
  return kLargest ? _mm256_max_ps(a, b) : _mm256_min_ps(a, b);
}

template <bool kLargest>
float across(__m256 v) noexcept {
  __m128 h = kLargest ? _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1))
                      : _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  h = kLargest ? _mm_max_ps(h, _mm_movehl_ps(h, h)) : _mm_min_ps(h, _mm_movehl_ps(h, h));
  h = kLargest ? _mm_max_ss(h, _mm_shuffle_ps(h, h, 1)) : _mm_min_ss(h, _mm_shuffle_ps(h, h, 1));
  return _mm_cvtss_f32(h);
}

template <bool kLargest>
std::uint64_t run(const float* x, std::uint64_t n) noexcept {
  constexpr std::uint64_t kBlock = 256;
  float best = 0.0f;
  std::uint64_t best_block = 0, best_length = 0, i = 0;
  __m256 unordered = _mm256_setzero_ps();
  for (; n - i >= 32;) {
    const std::uint64_t length = std::min(kBlock, (n - i) / 32 * 32);
    const float* p = x + i;
    __m256 m[4];
    for (int k = 0; k < 4; ++k) {
      m[k] = _mm256_loadu_ps(p + 8 * k);
      unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(m[k], m[k], _CMP_UNORD_Q));
    }
    for (std::uint64_t j = 32; j < length; j += 32) {
      for (int k = 0; k < 4; ++k) {
        const __m256 y = _mm256_loadu_ps(p + j + 8 * k);
        m[k] = extreme<kLargest>(m[k], y);
        unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(y, y, _CMP_UNORD_Q));
      }
    }
    const float v = across<kLargest>(extreme<kLargest>(extreme<kLargest>(m[0], m[1]), extreme<kLargest>(m[2], m[3])));
    if (best_length == 0 || (kLargest ? v > best : v < best)) best = v, best_block = i, best_length = length;
    i += length;
  }
  if (_mm256_movemask_ps(unordered) != 0) return first_nan(x, n);
  // The tail, element by element: a NaN there is the first one.
  std::uint64_t index = n;
  for (; i < n; ++i) {
    if (x[i] != x[i]) return i;
    if (best_length == 0 || (kLargest ? x[i] > best : x[i] < best)) best = x[i], index = i, best_length = 1;
  }
  if (index != n) return index;
  const float* p = x + best_block;
  const __m256 target = _mm256_set1_ps(best);
  for (std::uint64_t j = 0;; j += 8) {
    const int mask = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(p + j), target, _CMP_EQ_OQ));
    if (mask != 0) return best_block + j + static_cast<std::uint64_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
}

}  // namespace

ArgRunKernels argextremum_avx2() noexcept { return {run<true>, run<false>}; }

}  // namespace zoltra::ops
