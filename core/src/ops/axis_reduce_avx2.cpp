// The axis reductions' inner loops with AVX2.
//
// _mm256_max_ps(v, r) is, lane by lane, v > r ? v : r (r when either is NaN
// or both are zeros): exactly one step of the strided max fold, so a vector
// of side-by-side outputs folds each in its own order with the same bits.
#include <immintrin.h>

#include "ops/axis_reduce_lanes.hpp"
#include "ops/fold_steps.hpp"

namespace zoltra::ops {
namespace {

struct Sum : SumStep {
  using SumStep::apply;
  static __m256 apply(__m256 r, __m256 v) noexcept { return _mm256_add_ps(r, v); }
};
struct Max : MaxStep {
  using MaxStep::apply;
  static __m256 apply(__m256 r, __m256 v) noexcept { return _mm256_max_ps(v, r); }
};
struct Min : MinStep {
  using MinStep::apply;
  static __m256 apply(__m256 r, __m256 v) noexcept { return _mm256_min_ps(v, r); }
};

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

}  // namespace

AxisReduceKernels axis_reduce_avx2() noexcept {
  return {fold_rows<Sum>, fold_rows<Max>, fold_rows<Min>, sum_u32_step, all_u8_step, any_u8_step};
}

}  // namespace zoltra::ops
