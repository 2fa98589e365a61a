// The layer's matrix x vector kernel with AVX2. The 4 rows' 64 lanes are 32
// vectors, twice the registers, so a row of lanes is taken in four passes of
// two vectors each (8 sums, 2 loads of v shared by 8 FMAs); a lane's steps
// stay in order, since no lane belongs to two passes. The passes go over
// chunks of 1 KiB per row: the first pass reads one line in four, the
// others find theirs in L1.
#include <immintrin.h>

#include "ops/layer_lanes_avx2.hpp"
#include "ops/layer_matvec_variants.hpp"
#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

namespace {

constexpr std::uint32_t kChunk = 256;
constexpr int kPassVectors = 2;
constexpr int kRows = kLayerRowGroup;

// Vectors k, k + 1 of the lanes over the steps [begin, end).
void pass(const float* const* rows, const float* v, std::uint32_t begin, std::uint32_t end, int k,
          __m256 (*lanes)[kLaneVectors]) noexcept {
  __m256 s[kRows][kPassVectors];
#pragma GCC unroll 8
  for (int r = 0; r < kRows; ++r)
    for (int j = 0; j < kPassVectors; ++j) s[r][j] = lanes[r][k + j];
  for (std::uint32_t t = begin + 8 * k; t < end; t += kLayerLanes) {
    const __m256 v0 = _mm256_loadu_ps(v + t), v1 = _mm256_loadu_ps(v + t + 8);
#pragma GCC unroll 4
    for (int r = 0; r < kRows; ++r) {
      s[r][0] = _mm256_fmadd_ps(_mm256_loadu_ps(rows[r] + t), v0, s[r][0]);
      s[r][1] = _mm256_fmadd_ps(_mm256_loadu_ps(rows[r] + t + 8), v1, s[r][1]);
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < kRows; ++r)
    for (int j = 0; j < kPassVectors; ++j) lanes[r][k + j] = s[r][j];
}

}  // namespace

void layer_rows_dot_avx2(const float* const* rows, const float* v, std::uint32_t count, float* out) noexcept {
  __m256 lanes[kRows][kLaneVectors];
  for (auto& row : lanes)
    for (auto& l : row) l = _mm256_set1_ps(-0.0f);
  const std::uint32_t whole = count - count % kLayerLanes;
  for (std::uint32_t chunk = 0; chunk < whole; chunk += kChunk) {
    const std::uint32_t end = whole - chunk < kChunk ? whole : chunk + kChunk;
    for (int k = 0; k < kLaneVectors; k += kPassVectors) pass(rows, v, chunk, end, k, lanes);
  }
  for (int k = 0; k < kLaneVectors && whole + 8 * k < count; ++k) {
    const __m256i mask = row_mask(count - whole, k);
    const __m256 x = _mm256_maskload_ps(v + whole + 8 * k, mask);
    for (int r = 0; r < kRows; ++r)
      lanes[r][k] = _mm256_fmadd_ps(masked_or_negative_zero(rows[r] + whole + 8 * k, mask), x, lanes[r][k]);
  }
  for (int r = 0; r < kRows; ++r) out[r] = fold_lane_vectors(lanes[r]);
}

}  // namespace zoltra::ops
