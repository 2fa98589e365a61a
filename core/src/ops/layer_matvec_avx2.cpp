// The layer's matrix x vector kernel with AVX2. The 4 rows' 64 lanes are 32
// vectors, twice the registers, so a row of lanes is taken in four passes of
// two vectors each (8 sums, 2 loads of v shared by 8 FMAs); a lane's steps
// stay in order, since no lane belongs to two passes. The passes go over
// chunks of 1 KiB per row: the first pass reads one line in four, the
// others find theirs in L1. Short rows, where the sums' trips through
// memory would cost as much as the reads, start their sums in registers
// and fold as the passes end.
//
// A load across a 64-byte line costs about twice one inside it, and arrays
// often start 16 bytes past a line. Rows that lie the same o floats past a
// 32-byte boundary are therefore read from o floats before their start:
// every row load is aligned, and slot s of vector k holds lane
// (8k + s - o) mod 64 from the first step to the last. The fold needs no
// change: it adds lane l + w (mod 64) to lane l, and turning the lanes
// round o places keeps every pair and every pair of pairs, so each addition
// has the same two operands (their order is the compiler's anyway, for it
// treats vector addition as commutative; only a NaN's payload could tell).
#include <immintrin.h>

#include <cstdint>

#include "ops/layer_lanes_avx2.hpp"
#include "ops/layer_matvec_variants.hpp"
#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

namespace {

constexpr std::uint32_t kChunk = 256;
constexpr int kPassVectors = 2;
constexpr int kRows = kLayerRowGroup;
// Shorter rows stay unaligned: the masked first and last vectors of a
// shifted row cost more than the split loads they save.
constexpr std::uint32_t kShiftFrom = 512;

using Lanes = __m256[kRows][kLaneVectors];

// Vectors k, k + 1 of the lanes over the steps [begin, end).
void pass(const float* const* rows, const float* v, std::uint32_t begin, std::uint32_t end, int k,
          Lanes& lanes) noexcept {
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

// The whole rows of lanes in [begin, end), chunk by chunk.
void whole_rows(const float* const* rows, const float* v, std::uint32_t begin, std::uint32_t end,
                Lanes& lanes) noexcept {
  for (std::uint32_t chunk = begin; chunk < end; chunk += kChunk) {
    const std::uint32_t stop = end - chunk < kChunk ? end : chunk + kChunk;
    for (int k = 0; k < kLaneVectors; k += kPassVectors) pass(rows, v, chunk, stop, k, lanes);
  }
}

// The steps at + [lo, hi) of one row of lanes, hi <= 64: whole vectors with
// plain loads, a partial one masked (nothing outside the steps is read).
void part_row(const float* const* rows, const float* v, std::uint32_t at, std::uint32_t lo, std::uint32_t hi,
              Lanes& lanes) noexcept {
  for (std::uint32_t k = lo / 8; 8 * k < hi; ++k) {
    const std::uint32_t first = 8 * k;
    if (first >= lo && first + 8 <= hi) {
      const __m256 x = _mm256_loadu_ps(v + at + first);
      for (int r = 0; r < kRows; ++r)
        lanes[r][k] = _mm256_fmadd_ps(_mm256_loadu_ps(rows[r] + at + first), x, lanes[r][k]);
      continue;
    }
    const __m256i mask = span_mask(static_cast<int>(lo), static_cast<int>(hi), static_cast<int>(k));
    const __m256 x = _mm256_maskload_ps(v + at + first, mask);
    for (int r = 0; r < kRows; ++r)
      lanes[r][k] = _mm256_fmadd_ps(masked_or_negative_zero(rows[r] + at + first, mask), x, lanes[r][k]);
  }
}

// The last three steps of the fold (w = 4, 2, 1) of four rows at once, row r
// in y[r]: the additions of fold_eight_lanes on each row.
void fold_four(const __m256* y, float* out) noexcept {
  // w = 4: the low halves of rows (0, 1), then (2, 3), plus their high halves.
  const __m256 a = _mm256_add_ps(_mm256_permute2f128_ps(y[0], y[1], 0x20), _mm256_permute2f128_ps(y[0], y[1], 0x31));
  const __m256 b = _mm256_add_ps(_mm256_permute2f128_ps(y[2], y[3], 0x20), _mm256_permute2f128_ps(y[2], y[3], 0x31));
  // w = 2: lanes (0, 1) plus (2, 3); rows 0, 2 in the low half, 1, 3 in the high.
  const __m256 c = _mm256_add_ps(_mm256_shuffle_ps(a, b, 0x44), _mm256_shuffle_ps(a, b, 0xEE));
  // w = 1: lane 0 plus lane 1, giving rows (0, 2, 0, 2 | 1, 3, 1, 3).
  const __m256 d = _mm256_add_ps(_mm256_shuffle_ps(c, c, 0x88), _mm256_shuffle_ps(c, c, 0xDD));
  _mm_storeu_ps(out, _mm_unpacklo_ps(_mm256_castps256_ps128(d), _mm256_extractf128_ps(d, 1)));
}

// Vectors K and K + 1 of each row's lanes from -0.0 over the whole rows of
// lanes in [0, count).
// (Named sums: held in an array, they would live on the stack.)
template <int K>
[[gnu::always_inline]] inline void short_pass(const float* const* rows, const float* v, std::uint32_t count,
                                              __m256* first, __m256* second) noexcept {
  static_assert(kRows == 4);
  const float *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
  __m256 a0 = _mm256_set1_ps(-0.0f), a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  for (std::uint32_t t = 8 * K; t < count; t += kLayerLanes) {
    const __m256 x = _mm256_loadu_ps(v + t), y = _mm256_loadu_ps(v + t + 8);
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + t), x, a0);
    b0 = _mm256_fmadd_ps(_mm256_loadu_ps(r0 + t + 8), y, b0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + t), x, a1);
    b1 = _mm256_fmadd_ps(_mm256_loadu_ps(r1 + t + 8), y, b1);
    a2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + t), x, a2);
    b2 = _mm256_fmadd_ps(_mm256_loadu_ps(r2 + t + 8), y, b2);
    a3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + t), x, a3);
    b3 = _mm256_fmadd_ps(_mm256_loadu_ps(r3 + t + 8), y, b3);
  }
  first[0] = a0, first[1] = a1, first[2] = a2, first[3] = a3;
  second[0] = b0, second[1] = b1, second[2] = b2, second[3] = b3;
}

