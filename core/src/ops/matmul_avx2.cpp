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

#include "backend/cache_geometry.hpp"
#include "common/unaligned.hpp"
#include "ops/matmul_kernels.hpp"
#include "ops/matmul_plan.hpp"
#include "ops/transpose_avx2.hpp"

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
#pragma GCC unroll 4
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

// One tile of `rows` (1..R) rows.
template <int R, int NB, bool Tail>
void tile_of_rows(u64 rows, const float* a, const float* b, float* c, u64 k, u64 n, u64 j0,
                  __m256i tail_mask) noexcept {
  if constexpr (R > 0) {
    if (rows == R) return tile<R, NB, Tail>(a, b, c, k, n, j0, tail_mask);
    tile_of_rows<R - 1, NB, Tail>(rows, a, b, c, k, n, j0, tail_mask);
  }
}

// Rows per tile: as many as the 16 vector registers hold beside the step's B
// vectors and one A value, with at least 8 independent chains so that the
// FMA latency stays hidden, and with slack where few chains would make every
// step wait for the FMA before it.
constexpr int group_rows(int blocks, bool tail) {
  if (blocks == 3 || (blocks == 2 && tail)) return 4;
  if (blocks == 2 || blocks == 1) return 6;
  return 8;
}

// Every row of one column panel, in groups; a short remainder is not left
// alone with few chains: the last full group and it are split into two
// near-equal tiles.
template <int NB, bool Tail>
void column_panel(const float* a, const float* b, float* c, u64 m, u64 k, u64 n, u64 j0,
                  __m256i tail_mask) noexcept {
  constexpr int R = group_rows(NB, Tail);
  u64 groups = m / R;
  u64 rest = m % R;
  if (rest != 0 && rest < R / 2 && groups > 0) {
    --groups;
    rest += R;
  }
  u64 i = 0;
  for (; groups > 0; --groups, i += R) tile<R, NB, Tail>(a + i * k, b, c + i * n, k, n, j0, tail_mask);
  if (rest > R) {
    const u64 first = rest / 2;
    tile_of_rows<R, NB, Tail>(first, a + i * k, b, c + i * n, k, n, j0, tail_mask);
    i += first;
    rest -= first;
  }
  if (rest > 0) tile_of_rows<R, NB, Tail>(rest, a + i * k, b, c + i * n, k, n, j0, tail_mask);
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
void short_matrix(const float* a, const float* b, float* c, u64 k, u64 n, bool tail, __m256i tail_mask) noexcept {
  constexpr int kWidth = R == 1 ? 8 : (R == 2 ? 4 : 3);
  u64 blocks = n / 8;
  u64 j = 0;
  for (; blocks >= kWidth + 1 || (blocks == kWidth && !tail); blocks -= kWidth, j += 8 * kWidth)
    tile<R, kWidth, false>(a, b, c, k, n, j, tail_mask);
  // At most kWidth blocks are left; with a tail, a full-width remainder is
  // split so that the tail still has a tile with room for it.
  if (blocks == kWidth) {
    tile<R, kWidth - 1, false>(a, b, c, k, n, j, tail_mask);
    j += 8 * (kWidth - 1);
    blocks = 1;
  }
  if (blocks > 0 || tail) tile_of_width<R, kWidth - 1>(a, b, c, k, n, j, blocks, tail, tail_mask);
}

__m256i lanes_below(u64 count) noexcept {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lane);
}

// ---- The last n mod 8 columns, eight rows to a vector ------------------------
// Laid out by columns, the tail wastes lanes (all but one when n = 1) and pays
// a multiply and an add per row and step. Laid out by rows, one vector
// carries one tail column for eight rows, at the price of an in-register
// transpose of A per 8 rows and 8 steps. The transpose is built for a core
// that moves two vectors a cycle from memory and shuffles two a cycle: row
// loads, a lane-crossing stage (a permute of two loaded rows, or an insert of
// a half from memory), then two in-lane stages. The blocks of 8 rows run side
// by side 4 steps at a time, so that no add chain waits long on its block's
// transpose (on Zen 3 this took a quarter off with 2 or 3 tail columns, a
// twentieth with 1), unless their rows' lines would crowd L1d sets.

