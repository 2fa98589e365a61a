// The layer's block kernels with AVX2: lane 8k + i is element i of vector k.
// A partial last row is padded with values that leave a lane as it is:
// -0.0 for sums, -0.0 * +0.0 for dot.
#include <immintrin.h>

#include <cstring>

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

void padded_row(float* row, const float* x, std::uint32_t count, float pad) noexcept {
  for (std::uint32_t l = 0; l < kLayerLanes; ++l) row[l] = pad;
  std::memcpy(row, x, count * sizeof(float));
}

}  // namespace

float layer_block_sum_avx2(const float* x, std::uint32_t count) noexcept {
  __m256 v[kVectors];
  for (auto& r : v) r = _mm256_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kVectors; ++k) v[k] = _mm256_add_ps(v[k], _mm256_loadu_ps(x + t + 8 * k));
  if (t < count) {
    alignas(32) float row[kLayerLanes];
    padded_row(row, x + t, count - t, -0.0f);
    for (int k = 0; k < kVectors; ++k) v[k] = _mm256_add_ps(v[k], _mm256_load_ps(row + 8 * k));
  }
  return fold(v);
}

float layer_block_dot_avx2(const float* a, const float* b, std::uint32_t count) noexcept {
  __m256 v[kVectors];
  for (auto& r : v) r = _mm256_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kVectors; ++k)
      v[k] = _mm256_fmadd_ps(_mm256_loadu_ps(a + t + 8 * k), _mm256_loadu_ps(b + t + 8 * k), v[k]);
  if (t < count) {
    alignas(32) float ra[kLayerLanes], rb[kLayerLanes];
    padded_row(ra, a + t, count - t, -0.0f);
    padded_row(rb, b + t, count - t, 0.0f);
    for (int k = 0; k < kVectors; ++k)
      v[k] = _mm256_fmadd_ps(_mm256_load_ps(ra + 8 * k), _mm256_load_ps(rb + 8 * k), v[k]);
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
