// The contiguous runs of argmax/argmin on 256-bit vectors, in two passes:
// the extreme value (and whether there is a NaN) over the whole run, then
// the first element equal to it (or the first NaN), which stops at the
// answer. Both are exact, so the index is the plain fold's.
#include <immintrin.h>

#include <bit>

#include "ops/argextremum_variants.hpp"

namespace zoltra::ops {
namespace {

// The first i in [0, n) with x[i] == value, or with x[i] a NaN when
// value is one.
std::uint64_t first_match(const float* x, std::uint64_t n, float value) noexcept {
  const bool nan = value != value;
  const __m256 v = _mm256_set1_ps(value);
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8) {
    const __m256 y = _mm256_loadu_ps(x + i);
    const int mask = _mm256_movemask_ps(nan ? _mm256_cmp_ps(y, y, _CMP_UNORD_Q) : _mm256_cmp_ps(y, v, _CMP_EQ_OQ));
    if (mask != 0) return i + static_cast<std::uint64_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
  for (; i < n; ++i)
    if (nan ? x[i] != x[i] : x[i] == value) return i;
  return 0;  // not reached: value is one of x
}

template <bool kLargest>
std::uint64_t run(const float* x, std::uint64_t n) noexcept {
  if (n < 32) {
    std::uint64_t index = 0;
    for (std::uint64_t i = 1; i < n; ++i)
      if (replaces<kLargest>(x[i], x[index])) index = i;
    return index;
  }
  // Four chains of vectors; a NaN only marks `unordered`, the extreme of
  // the others is then unused.
  __m256 m[4], unordered = _mm256_setzero_ps();
  for (int k = 0; k < 4; ++k) {
    m[k] = _mm256_loadu_ps(x + 8 * k);
    unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(m[k], m[k], _CMP_UNORD_Q));
  }
  std::uint64_t i = 32;
  for (; n - i >= 32; i += 32) {
    for (int k = 0; k < 4; ++k) {
      const __m256 y = _mm256_loadu_ps(x + i + 8 * k);
      m[k] = kLargest ? _mm256_max_ps(m[k], y) : _mm256_min_ps(m[k], y);
      unordered = _mm256_or_ps(unordered, _mm256_cmp_ps(y, y, _CMP_UNORD_Q));
    }
  }
  if (_mm256_movemask_ps(unordered) != 0) return first_match(x, n, __builtin_nanf(""));
  __m256 all = kLargest ? _mm256_max_ps(_mm256_max_ps(m[0], m[1]), _mm256_max_ps(m[2], m[3]))
                        : _mm256_min_ps(_mm256_min_ps(m[0], m[1]), _mm256_min_ps(m[2], m[3]));
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, all);
  float best = lanes[0];
  for (int k = 1; k < 8; ++k)
    if (kLargest ? lanes[k] > best : lanes[k] < best) best = lanes[k];
  for (; i < n; ++i) {
    if (x[i] != x[i]) return first_match(x, n, x[i]);
    if (kLargest ? x[i] > best : x[i] < best) best = x[i];
  }
  return first_match(x, n, best);
}

}  // namespace

ArgRunKernels argextremum_avx2() noexcept { return {run<true>, run<false>}; }

}  // namespace zoltra::ops
