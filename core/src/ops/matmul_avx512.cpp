// The AVX-512 matrix-product kernel: 16-lane vectors, the same bits as the
// 8-lane kernel.
//
// Lanes are independent, so a 16-column vector carries sixteen elements'
// chains at once. Only the last n mod 16 columns need care: those below
// column 8*floor(n/8) are fused, the others separately rounded. Either one
// vector per row holds them, with one accumulator of each kind blended by
// mask when it stores, or, for taller products, one vector per column holds
// sixteen rows of them (see below). Products with too few chains for 16-lane
// tiles are handed to the 8-lane kernel whole.
//
// Throughput: two 512-bit FMA pipes with a 4-cycle latency need at least 8
// independent chains, so a tile keeps about 24 accumulators (6 rows x 4
// vectors, 8 x 3 or 12 x 2) in the 32 vector registers, with the step's B
// vectors and one broadcast A value beside them.
#include <immintrin.h>

#include <cstdint>

#include "backend/cache_geometry.hpp"
#include "common/unaligned.hpp"
#include "ops/matmul_kernels.hpp"
#include "ops/matmul_plan.hpp"

namespace zoltra::ops {
namespace {

using u64 = std::uint64_t;

// What the vector after a panel's full 16-column blocks holds.
enum class Tail : std::uint8_t {
  kNone,
  kFused,    // n mod 16 == 8: eight fused columns
  kRounded,  // n mod 16 in 1..7: separately rounded columns only
  kMixed,    // n mod 16 in 9..15: eight fused columns, then rounded ones
};

constexpr int accumulators(Tail t) { return t == Tail::kNone ? 0 : (t == Tail::kMixed ? 2 : 1); }

struct TailMasks {
  __mmask16 lanes;    // columns below n
  __mmask16 rounded;  // columns at or past 8*floor(n/8)
};

// A tile of R rows by NB fused 16-column blocks and the tail vector T. Each
// step p loads the B vectors once and broadcasts one A value per row; C is
// written once, at the end. Fully unrolled so the accumulators stay in
// registers.
template <int R, int NB, Tail T>
[[gnu::always_inline]] inline void tile(const float* a, u64 k, const float* b, float* c, u64 n,
                                        TailMasks masks) noexcept {
  constexpr int NA = NB > 0 ? NB : 1;
  constexpr bool kFusedTail = T == Tail::kFused || T == Tail::kMixed;
  constexpr bool kRoundedTail = T == Tail::kRounded || T == Tail::kMixed;
  __m512 acc[R][NA];
  __m512 fused[R];
  __m512 rounded[R];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (int q = 0; q < NB; ++q) acc[r][q] = _mm512_setzero_ps();
    fused[r] = _mm512_setzero_ps();
    rounded[r] = _mm512_setzero_ps();
  }
  const float* bp = b;
  for (u64 p = 0; p < k; ++p, bp += n) {
    __m512 bv[NA];
#pragma GCC unroll 16
    for (int q = 0; q < NB; ++q) bv[q] = _mm512_loadu_ps(bp + 16 * q);
    __m512 bt = _mm512_setzero_ps();
    if constexpr (T != Tail::kNone) bt = _mm512_maskz_loadu_ps(masks.lanes, bp + 16 * NB);
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
      const __m512 av = _mm512_set1_ps(load_unaligned<float>(a + static_cast<u64>(r) * k + p));
#pragma GCC unroll 16
      for (int q = 0; q < NB; ++q) acc[r][q] = _mm512_fmadd_ps(av, bv[q], acc[r][q]);
      if constexpr (kFusedTail) fused[r] = _mm512_fmadd_ps(av, bt, fused[r]);
      if constexpr (kRoundedTail) rounded[r] = _mm512_add_ps(rounded[r], _mm512_mul_ps(av, bt));
    }
  }
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r) {
    float* crow = c + static_cast<u64>(r) * n;
#pragma GCC unroll 16
    for (int q = 0; q < NB; ++q) _mm512_storeu_ps(crow + 16 * q, acc[r][q]);
    float* ctail = crow + 16 * NB;
    if constexpr (T == Tail::kFused) _mm512_mask_storeu_ps(ctail, masks.lanes, fused[r]);
    if constexpr (T == Tail::kRounded) _mm512_mask_storeu_ps(ctail, masks.lanes, rounded[r]);
    if constexpr (T == Tail::kMixed)
      _mm512_mask_storeu_ps(ctail, masks.lanes, _mm512_mask_blend_ps(masks.rounded, fused[r], rounded[r]));
  }
}

