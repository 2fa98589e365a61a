#pragma once
// The one fixed fold of an 8-lane float accumulator to a scalar:
// x_l = lane_l + lane_(l+4), then (x0 + x1) + (x2 + x3). Include only from
// translation units compiled for AVX2.
#include <immintrin.h>

namespace zoltra::ops {

// static: each instruction-set translation unit keeps its own copy.
[[gnu::always_inline]] static inline float fold_lanes_avx2(__m256 acc) noexcept {
  const __m128 x = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
  const __m128 pairs = _mm_add_ps(x, _mm_movehdup_ps(x));  // lane 0: x0 + x1, lane 2: x2 + x3
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
}

}  // namespace zoltra::ops
