// The layer's block kernels with AVX-512: lane 16k + i is element i of vector
// k. A partial last row is a masked load, whose empty lanes are skipped.
#include <immintrin.h>

#include "ops/layer_fold_x86.hpp"
#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

namespace {

constexpr int kVectors = 4;

float fold(__m512* v) noexcept {
  for (int k = 0; k < 2; ++k) v[k] = _mm512_add_ps(v[k], v[k + 2]);  // w = 32
  alignas(64) float lane[16];
  _mm512_store_ps(lane, _mm512_add_ps(v[0], v[1]));  // w = 16
  return fold_eight_lanes(_mm256_add_ps(_mm256_load_ps(lane), _mm256_load_ps(lane + 8)));  // w = 8
}

// Lanes of a partial row at and after `count`.
__mmask16 row_mask(std::uint32_t count, int k) noexcept {
  const int have = static_cast<int>(count) - 16 * k;
  if (have <= 0) return 0;
  return have >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << have) - 1);
}

}  // namespace

float layer_block_sum_avx512(const float* x, std::uint32_t count) noexcept {
  __m512 v[kVectors];
  for (auto& r : v) r = _mm512_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kVectors; ++k) v[k] = _mm512_add_ps(v[k], _mm512_loadu_ps(x + t + 16 * k));
  for (int k = 0; k < kVectors && t < count; ++k) {
    const __mmask16 m = row_mask(count - t, k);
    v[k] = _mm512_mask_add_ps(v[k], m, v[k], _mm512_maskz_loadu_ps(m, x + t + 16 * k));
  }
  return fold(v);
}

float layer_block_dot_avx512(const float* a, const float* b, std::uint32_t count) noexcept {
  __m512 v[kVectors];
  for (auto& r : v) r = _mm512_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kVectors; ++k)
      v[k] = _mm512_fmadd_ps(_mm512_loadu_ps(a + t + 16 * k), _mm512_loadu_ps(b + t + 16 * k), v[k]);
  for (int k = 0; k < kVectors && t < count; ++k) {
    const __mmask16 m = row_mask(count - t, k);
    v[k] = _mm512_mask3_fmadd_ps(_mm512_maskz_loadu_ps(m, a + t + 16 * k), _mm512_maskz_loadu_ps(m, b + t + 16 * k),
                                 v[k], m);
  }
  return fold(v);
}

}  // namespace zoltra::ops