// Steps [0, steps) (steps <= 8) of one block of 8 rows (`rows` of them) for the
// T tail columns, whose B elements start at bp. Lane l holds row l. Rows at
// or past `rows` and steps at or past `steps` are never loaded.
template <int T, bool kFull>
[[gnu::always_inline]] inline void tail_steps(const float* block, u64 k, u64 rows, unsigned steps, const float* bp,
                                              u64 n, __m256 acc[T]) noexcept {
  // Opaque, so that the compiler addresses the rows from one pointer instead
  // of keeping a pointer per row in (spilled) registers.
  asm("" : "+r"(block));
  __m256 r[8];  // r[j], j < 4: rows j | j + 4 at steps 0..3; r[j + 4]: at steps 4..7
  const __m256i mask = lanes_below(kFull ? 8 : steps);
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j) {
    __m256 lo, hi;
    if constexpr (kFull) {
      lo = _mm256_loadu_ps(block + j * k);
      hi = _mm256_loadu_ps(block + (j + 4) * k);
    } else {
      lo = static_cast<u64>(j) < rows ? _mm256_maskload_ps(block + j * k, mask) : _mm256_setzero_ps();
      hi = static_cast<u64>(j + 4) < rows ? _mm256_maskload_ps(block + (j + 4) * k, mask) : _mm256_setzero_ps();
    }
    r[j] = _mm256_permute2f128_ps(lo, hi, 0x20);
    r[j + 4] = _mm256_permute2f128_ps(lo, hi, 0x31);
  }
#pragma GCC unroll 2
  for (unsigned q0 = 0; q0 < 8; q0 += 4) {
    if (!kFull && q0 >= steps) break;
    __m256 v[4];
    transpose_in_lanes(r + q0, v);
#pragma GCC unroll 4
    for (unsigned q = 0; q < 4; ++q) {
      if (!kFull && q0 + q == steps) break;
#pragma GCC unroll 8
      for (int col = 0; col < T; ++col)
        acc[col] = _mm256_add_ps(acc[col], _mm256_mul_ps(v[q], _mm256_broadcast_ss(bp + col)));
      bp += n;
      asm("" : "+r"(bp));
    }
  }
}

// Steps [0, 4) of one full block of 8 rows: the first four steps of rows j
// and j + 4 meet in one vector through a 16-byte insert from memory, and one
// in-lane transpose gives the four steps. Four steps at a time, interleaved
// over the blocks, keep each add chain short between the other blocks' work.
template <int T>
[[gnu::always_inline]] inline void quarter_steps(const float* block, u64 k, const float* bp, u64 n,
                                                 __m256 acc[T]) noexcept {
  asm("" : "+r"(block));
  __m256 r[4];
#pragma GCC unroll 4
  for (int j = 0; j < 4; ++j)
    r[j] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(block + j * k)),
                                _mm_loadu_ps(block + (j + 4) * k), 1);
  __m256 v[4];
  transpose_in_lanes(r, v);
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) {
#pragma GCC unroll 8
    for (int col = 0; col < T; ++col)
      acc[col] = _mm256_add_ps(acc[col], _mm256_mul_ps(v[q], _mm256_broadcast_ss(bp + col)));
    bp += n;
    asm("" : "+r"(bp));
  }
}