// Rows per tile for a panel with `width` accumulators per row: about 24
// accumulators, at least 12 chains for wide panels of few rows.
constexpr int tile_rows_for(int width) {
  return width <= 2 ? 12 : width == 3 ? 8 : width == 4 ? 6 : width <= 6 ? 2 : 1;
}

// One tile of `rows` (1..R) rows.
template <int R, int NB, Tail T>
void tile_of_rows(u64 rows, const float* a, u64 k, const float* b, float* c, u64 n,
                  TailMasks masks) noexcept {
  if constexpr (R > 0) {
    if (rows == R) return tile<R, NB, T>(a, k, b, c, n, masks);
    tile_of_rows<R - 1, NB, T>(rows, a, k, b, c, n, masks);
  }
}

// Every row of one column panel, in groups of R. A remainder of fewer than
// R/2 rows is not left alone with few chains: the last full group and it are
// split into two near-equal tiles.
template <int NB, Tail T>
void panel(const float* a, u64 m, u64 k, const float* b, float* c, u64 n, TailMasks masks) noexcept {
  constexpr int R = tile_rows_for(NB + accumulators(T));
  u64 groups = m / R;
  u64 rest = m % R;
  if (rest != 0 && rest < R / 2 && groups > 0) {
    --groups;
    rest += R;
  }
  u64 i = 0;
  for (; groups > 0; --groups, i += R) tile<R, NB, T>(a + i * k, k, b, c + i * n, n, masks);
  if (rest > R) {
    const u64 first = rest / 2;
    tile_of_rows<R, NB, T>(first, a + i * k, k, b, c + i * n, n, masks);
    i += first;
    rest -= first;
  }
  if (rest > 0) tile_of_rows<R, NB, T>(rest, a + i * k, k, b, c + i * n, n, masks);
}

constexpr int kMaxWidth = 8;  // accumulators per row, for a single-row product

template <Tail T, int NB = 0>
void panel_of_blocks(u64 blocks, const float* a, u64 m, u64 k, const float* b, float* c, u64 n,
                     TailMasks masks) noexcept {
  if constexpr (NB + accumulators(T) <= kMaxWidth) {
    if (blocks == NB) {
      if constexpr (NB > 0 || T != Tail::kNone) panel<NB, T>(a, m, k, b, c, n, masks);
      return;
    }
    panel_of_blocks<T, NB + 1>(blocks, a, m, k, b, c, n, masks);
  }
}

void run_panel(u64 blocks, Tail tail, const float* a, u64 m, u64 k, const float* b, float* c, u64 n,
               TailMasks masks) noexcept {
  switch (tail) {
    case Tail::kNone: return panel_of_blocks<Tail::kNone>(blocks, a, m, k, b, c, n, masks);
    case Tail::kFused: return panel_of_blocks<Tail::kFused>(blocks, a, m, k, b, c, n, masks);
    case Tail::kRounded: return panel_of_blocks<Tail::kRounded>(blocks, a, m, k, b, c, n, masks);
    case Tail::kMixed: return panel_of_blocks<Tail::kMixed>(blocks, a, m, k, b, c, n, masks);
  }
}

// ---- The last n mod 16 columns, sixteen rows to a vector ----------------------
// Laid out by columns, the tail wastes most lanes (4 of 16 when n = 100) and
// its rounded columns cost a multiply and an add each. Laid out by rows, one
// vector carries one tail column for sixteen rows, so the same chains cost a
// fraction of the instructions, plus an in-register transpose of A.

// The lanes hold rows 0-3, 8-11, 4-7, 12-15 of a block, in this order (what
// the transpose below leaves); any fixed order would do, lanes being
// independent.
constexpr int row_of_lane(int lane) { return (lane & 3) + ((lane & 4) << 1) + ((lane & 8) >> 1); }

