// The axis reductions' inner loops with AVX2.
//
// _mm256_max_ps(v, r) is, lane by lane, v > r ? v : r (r when either is NaN
// or both are zeros): exactly one step of the strided max fold, so a vector
// of side-by-side outputs folds each in its own order with the same bits.
#include <immintrin.h>

#include <cstring>

#include "common/unaligned.hpp"
#include "ops/axis_reduce_lanes.hpp"

namespace zoltra::ops {
namespace {

struct Sum {
  static __m256 apply(__m256 r, __m256 v) noexcept { return _mm256_add_ps(r, v); }
  static float apply(float r, float v) noexcept { return r + v; }
};
struct Max {
  static __m256 apply(__m256 r, __m256 v) noexcept { return _mm256_max_ps(v, r); }
  static float apply(float r, float v) noexcept { return v > r ? v : r; }
};
struct Min {
  static __m256 apply(__m256 r, __m256 v) noexcept { return _mm256_min_ps(v, r); }
  static float apply(float r, float v) noexcept { return v < r ? v : r; }
};

template <bool kMax>
__m256 pick(__m256 v, __m256 r) noexcept {
  return kMax ? Max::apply(r, v) : Min::apply(r, v);
}

template <bool kMax>
float pick(float v, float r) noexcept {
  return kMax ? Max::apply(r, v) : Min::apply(r, v);
}

// Four vectors of accumulators at a time stay in registers through all n
// steps, each step one dependent operation per lane, in row order.
template <class Fold>
void fold_rows(float* acc, const float* const* rows, std::uint64_t n, std::uint64_t width) noexcept {
  std::uint64_t j = 0;
  for (; width - j >= 32; j += 32) {
    __m256 r0 = _mm256_loadu_ps(acc + j), r1 = _mm256_loadu_ps(acc + j + 8);
    __m256 r2 = _mm256_loadu_ps(acc + j + 16), r3 = _mm256_loadu_ps(acc + j + 24);
    for (std::uint64_t k = 0; k < n; ++k) {
      const float* row = rows[k] + j;
      r0 = Fold::apply(r0, _mm256_loadu_ps(row));
      r1 = Fold::apply(r1, _mm256_loadu_ps(row + 8));
      r2 = Fold::apply(r2, _mm256_loadu_ps(row + 16));
      r3 = Fold::apply(r3, _mm256_loadu_ps(row + 24));
    }
    _mm256_storeu_ps(acc + j, r0);
    _mm256_storeu_ps(acc + j + 8, r1);
    _mm256_storeu_ps(acc + j + 16, r2);
    _mm256_storeu_ps(acc + j + 24, r3);
  }
  for (; width - j >= 8; j += 8) {
    __m256 r = _mm256_loadu_ps(acc + j);
    for (std::uint64_t k = 0; k < n; ++k) r = Fold::apply(r, _mm256_loadu_ps(rows[k] + j));
    _mm256_storeu_ps(acc + j, r);
  }
  for (; j < width; ++j) {
    float r = acc[j];
    for (std::uint64_t k = 0; k < n; ++k) r = Fold::apply(r, rows[k][j]);
    acc[j] = r;
  }
}

// The strided fold keeps its first element when that is a NaN and otherwise
// skips NaNs, ending on the first element equal to the extreme value. So the
// lanes need only find that value, in any order; only when it is a zero can
// the first of the equal elements differ in bits (-0.0 or +0.0), and then it
// is looked up.
template <bool kMax>
float extreme_run(const float* data, std::uint64_t count) noexcept {
  const float first = load_unaligned<float>(data);
  if (first != first) return first;
  __m256 r0 = _mm256_set1_ps(first), r1 = r0, r2 = r0, r3 = r0;
  std::uint64_t i = 0;
  for (; count - i >= 32; i += 32) {
    r0 = pick<kMax>(_mm256_loadu_ps(data + i), r0);
    r1 = pick<kMax>(_mm256_loadu_ps(data + i + 8), r1);
    r2 = pick<kMax>(_mm256_loadu_ps(data + i + 16), r2);
    r3 = pick<kMax>(_mm256_loadu_ps(data + i + 24), r3);
  }
  for (; count - i >= 8; i += 8) r0 = pick<kMax>(_mm256_loadu_ps(data + i), r0);
  const __m256 r = pick<kMax>(pick<kMax>(r0, r1), pick<kMax>(r2, r3));
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, r);
  float m = first;
  for (float v : lanes) m = pick<kMax>(v, m);
  for (; i < count; ++i) m = pick<kMax>(load_unaligned<float>(data + i), m);
  if (m != 0.0f) return m;
  for (std::uint64_t k = 0;; ++k) {
    const float v = load_unaligned<float>(data + k);
    if (v == 0.0f) return v;
  }
}

}  // namespace

AxisReduceKernels axis_reduce_avx2() noexcept {
  return {fold_rows<Sum>, fold_rows<Max>, fold_rows<Min>,    sum_u32_step,
          all_u8_step,    any_u8_step,    extreme_run<true>, extreme_run<false>};
}

}  // namespace zoltra::ops
