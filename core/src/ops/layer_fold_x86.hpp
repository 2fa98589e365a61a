#pragma once
// The last steps of the 64-lane fold, w = 4, 2, 1, on the 8 lanes of one
// 256-bit vector. Included by one ISA file each; the anonymous namespace keeps
// each file's copy its own.
#include <immintrin.h>

namespace zoltra::ops {
namespace {

inline float fold_eight_lanes(__m256 v) noexcept {
  __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));  // w = 4
  x = _mm_add_ps(x, _mm_movehl_ps(x, x));                                          // w = 2
  x = _mm_add_ss(x, _mm_shuffle_ps(x, x, 1));                                      // w = 1
  return _mm_cvtss_f32(x);
}

}  // namespace
}  // namespace zoltra::ops