// GCC 12's unpack intrinsics pass _mm512_undefined_ps(), which it then
// reports as uninitialized once inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// v[q], q < 8, receives A[i0 + row][p0 + q] for the block's 16 rows; rows at
// or past `rows` and columns at or past p0 + `steps` read as 0.
[[gnu::always_inline]] inline void transpose_rows(const float* a, u64 k, u64 rows, unsigned steps,
                                                  __m512 v[8]) noexcept {
  __m512 r[8];
  if (steps == 8 && rows == 16) {  // plain loads, so the inserts can take their operand from memory
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j)
      r[j] = _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(a + j * k)), _mm256_loadu_ps(a + (j + 8) * k),
                                1);
  } else {
    const __mmask8 cols = static_cast<__mmask8>((1u << steps) - 1);
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      const __m256 lo = static_cast<u64>(j) < rows ? _mm256_maskz_loadu_ps(cols, a + j * k) : _mm256_setzero_ps();
      const __m256 hi =
          static_cast<u64>(j + 8) < rows ? _mm256_maskz_loadu_ps(cols, a + (j + 8) * k) : _mm256_setzero_ps();
      r[j] = _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
    }
  }
  __m512 t[8];
#pragma GCC unroll 4
  for (int h = 0; h < 8; h += 4) {
    const __m512 t0 = _mm512_unpacklo_ps(r[h], r[h + 1]), t1 = _mm512_unpackhi_ps(r[h], r[h + 1]);
    const __m512 t2 = _mm512_unpacklo_ps(r[h + 2], r[h + 3]), t3 = _mm512_unpackhi_ps(r[h + 2], r[h + 3]);
    t[h] = _mm512_shuffle_ps(t0, t2, 0x44);      // p0 | p4, by 128-bit chunk
    t[h + 1] = _mm512_shuffle_ps(t0, t2, 0xEE);  // p1 | p5
    t[h + 2] = _mm512_shuffle_ps(t1, t3, 0x44);  // p2 | p6
    t[h + 3] = _mm512_shuffle_ps(t1, t3, 0xEE);  // p3 | p7
  }
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) {
    v[q] = _mm512_shuffle_f32x4(t[q], t[q + 4], _MM_SHUFFLE(2, 0, 2, 0));
    v[q + 4] = _mm512_shuffle_f32x4(t[q], t[q + 4], _MM_SHUFFLE(3, 1, 3, 1));
  }
}

// Rows [0, rows) (rows <= 16) of the tail columns [j0, n): FUSED (0 or 8)
// fused columns, then ROUNDED separately rounded ones.
template <int FUSED, int ROUNDED>
void tail_block(const float* a, u64 rows, u64 k, const float* b, float* c, u64 n, u64 j0) noexcept {
  constexpr int kCols = FUSED + ROUNDED;
  __m512 acc[kCols];
#pragma GCC unroll 16
  for (int col = 0; col < kCols; ++col) acc[col] = _mm512_setzero_ps();
  auto steps_from = [k](u64 p0) { return k - p0 < 8 ? static_cast<unsigned>(k - p0) : 8u; };
  // The next 8 steps' transpose is issued before this block's arithmetic, so
  // that its latency overlaps the accumulator chains.
  __m512 v[8];
  transpose_rows(a, k, rows, steps_from(0), v);
  for (u64 p0 = 0; p0 < k; p0 += 8) {
    const unsigned steps = steps_from(p0);
    __m512 next[8];
    if (p0 + 8 < k) transpose_rows(a + p0 + 8, k, rows, steps_from(p0 + 8), next);
    const float* bp = b + p0 * n + j0;
#pragma GCC unroll 8
    for (unsigned q = 0; q < 8; ++q, bp += n) {
      if (q == steps) break;
#pragma GCC unroll 8
      for (int col = 0; col < FUSED; ++col)
        acc[col] = _mm512_fmadd_ps(v[q], _mm512_set1_ps(load_unaligned<float>(bp + col)), acc[col]);
#pragma GCC unroll 8
      for (int col = FUSED; col < kCols; ++col)
        acc[col] = _mm512_add_ps(acc[col], _mm512_mul_ps(v[q], _mm512_set1_ps(load_unaligned<float>(bp + col))));
    }
    if (p0 + 8 >= k) break;
#pragma GCC unroll 8
    for (int q = 0; q < 8; ++q) v[q] = next[q];
  }
  alignas(64) float out[kCols][16];
#pragma GCC unroll 16
  for (int col = 0; col < kCols; ++col) _mm512_store_ps(out[col], acc[col]);
  for (int lane = 0; lane < 16; ++lane) {
    const u64 row = static_cast<u64>(row_of_lane(lane));
    if (row >= rows) continue;
    for (int col = 0; col < kCols; ++col) store_unaligned(c + row * n + j0 + col, out[col][lane]);
  }
}

