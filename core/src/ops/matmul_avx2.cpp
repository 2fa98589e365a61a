// The AVX2/FMA matrix-product kernel: 8-lane vectors.
//
// Every element of C in the first 8*floor(n/8) columns is one fused
// multiply-add chain over p = 0..k-1 starting from +0.0; every element in the
// last n mod 8 columns is a chain of separately rounded products and sums.
// How rows and 8-column blocks are grouped into register tiles does not change
// any element's arithmetic, so tiles are sized for throughput: two FMA pipes
// with a 4-cycle latency need at least 8 independent chains, and each step
// should load little besides the accumulators' inputs.
#include <immintrin.h>

#include <cstdint>

#include "ops/matmul_kernels.hpp"

namespace zoltra::ops {
namespace {

using u64 = std::uint64_t;

// A tile of R rows by NB fused 8-column blocks, optionally followed by the
// separately rounded tail columns [j0 + 8*NB, n) held in one masked vector per
// row. Each step p loads one B segment per block and broadcasts one A value
// per row. C is written once, at the end. The loops over r and q are unrolled
// completely so that the accumulators stay in registers.
template <int R, int NB, bool Tail>
inline void tile(const float* a, const float* b, float* c, u64 k, u64 n, u64 j0, __m256i tail_mask) noexcept {
  __m256 acc[R][NB > 0 ? NB : 1];
  __m256 tail_acc[R];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 8
    for (int q = 0; q < NB; ++q) acc[r][q] = _mm256_setzero_ps();
    tail_acc[r] = _mm256_setzero_ps();
  }
  const float* arow[R];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) arow[r] = a + static_cast<u64>(r) * k;
  const float* bp = b + j0;
  for (u64 p = 0; p < k; ++p, bp += n) {
    __m256 bv[NB > 0 ? NB : 1];
#pragma GCC unroll 8
    for (int q = 0; q < NB; ++q) bv[q] = _mm256_loadu_ps(bp + 8 * q);
    __m256 bt = _mm256_setzero_ps();
    if constexpr (Tail) bt = _mm256_maskload_ps(bp + 8 * NB, tail_mask);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      const __m256 av = _mm256_broadcast_ss(arow[r] + p);
#pragma GCC unroll 8
      for (int q = 0; q < NB; ++q) acc[r][q] = _mm256_fmadd_ps(av, bv[q], acc[r][q]);
      if constexpr (Tail) tail_acc[r] = _mm256_add_ps(tail_acc[r], _mm256_mul_ps(av, bt));
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) {
    float* crow = c + static_cast<u64>(r) * n + j0;
#pragma GCC unroll 8
    for (int q = 0; q < NB; ++q) _mm256_storeu_ps(crow + 8 * q, acc[r][q]);
    if constexpr (Tail) _mm256_maskstore_ps(crow + 8 * NB, tail_mask, tail_acc[r]);
  }
}

// Row groups of 4, or of 8 where a group of 4 would give fewer than 8
// independent chains (a lone block, or a lone tail), so that the FMA and
// add latencies stay hidden. Leftover rows take one shorter tile.
template <int NB, bool Tail>
void column_panel(const float* a, const float* b, float* c, u64 m, u64 k, u64 n, u64 j0,
                  __m256i tail_mask) noexcept {
  constexpr int kGroup = (NB == 0 || (NB == 1 && !Tail)) ? 8 : 4;
  u64 i = 0;
  for (; i + kGroup <= m; i += kGroup) tile<kGroup, NB, Tail>(a + i * k, b, c + i * n, k, n, j0, tail_mask);
  if constexpr (kGroup == 8) {
    if (i + 4 <= m) {
      tile<4, NB, Tail>(a + i * k, b, c + i * n, k, n, j0, tail_mask);
      i += 4;
    }
  }
  switch (m - i) {
    case 3: tile<3, NB, Tail>(a + i * k, b, c + i * n, k, n, j0, tail_mask); break;
    case 2: tile<2, NB, Tail>(a + i * k, b, c + i * n, k, n, j0, tail_mask); break;
    case 1: tile<1, NB, Tail>(a + i * k, b, c + i * n, k, n, j0, tail_mask); break;
    default: break;
  }
}

