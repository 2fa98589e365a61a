#pragma once
// The layer's 64 lanes as 8 AVX2 vectors (lane 8k + i is element i of vector
// k): the fold and the loads of a partial last row of lanes. Included by AVX2
// files only; the anonymous namespace keeps each file's copy its own.
#include <immintrin.h>

#include <cstdint>

#include "ops/layer_fold_x86.hpp"

namespace zoltra::ops {
namespace {

constexpr int kLaneVectors = 8;

// lane[l] += lane[l + w] for w = 32, 16, 8: the 8 lanes left.
inline __m256 fold_to_eight_lanes(__m256* v) noexcept {
  for (int k = 0; k < 4; ++k) v[k] = _mm256_add_ps(v[k], v[k + 4]);  // w = 32
  for (int k = 0; k < 2; ++k) v[k] = _mm256_add_ps(v[k], v[k + 2]);  // w = 16
  return _mm256_add_ps(v[0], v[1]);                                    // w = 8
}

// lane[l] += lane[l + w] for w = 32, 16, ..., 1; lane 0 is the result.
inline float fold_lane_vectors(__m256* v) noexcept { return fold_eight_lanes(fold_to_eight_lanes(v)); }

// Lanes 8k + i < count of a partial row.
inline __m256i row_mask(std::uint32_t count, int k) noexcept {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count) - 8 * k), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Lanes 8k + i in [lo, hi) of a row; lo and hi may lie outside the vector.
inline __m256i span_mask(int lo, int hi, int k) noexcept {
  const __m256i at = _mm256_add_epi32(_mm256_set1_epi32(8 * k), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  return _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(lo), at), _mm256_cmpgt_epi32(_mm256_set1_epi32(hi), at));
}

// The lanes of x under the mask, -0.0 in the others: with a masked load's
// +0.0 as the other factor, an empty lane's step adds -0.0 and leaves it.
inline __m256 masked_or_negative_zero(const float* x, __m256i mask) noexcept {
  return _mm256_blendv_ps(_mm256_set1_ps(-0.0f), _mm256_maskload_ps(x, mask), _mm256_castsi256_ps(mask));
}

}  // namespace
}  // namespace zoltra::ops
