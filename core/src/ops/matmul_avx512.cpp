// The AVX-512 matrix-product kernel: 16-lane vectors, the same bits as the
// 8-lane kernel.
//
// Lanes are independent, so a 16-column vector carries sixteen elements'
// chains at once. Only the vector holding the last n mod 16 columns needs
// care: its lanes below column 8*floor(n/8) are fused, the others separately
// rounded, so it keeps one accumulator of each kind and blends them by mask
// when it stores.
//
// Throughput: two 512-bit FMA pipes with a 4-cycle latency need at least 8
// independent chains, so a tile keeps about 24 accumulators (6 rows x 4
// vectors, 8 x 3 or 12 x 2) in the 32 vector registers, with the step's B
// vectors and one broadcast A value beside them.
#include <immintrin.h>

#include <cstdint>

#include "common/unaligned.hpp"
#include "ops/matmul_kernels.hpp"

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
// registers. B's rows are ldb floats apart (n, or the packed panel's width).
template <int R, int NB, Tail T>
[[gnu::always_inline]] inline void tile(const float* a, u64 k, const float* b, u64 ldb, float* c, u64 n,
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
  for (u64 p = 0; p < k; ++p, bp += ldb) {
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
void tile_of_rows(u64 rows, const float* a, u64 k, const float* b, u64 ldb, float* c, u64 n,
                  TailMasks masks) noexcept {
  if constexpr (R > 0) {
    if (rows == R) return tile<R, NB, T>(a, k, b, ldb, c, n, masks);
    tile_of_rows<R - 1, NB, T>(rows, a, k, b, ldb, c, n, masks);
  }
}

// Every row of one column panel, in groups of R. A remainder of fewer than
// R/2 rows is not left alone with few chains: the last full group and it are
// split into two near-equal tiles.
template <int NB, Tail T>
void panel(const float* a, u64 m, u64 k, const float* b, u64 ldb, float* c, u64 n, TailMasks masks) noexcept {
  constexpr int R = tile_rows_for(NB + accumulators(T));
  u64 groups = m / R;
  u64 rest = m % R;
  if (rest != 0 && rest < R / 2 && groups > 0) {
    --groups;
    rest += R;
  }
  u64 i = 0;
  for (; groups > 0; --groups, i += R) tile<R, NB, T>(a + i * k, k, b, ldb, c + i * n, n, masks);
  if (rest > R) {
    const u64 first = rest / 2;
    tile_of_rows<R, NB, T>(first, a + i * k, k, b, ldb, c + i * n, n, masks);
    i += first;
    rest -= first;
  }
  if (rest > 0) tile_of_rows<R, NB, T>(rest, a + i * k, k, b, ldb, c + i * n, n, masks);
}

constexpr int kMaxWidth = 8;  // accumulators per row, for a single-row product

template <Tail T, int NB = 0>
void panel_of_blocks(u64 blocks, const float* a, u64 m, u64 k, const float* b, u64 ldb, float* c, u64 n,
                     TailMasks masks) noexcept {
  if constexpr (NB + accumulators(T) <= kMaxWidth) {
    if (blocks == NB) {
      if constexpr (NB > 0 || T != Tail::kNone) panel<NB, T>(a, m, k, b, ldb, c, n, masks);
      return;
    }
    panel_of_blocks<T, NB + 1>(blocks, a, m, k, b, ldb, c, n, masks);
  }
}

void run_panel(u64 blocks, Tail tail, const float* a, u64 m, u64 k, const float* b, u64 ldb, float* c, u64 n,
               TailMasks masks) noexcept {
  switch (tail) {
    case Tail::kNone: return panel_of_blocks<Tail::kNone>(blocks, a, m, k, b, ldb, c, n, masks);
    case Tail::kFused: return panel_of_blocks<Tail::kFused>(blocks, a, m, k, b, ldb, c, n, masks);
    case Tail::kRounded: return panel_of_blocks<Tail::kRounded>(blocks, a, m, k, b, ldb, c, n, masks);
    case Tail::kMixed: return panel_of_blocks<Tail::kMixed>(blocks, a, m, k, b, ldb, c, n, masks);
  }
}

}  // namespace

void kernel_matmul_f32_avx512(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                              std::uint64_t n) noexcept {
  if (m == 0 || n == 0) return;
  const unsigned tail_columns = static_cast<unsigned>(n % 16);
  const Tail tail = tail_columns == 0   ? Tail::kNone
                    : tail_columns == 8 ? Tail::kFused
                    : tail_columns < 8  ? Tail::kRounded
                                        : Tail::kMixed;
  const TailMasks masks{static_cast<__mmask16>((1u << tail_columns) - 1),
                        static_cast<__mmask16>(((1u << tail_columns) - 1) & (tail_columns >= 8 ? ~0xFFu : ~0u))};
  // Column panels, outermost so that a panel of B is reused from cache by
  // every row group. Fewer rows leave room for wider panels; a panel never
  // ends up with a lone accumulator per row when a wider one came before it.
  const int max_width = m == 1 ? 8 : m == 2 ? 6 : 4;
  u64 blocks = n / 16;
  u64 left = blocks + static_cast<u64>(accumulators(tail));
  u64 j = 0;
  while (left > static_cast<u64>(max_width)) {
    const u64 take = left == static_cast<u64>(max_width) + 1 ? max_width - 1 : max_width;
    const u64 take_blocks = take < blocks ? take : blocks;  // equal: a mixed tail is never split
    run_panel(take_blocks, Tail::kNone, a, m, k, b + j, n, c + j, n, masks);
    blocks -= take_blocks;
    left -= take_blocks;
    j += 16 * take_blocks;
  }
  run_panel(blocks, tail, a, m, k, b + j, n, c + j, n, masks);
}

}  // namespace zoltra::ops