// One tile of R rows and `blocks` (< NBmax + 1) blocks, with or without tail.
template <int R, int NBmax>
void tile_of_width(const float* a, const float* b, float* c, u64 k, u64 n, u64 j0, u64 blocks, bool tail,
                   __m256i tail_mask) noexcept {
  if constexpr (NBmax >= 0) {
    if (blocks == NBmax) {
      if (tail) tile<R, NBmax, true>(a, b, c, k, n, j0, tail_mask);
      else if constexpr (NBmax > 0) tile<R, NBmax, false>(a, b, c, k, n, j0, tail_mask);
      return;
    }
    tile_of_width<R, NBmax - 1>(a, b, c, k, n, j0, blocks, tail, tail_mask);
  }
}

// Fewer than 4 rows in all: each tile spans as many blocks as it takes to
// reach about 8 chains, walking the rows once from left to right.
template <int R>
void short_matrix(const float* a, const float* b, float* c, u64 k, u64 n, __m256i tail_mask) noexcept {
  constexpr int kWidth = R == 1 ? 8 : (R == 2 ? 4 : 3);
  u64 blocks = n / 8;
  u64 j = 0;
  for (; blocks >= kWidth + 1 || (blocks == kWidth && n % 8 == 0); blocks -= kWidth, j += 8 * kWidth)
    tile<R, kWidth, false>(a, b, c, k, n, j, tail_mask);
  // At most kWidth blocks are left; with a tail, a full-width remainder is
  // split so that the tail still has a tile with room for it.
  if (blocks == kWidth) {
    tile<R, kWidth - 1, false>(a, b, c, k, n, j, tail_mask);
    j += 8 * (kWidth - 1);
    blocks = 1;
  }
  if (blocks > 0 || n % 8 != 0) tile_of_width<R, kWidth - 1>(a, b, c, k, n, j, blocks, n % 8 != 0, tail_mask);
}

__m256i lanes_below(u64 count) noexcept {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lane);
}

}  // namespace

void kernel_matmul_f32_avx2(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                            std::uint64_t n) noexcept {
  if (m == 0 || n == 0) return;
  const u64 tail = n % 8;
  const __m256i tail_mask = lanes_below(tail);
  switch (m) {
    case 1: return short_matrix<1>(a, b, c, k, n, tail_mask);
    case 2: return short_matrix<2>(a, b, c, k, n, tail_mask);
    case 3: return short_matrix<3>(a, b, c, k, n, tail_mask);
    default: break;
  }
  // Column panels, outermost so that a panel of B is reused from cache by
  // every row group. Panels of 3 blocks (12 chains), except near the end:
  // 4 blocks left become 2 + 2 rather than 3 + 1 (a lone block has half the
  // chains), and with a tail, 3 blocks left become 2 + (1 + tail), the tail
  // sharing a panel instead of running alone on its add latency.
  u64 blocks = n / 8;
  u64 j = 0;
  while (blocks > 0) {
    u64 take = 3;
    if (blocks == 4 || blocks == 2 || (blocks == 3 && tail)) take = 2;
    else if (blocks == 1) take = 1;
    blocks -= take;
    const bool tail_here = blocks == 0 && tail && take < 3;
    if (take == 3) column_panel<3, false>(a, b, c, m, k, n, j, tail_mask);
    else if (take == 2 && tail_here) column_panel<2, true>(a, b, c, m, k, n, j, tail_mask);
    else if (take == 2) column_panel<2, false>(a, b, c, m, k, n, j, tail_mask);
    else if (tail_here) column_panel<1, true>(a, b, c, m, k, n, j, tail_mask);
    else column_panel<1, false>(a, b, c, m, k, n, j, tail_mask);
    j += 8 * take;
    if (tail_here) return;
  }
  if (tail) column_panel<0, true>(a, b, c, m, k, n, j, tail_mask);
}

}  // namespace zoltra::ops