// Rows [0, rows) (rows <= 8G) of the T tail columns that start at b and c:
// G blocks of 8 rows side by side, so that G*T add chains hide the latency.
template <int T, int G>
void tail_rows(const float* a, u64 rows, u64 k, const float* b, float* c, u64 n, bool interleave) noexcept {
  __m256 acc[G][T];
#pragma GCC unroll 8
  for (int g = 0; g < G; ++g)
#pragma GCC unroll 8
    for (int col = 0; col < T; ++col) acc[g][col] = _mm256_setzero_ps();
  u64 block_rows[G];
#pragma GCC unroll 8
  for (int g = 0; g < G; ++g) {
    const u64 first = 8 * static_cast<u64>(g);
    block_rows[g] = rows <= first ? 0 : (rows - first < 8 ? rows - first : 8);
  }
  // Steps [p, p + steps) of every block, rows and steps masked.
  auto partial = [&](u64 p, unsigned steps) {
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g)
      if (block_rows[g] != 0) tail_steps<T, false>(a + 8 * g * k + p, k, block_rows[g], steps, b + p * n, n, acc[g]);
  };
  u64 p = 0;
  if (rows == 8 * G && interleave) {
    for (; p + 4 <= k; p += 4)
#pragma GCC unroll 8
      for (int g = 0; g < G; ++g) quarter_steps<T>(a + 8 * g * k + p, k, b + p * n, n, acc[g]);
  } else if (rows == 8 * G) {
    // 16 steps of a block at a time use whole cache lines of its rows, which
    // then need not survive in the cache while the other blocks run; they
    // would not when the row stride is a large power of two, and then every
    // row starts at the same offset in its line, so a few steps first align
    // the rest.
    if (k % 16 == 0 && k > 0 && reinterpret_cast<std::uintptr_t>(a) % 4 == 0) {
      const u64 lead = (64 - reinterpret_cast<std::uintptr_t>(a) % 64) % 64 / 4;
      for (; p < lead; p += 8) partial(p, static_cast<unsigned>(lead - p < 8 ? lead - p : 8));
      p = lead;
    }
    for (; p + 16 <= k; p += 16)
#pragma GCC unroll 8
      for (int g = 0; g < G; ++g) {
        tail_steps<T, true>(a + 8 * g * k + p, k, 8, 8, b + p * n, n, acc[g]);
        tail_steps<T, true>(a + 8 * g * k + p + 8, k, 8, 8, b + (p + 8) * n, n, acc[g]);
      }
    for (; p + 8 <= k; p += 8)
#pragma GCC unroll 8
      for (int g = 0; g < G; ++g) tail_steps<T, true>(a + 8 * g * k + p, k, 8, 8, b + p * n, n, acc[g]);
  } else {
    for (; p + 8 <= k; p += 8) partial(p, 8);
  }
  if (p < k) partial(p, static_cast<unsigned>(k - p));
#pragma GCC unroll 8
  for (int g = 0; g < G; ++g) {
    alignas(32) float out[T][8];
#pragma GCC unroll 8
    for (int col = 0; col < T; ++col) _mm256_store_ps(out[col], acc[g][col]);
    for (u64 row = 0; row < block_rows[g]; ++row)
      for (int col = 0; col < T; ++col) store_unaligned(c + (8 * g + row) * n + col, out[col][row]);
  }
}

// Enough blocks side by side for about 12 chains or instructions per step
// to cover the add latency.
constexpr int tail_blocks_for(int t) { return t == 1 ? 4 : 2; }

template <int T>
void tail_by_rows(const float* a, u64 m, u64 k, const float* b, float* c, u64 n) noexcept {
  constexpr u64 kRows = 8 * tail_blocks_for(T);
  const bool interleave = matmul_tail_rows_interleave(k * sizeof(float), kRows, backend::cache_geometry().l1d_bytes);
  for (u64 i = 0; i < m; i += kRows)
    tail_rows<T, tail_blocks_for(T)>(a + i * k, m - i < kRows ? m - i : kRows, k, b, c + i * n, n, interleave);
}

// By rows, each step loads one B value per tail column and block of 8 rows,
// and the core moves two vectors a cycle from memory: from 4 columns on, the
// tail is cheaper by columns, inside the tiles, where it shares their loads
// of A (measured on Zen 3). Below 4 rows the transpose is mostly empty.
bool tail_by_rows_pays(u64 m, u64 t) noexcept { return t <= 3 && m >= 4; }

}  // namespace

void kernel_matmul_f32_avx2(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                            std::uint64_t n) noexcept {
  if (m == 0 || n == 0) return;
  u64 tail = n % 8;
  if (tail != 0 && tail_by_rows_pays(m, tail)) {
    const u64 j0 = n - tail;
    switch (tail) {
      case 1: tail_by_rows<1>(a, m, k, b + j0, c + j0, n); break;
      case 2: tail_by_rows<2>(a, m, k, b + j0, c + j0, n); break;
      default: tail_by_rows<3>(a, m, k, b + j0, c + j0, n); break;
    }
    if (n == tail) return;
    tail = 0;
  }
  const __m256i tail_mask = lanes_below(tail);
  switch (m) {
    case 1: return short_matrix<1>(a, b, c, k, n, tail != 0, tail_mask);
    case 2: return short_matrix<2>(a, b, c, k, n, tail != 0, tail_mask);
    case 3: return short_matrix<3>(a, b, c, k, n, tail != 0, tail_mask);
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
