// The layer's block kernels with AVX2: lane 8k + i is element i of vector k.
// A partial last row is read with masked loads, its empty lanes given values
// that leave a lane as it is: -0.0 for sums, -0.0 * +0.0 for dot.
#include <immintrin.h>

#include <limits>

#include "common/unaligned.hpp"
#include "ops/layer_lanes_avx2.hpp"
#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

float layer_block_sum_avx2(const float* x, std::uint32_t count) noexcept {
  __m256 v[kLaneVectors];
  for (auto& r : v) r = _mm256_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kLaneVectors; ++k) v[k] = _mm256_add_ps(v[k], _mm256_loadu_ps(x + t + 8 * k));
  for (int k = 0; k < kLaneVectors && t + 8 * k < count; ++k)
    v[k] = _mm256_add_ps(v[k], masked_or_negative_zero(x + t + 8 * k, row_mask(count - t, k)));
  return fold_lane_vectors(v);
}

float layer_block_dot_avx2(const float* a, const float* b, std::uint32_t count) noexcept {
  __m256 v[kLaneVectors];
  for (auto& r : v) r = _mm256_set1_ps(-0.0f);
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (int k = 0; k < kLaneVectors; ++k)
      v[k] = _mm256_fmadd_ps(_mm256_loadu_ps(a + t + 8 * k), _mm256_loadu_ps(b + t + 8 * k), v[k]);
  for (int k = 0; k < kLaneVectors && t + 8 * k < count; ++k) {
    const __m256i mask = row_mask(count - t, k);
    v[k] = _mm256_fmadd_ps(masked_or_negative_zero(a + t + 8 * k, mask), _mm256_maskload_ps(b + t + 8 * k, mask), v[k]);
  }
  return fold_lane_vectors(v);
}

void layer_add_row_avx2(float* lane, const char* src, std::uint64_t width) noexcept {
  std::uint64_t j = 0;
  for (; j + 8 <= width; j += 8) {
    const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(src + 4 * j));
    _mm256_storeu_ps(lane + j, _mm256_add_ps(_mm256_loadu_ps(lane + j), v));
  }
  layer_add_row_portable(lane + j, src + 4 * j, width - j);
}

namespace {

// The keys of layer_order_key, eight at a time.
__m256i keys(__m256 x) noexcept {
  const __m256i bits = _mm256_castps_si256(x);
  return _mm256_xor_si256(bits, _mm256_srli_epi32(_mm256_srai_epi32(bits, 31), 1));
}

template <bool Larger>
__m256i pick(__m256i a, __m256i b) noexcept {
  if constexpr (Larger) return _mm256_max_epi32(a, b);
  else return _mm256_min_epi32(a, b);
}

template <bool Larger>
std::int32_t pick(std::int32_t a, std::int32_t b) noexcept {
  return (a > b) == Larger ? a : b;
}

template <bool Larger>
float extremum(const float* x, std::uint32_t count) noexcept {
  // Two chains, so that neither waits on the other's latency.
  __m256i best0 = _mm256_set1_epi32(layer_order_key(load_unaligned<float>(x))), best1 = best0;
  __m256 nan0 = _mm256_setzero_ps(), nan1 = nan0;
  std::uint32_t t = 0;
  for (; t + 16 <= count; t += 16) {
    const __m256 v0 = _mm256_loadu_ps(x + t), v1 = _mm256_loadu_ps(x + t + 8);
    nan0 = _mm256_or_ps(nan0, _mm256_cmp_ps(v0, v0, _CMP_UNORD_Q));
    nan1 = _mm256_or_ps(nan1, _mm256_cmp_ps(v1, v1, _CMP_UNORD_Q));
    best0 = pick<Larger>(best0, keys(v0));
    best1 = pick<Larger>(best1, keys(v1));
  }
  bool nan = _mm256_movemask_ps(_mm256_or_ps(nan0, nan1)) != 0;
  alignas(32) std::int32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), pick<Larger>(best0, best1));
  std::int32_t k = lanes[0];
  for (int i = 1; i < 8; ++i) k = pick<Larger>(k, lanes[i]);
  for (; t < count; ++t) {  // at most 15 values
    const float v = load_unaligned<float>(x + t);
    nan |= v != v;
    k = pick<Larger>(k, layer_order_key(v));
  }
  return nan ? std::numeric_limits<float>::quiet_NaN() : layer_value_of_key(k);
}

template <bool Larger>
void extremum_row(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  const __m256 nan_key = _mm256_castsi256_ps(_mm256_set1_epi32(Larger ? std::numeric_limits<std::int32_t>::max()
                                                                      : std::numeric_limits<std::int32_t>::min()));
  std::uint64_t j = 0;
  for (; j + 8 <= width; j += 8) {
    const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(src + 4 * j));
    const __m256 k = _mm256_blendv_ps(_mm256_castsi256_ps(keys(v)), nan_key, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
    auto* b = reinterpret_cast<__m256i*>(best + j);
    _mm256_storeu_si256(b, pick<Larger>(_mm256_loadu_si256(b), _mm256_castps_si256(k)));
  }
  if (Larger) layer_max_row_portable(best + j, src + 4 * j, width - j);
  else layer_min_row_portable(best + j, src + 4 * j, width - j);
}

}  // namespace

void layer_max_row_avx2(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  extremum_row<true>(best, src, width);
}

void layer_min_row_avx2(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  extremum_row<false>(best, src, width);
}

float layer_block_max_avx2(const float* x, std::uint32_t count) noexcept { return extremum<true>(x, count); }
float layer_block_min_avx2(const float* x, std::uint32_t count) noexcept { return extremum<false>(x, count); }

}  // namespace zoltra::ops
