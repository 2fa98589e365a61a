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

template <bool kMax>
__m256 pick(__m256 v, __m256 r) noexcept {
  return kMax ? _mm256_max_ps(v, r) : _mm256_min_ps(v, r);
}

template <bool kMax>
float pick(float v, float r) noexcept {
  return kMax ? (v > r ? v : r) : (v < r ? v : r);
}

template <bool kMax>
void extreme_step(float* acc, const float* row, std::uint64_t width) noexcept {
  std::uint64_t j = 0;
  for (; width - j >= 8; j += 8)
    _mm256_storeu_ps(acc + j, pick<kMax>(_mm256_loadu_ps(row + j), _mm256_loadu_ps(acc + j)));
  for (; j < width; ++j) acc[j] = pick<kMax>(row[j], acc[j]);
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
  return {sum_f32_step,  extreme_step<true>, extreme_step<false>, sum_u32_step,
          all_u8_step,   any_u8_step,        extreme_run<true>,   extreme_run<false>};
}

}  // namespace zoltra::ops