#pragma GCC diagnostic pop

template <int FUSED, int ROUNDED = 0>
void tail_by_rows(u64 rounded, const float* a, u64 m, u64 k, const float* b, float* c, u64 n, u64 j0) noexcept {
  if constexpr (ROUNDED < 8) {
    if (rounded != ROUNDED) return tail_by_rows<FUSED, ROUNDED + 1>(rounded, a, m, k, b, c, n, j0);
    if constexpr (FUSED + ROUNDED > 0) {
      for (u64 i = 0; i < m; i += 16)
        tail_block<FUSED, ROUNDED>(a + i * k, m - i < 16 ? m - i : 16, k, b, c + i * n, n, j0);
    }
  }
}

// Instructions per step on the FMA pipes for the tail columns, each way.
bool tail_by_rows_pays(u64 m, unsigned fused, unsigned rounded) noexcept {
  const u64 by_columns = m * ((fused ? 1 : 0) + (rounded ? 2 : 0));
  const u64 by_rows = (m + 15) / 16 * (fused + 2 * rounded + 4);  // 4: the transpose
  return by_rows < by_columns;
}

// Products too narrow or too short for 16-lane tiles to have enough
// independent chains run faster as 8-lane tiles (measured); both give the
// same bits.
bool eight_lanes_pay(u64 m, u64 n) noexcept { return (n < 16 && m < 16) || (m <= 3 && n < 64); }

}  // namespace

void kernel_matmul_f32_avx512(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                              std::uint64_t n) noexcept {
  if (m == 0 || n == 0) return;
  if (eight_lanes_pay(m, n)) return kernel_matmul_f32_avx2(a, b, c, m, k, n);
  const unsigned tail_columns = static_cast<unsigned>(n % 16);
  Tail tail = tail_columns == 0   ? Tail::kNone
                    : tail_columns == 8 ? Tail::kFused
                    : tail_columns < 8  ? Tail::kRounded
                                        : Tail::kMixed;
  const TailMasks masks{static_cast<__mmask16>((1u << tail_columns) - 1),
                        static_cast<__mmask16>(((1u << tail_columns) - 1) & (tail_columns >= 8 ? ~0xFFu : ~0u))};
  // Column panels, outermost so that a panel of B is reused from cache by
  // every row group. Fewer rows leave room for wider panels; a panel never
  // ends up with a lone accumulator per row when a wider one came before it.
  // Narrowed for long k so that a panel of B stays in the L1 data cache
  // (measured: 8% at k = 200 and 256 on a 48 KiB cache).
  const int max_width = static_cast<int>(matmul_avx512_panel_width(m, k, backend::cache_geometry().l1d_bytes));
  u64 blocks = n / 16;
  const unsigned fused_tail = tail_columns >= 8 ? 8 : 0;
  if (tail != Tail::kNone && tail_by_rows_pays(m, fused_tail, tail_columns - fused_tail)) {
    const u64 j0 = 16 * blocks;
    if (fused_tail) tail_by_rows<8>(tail_columns - 8, a, m, k, b, c, n, j0);
    else tail_by_rows<0>(tail_columns, a, m, k, b, c, n, j0);
    tail = Tail::kNone;
  }
  u64 left = blocks + static_cast<u64>(accumulators(tail));
  u64 j = 0;
  while (left > static_cast<u64>(max_width)) {
    const u64 take = left == static_cast<u64>(max_width) + 1 ? max_width - 1 : max_width;
    const u64 take_blocks = take < blocks ? take : blocks;  // equal: a mixed tail is never split
    run_panel(take_blocks, Tail::kNone, a, m, k, b + j, c + j, n, masks);
    blocks -= take_blocks;
    left -= take_blocks;
    j += 16 * take_blocks;
  }
  run_panel(blocks, tail, a, m, k, b + j, c + j, n, masks);
}

}  // namespace zoltra::ops
