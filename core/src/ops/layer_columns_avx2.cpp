// Whole blocks of a transposed matrix with AVX2, 8 blocks side by side. A
// block is P view rows of 4096 / P; a view column j lies in one memory row,
// where each block's P values for lane j mod 64 are neighbours. So one memory
// row gives, after a split of its 8P floats into P vectors, value r of 8
// blocks. Lane l's values are taken column by column and added in the
// block's order: every value r before value r + 1.
#include <immintrin.h>

#include "ops/layer_sum_variants.hpp"
#include "ops/transpose_avx2.hpp"

namespace zoltra::ops {

namespace {

// Groups of 8 blocks a lane takes at once: 4 chains of additions in flight.
constexpr int kGroups = 4;

template <int P>
void split(const char* p, __m256* v) noexcept {
  const auto* f = reinterpret_cast<const float*>(p);
  if constexpr (P == 1) {
    v[0] = _mm256_loadu_ps(f);
  } else if constexpr (P == 2) {
    const __m256 a = _mm256_loadu_ps(f), b = _mm256_loadu_ps(f + 8);
    v[0] = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    v[1] = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
  } else if constexpr (P == 4) {
    const __m256 r[4] = {_mm256_loadu_ps(f), _mm256_loadu_ps(f + 8), _mm256_loadu_ps(f + 16), _mm256_loadu_ps(f + 24)};
    transpose_in_lanes(r, v);
  } else {
    for (int i = 0; i < 8; ++i) v[i] = _mm256_loadu_ps(f + 8 * i);
    transpose8(v);
  }
}

// Element i of split's vectors belongs to block kBlockOf<P>[i] of the 8.
template <int P>
constexpr int kBlockOf[8] = {0, 1, 2, 3, 4, 5, 6, 7};
template <>
constexpr int kBlockOf<2>[8] = {0, 1, 4, 5, 2, 3, 6, 7};
template <>
constexpr int kBlockOf<4>[8] = {0, 2, 4, 6, 1, 3, 5, 7};

// Lane l of G groups of blocks from top on: each block's first values are
// added as they come, the others stored until those are in.
template <int P, int G>
void lane_of_groups(const char* top, std::int64_t step, int l, __m256* scratch, float* lanes) noexcept {
  constexpr int kColumns = kLayerLanes / P;  // of a block in one lane
  __m256 s[G];
  for (auto& x : s) x = _mm256_set1_ps(-0.0f);
  for (int k = 0; k < kColumns; ++k) {
    const char* column = top + static_cast<std::int64_t>(l + kLayerLanes * k) * step;
#pragma GCC unroll 4
    for (int h = 0; h < G; ++h) {
      __m256 v[P];
      split<P>(column + 32 * P * h, v);
      s[h] = _mm256_add_ps(s[h], v[0]);
      for (int r = 1; r < P; ++r) scratch[((r - 1) * kColumns + k) * G + h] = v[r];
    }
  }
#pragma GCC unroll 4
  for (int t = 0; t < (P - 1) * kColumns; ++t)
#pragma GCC unroll 4
    for (int h = 0; h < G; ++h) s[h] = _mm256_add_ps(s[h], scratch[t * G + h]);
  for (int h = 0; h < G; ++h) {
    alignas(32) float sums[8];
    _mm256_store_ps(sums, s[h]);
    for (int i = 0; i < 8; ++i) lanes[kLayerLanes * (8 * h + kBlockOf<P>[i]) + l] = sums[i];
  }
}

template <int P>
void column_lanes(const char* top, std::int64_t step, std::uint64_t groups, float* lanes) noexcept {
  alignas(32) __m256 scratch[kLayerLanes * kGroups];
  // Lane by lane, so that the few memory rows of one lane are read through
  // before the next lane's: rows a power of two apart share their cache sets.
  for (int l = 0; l < static_cast<int>(kLayerLanes); ++l) {
    std::uint64_t g = 0;
    for (; g + kGroups <= groups; g += kGroups)
      lane_of_groups<P, kGroups>(top + 32 * P * g, step, l, scratch, lanes + 8 * kLayerLanes * g);
    for (; g < groups; ++g) lane_of_groups<P, 1>(top + 32 * P * g, step, l, scratch, lanes + 8 * kLayerLanes * g);
  }
}

}  // namespace

void layer_column_lanes_avx2(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t groups,
                             float* lanes) noexcept {
  switch (rows) {
    case 1: return column_lanes<1>(top, step, groups, lanes);
    case 2: return column_lanes<2>(top, step, groups, lanes);
    case 4: return column_lanes<4>(top, step, groups, lanes);
    default: return column_lanes<8>(top, step, groups, lanes);
  }
}

}  // namespace zoltra::ops