// Rows of at most one chunk, a whole number of rows of lanes: no sum goes
// to memory and back but what the compiler spills, and the fold starts as
// the passes over vectors 4 to 7 end.
void short_rows(const float* const* rows, const float* v, std::uint32_t count, float* out) noexcept {
  __m256 l0[kRows], l1[kRows], l2[kRows], l3[kRows], a[kRows], b[kRows];
  short_pass<0>(rows, v, count, l0, l1);
  short_pass<2>(rows, v, count, l2, l3);
  short_pass<4>(rows, v, count, a, b);
  for (int r = 0; r < kRows; ++r) l0[r] = _mm256_add_ps(l0[r], a[r]), l1[r] = _mm256_add_ps(l1[r], b[r]);  // w = 32
  short_pass<6>(rows, v, count, a, b);
  for (int r = 0; r < kRows; ++r) l2[r] = _mm256_add_ps(l2[r], a[r]), l3[r] = _mm256_add_ps(l3[r], b[r]);
  for (int r = 0; r < kRows; ++r)  // w = 16, 8
    a[r] = _mm256_add_ps(_mm256_add_ps(l0[r], l2[r]), _mm256_add_ps(l1[r], l3[r]));
  fold_four(a, out);
}

// The offset of the rows past a 32-byte boundary, in floats, when they share
// one and are long enough to gain from it; 0 otherwise.
std::uint32_t shift_of(const float* const* rows, std::uint32_t count) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(rows[0]);
  if (count < kShiftFrom || at % 4 != 0) return 0;
  for (int r = 1; r < kRows; ++r)
    if (reinterpret_cast<std::uintptr_t>(rows[r]) % 32 != at % 32) return 0;
  return static_cast<std::uint32_t>(at % 32 / 4);
}

}  // namespace

void layer_rows_dot_avx2(const float* const* rows, const float* v, std::uint32_t count, float* out) noexcept {
  if (count <= kChunk && count % kLayerLanes == 0) return short_rows(rows, v, count, out);
  Lanes lanes;
  for (auto& row : lanes)
    for (auto& l : row) l = _mm256_set1_ps(-0.0f);
  // Step u of the shifted rows is element u - o. A shifted row is at least
  // kShiftFrom long: its first row of lanes is whole but for o steps.
  const std::uint32_t o = shift_of(rows, count);
  const float* shifted[kRows];
  for (int r = 0; r < kRows; ++r) shifted[r] = rows[r] - o;
  const float* x = v - o;
  const std::uint32_t end = count + o, whole = end - end % kLayerLanes;
  if (o != 0) part_row(shifted, x, 0, o, kLayerLanes, lanes);
  whole_rows(shifted, x, o == 0 ? 0 : kLayerLanes, whole, lanes);
  if (whole < end) part_row(shifted, x, whole, 0, end - whole, lanes);
  __m256 y[kRows];
  for (int r = 0; r < kRows; ++r) y[r] = fold_to_eight_lanes(lanes[r]);
  fold_four(y, out);
}

}  // namespace zoltra::ops
