// The layer's block kernels with AVX2: lane 8k + i is element i of vector k.
// A partial last row is read with masked loads, its empty lanes given values
// that leave a lane as it is: -0.0 for sums, -0.0 * +0.0 for dot.
#include <immintrin.h>

#include "ops/layer_fold_x86.hpp"
#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

namespace {

constexpr int kVectors = 8;

float fold(__m256* v) noexcept {
  for (int k = 0; k < 4; ++k) v[k] = _mm256_add_ps(v[k], v[k + 4]);  // w = 32
  for (int k = 0; k < 2; ++k) v[k] = _mm256_add_ps(v[k], v[k + 2]);  // w = 16
  return fold_eight_lanes(_mm256_add_ps(v[0], v[1]));                  // w = 8
}

// Lanes 8k + i < count of a partial row.
__m256i row_mask(std::uint32_t count, int k) noexcept {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count) - 8 * k), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// The lanes of x under the mask, -0.0 in the others.
__m256 masked_or_negative_zero(const float* x, __m256i mask) noexcept {
  return _mm256_blendv_ps(_mm256_set1_ps(-0.0f), _mm256_maskload_ps(x, mask), _mm256_castsi256_ps(mask));
}

}  // namespace

float layer_block_sum_avx2(const float* x, std::uint32_t count) noexcept {
  __m256 v[kVectors];
  for (auto& r : v) r = _mm256_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kVectors; ++k) v[k] = _mm256_add_ps(v[k], _mm256_loadu_ps(x + t + 8 * k));
  for (int k = 0; k < kVectors && t + 8 * k < count; ++k)
    v[k] = _mm256_add_ps(v[k], masked_or_negative_zero(x + t + 8 * k, row_mask(count - t, k)));
  return fold(v);
}

float layer_block_dot_avx2(const float* a, const float* b, std::uint32_t count) noexcept {
  __m256 v[kVectors];
  for (auto& r : v) r = _mm256_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kVectors; ++k)
      v[k] = _mm256_fmadd_ps(_mm256_loadu_ps(a + t + 8 * k), _mm256_loadu_ps(b + t + 8 * k), v[k]);
  for (int k = 0; k < kVectors && t + 8 * k < count; ++k) {
    const __m256i mask = row_mask(count - t, k);
    v[k] = _mm256_fmadd_ps(masked_or_negative_zero(a + t + 8 * k, mask), _mm256_maskload_ps(b + t + 8 * k, mask), v[k]);
  }
  return fold(v);
}

void layer_add_row_avx2(float* lane, const char* src, std::uint64_t width) noexcept {
  std::uint64_t j = 0;
  for (; j + 8 <= width; j += 8) {
    const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(src + 4 * j));
    _mm256_storeu_ps(lane + j, _mm256_add_ps(_mm256_loadu_ps(lane + j), v));
  }
  layer_add_row_portable(lane + j, src + 4 * j, width - j);
}

}  // namespace zoltra::ops
