// Whole blocks of a transposed matrix with AVX2, 8 blocks side by side. A
// block is P view rows of 4096 / P; a view column j lies in one memory row,
// where each block's P values for lane j mod 64 are neighbours. So one memory
// row gives, after a split of its 8P floats into P vectors, value r of 8
// blocks. Lane l's values are taken column by column and added in the
// block's order: every value r before value r + 1.
//
// A load across a 64-byte line costs nearly twice one inside it, and arrays
// often start 16 bytes past a line: unaligned, a transposed 1024 x 1024 sum
// took a third longer on two cores. When the memory rows are a multiple of
// 32 bytes apart and the blocks start a whole number of blocks past a 32-byte
// boundary, the groups of 8 start that many blocks early, so that every load
// is aligned. The first and last groups read under a mask: nothing outside
// the blocks is read, and the lanes of blocks outside them are dropped.
#include <immintrin.h>

#include <cstdint>

#include "ops/layer_lanes_avx2.hpp"
#include "ops/layer_sum_variants.hpp"
#include "ops/transpose_avx2.hpp"

namespace zoltra::ops {

namespace {

// Groups of 8 blocks a lane takes at once: 4 chains of additions in flight.
constexpr int kGroups = 4;

// The 8P floats of a group at p, or those in [lo, hi) of them with zeros for
// the rest when Masked, split into value r of the 8 blocks.
template <int P, bool Masked>
void split(const char* p, __m256* v, int lo, int hi) noexcept {
  const auto* f = reinterpret_cast<const float*>(p);
  __m256 r[P];
  for (int i = 0; i < P; ++i)
    if (!Masked || (lo <= 8 * i && hi >= 8 * i + 8))
      r[i] = _mm256_loadu_ps(f + 8 * i);
    else if (lo >= 8 * i + 8 || hi <= 8 * i)
      r[i] = _mm256_setzero_ps();
    else
      r[i] = _mm256_maskload_ps(f + 8 * i, span_mask(lo, hi, i));
  if constexpr (P == 1) {
    v[0] = r[0];
  } else if constexpr (P == 2) {
    v[0] = _mm256_shuffle_ps(r[0], r[1], _MM_SHUFFLE(2, 0, 2, 0));
    v[1] = _mm256_shuffle_ps(r[0], r[1], _MM_SHUFFLE(3, 1, 3, 1));
  } else if constexpr (P == 4) {
    transpose_in_lanes(r, v);
  } else {
    for (int i = 0; i < 8; ++i) v[i] = r[i];
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

// C chains of additions, each a lane of one group of 8 blocks. Chain c
// reads its memory rows from at + c gap on (the next 64 rows on), keeps its
// blocks in [lo[c], hi[c]) of the 8 (reading no others when Masked), and its
// sums go to lane `lane + c lane_gap` of the lanes' blocks from
// `first + c first_gap`. Each block's first values are added as they come,
// the others stored until those are in.
template <int P, int C, bool Masked>
struct Chains {
  const char* at;
  std::int64_t gap;
  int lane, lane_gap;
  std::int64_t first, first_gap;
  int lo[C], hi[C];

  void run(std::int64_t step, __m256* scratch, float* lanes) const noexcept {
    constexpr int kColumns = kLayerLanes / P;  // of a block in one lane
    __m256 s[C];
    for (auto& x : s) x = _mm256_set1_ps(-0.0f);
    for (int k = 0; k < kColumns; ++k) {
      const char* column = at + static_cast<std::int64_t>(kLayerLanes * k) * step;
#pragma GCC unroll 4
      for (int c = 0; c < C; ++c) {
        __m256 v[P];
        split<P, Masked>(column + c * gap, v, P * lo[c], P * hi[c]);
        s[c] = _mm256_add_ps(s[c], v[0]);
        for (int r = 1; r < P; ++r) scratch[((r - 1) * kColumns + k) * C + c] = v[r];
      }
    }
#pragma GCC unroll 4
    for (int t = 0; t < (P - 1) * kColumns; ++t)
#pragma GCC unroll 4
      for (int c = 0; c < C; ++c) s[c] = _mm256_add_ps(s[c], scratch[t * C + c]);
    for (int c = 0; c < C; ++c) {
      alignas(32) float sums[8];
      _mm256_store_ps(sums, s[c]);
      float* out = lanes + kLayerLanes * (first + c * first_gap) + lane + c * lane_gap;
      for (int i = 0; i < 8; ++i) {
        const int b = kBlockOf<P>[i];
        if (!Masked || (b >= lo[c] && b < hi[c])) out[kLayerLanes * b] = sums[i];
      }
    }
  }
};

// The blocks of the group from block g (counted from the 32-byte boundary,
// lead blocks before the lanes' first) that lie in [lead, end).
struct Span {
  int lo, hi;
  Span(std::int64_t g, std::int64_t lead, std::int64_t end) noexcept
      : lo(static_cast<int>(lead > g ? lead - g : 0)), hi(static_cast<int>(end - g < 8 ? end - g : 8)) {}
  bool whole() const noexcept { return lo == 0 && hi == 8; }
};

// Lane l of the kGroups groups from block g: masked where they run past
// either end.
template <int P, bool Masked>
void lane_pass(const char* base, std::int64_t step, int l, __m256* scratch, float* lanes, std::int64_t g,
               std::int64_t lead, std::int64_t end) noexcept {
  Chains<P, kGroups, Masked> chains{base + 4 * P * g + l * step, 32 * P, l, 0, g - lead, 8, {}, {}};
  for (int c = 0; c < kGroups; ++c) {
    const Span span(g + 8 * c, lead, end);
    chains.lo[c] = span.lo, chains.hi[c] = span.hi;
  }
  chains.run(step, scratch, lanes);
}

// Lanes [l, l + 4) of the one group from block g: four chains in flight.
template <int P, bool Masked>
void group_pass(const char* base, std::int64_t step, int l, __m256* scratch, float* lanes, std::int64_t g,
                std::int64_t lead, std::int64_t end) noexcept {
  Chains<P, kGroups, Masked> chains{base + 4 * P * g + l * step, step, l, 1, g - lead, 0, {}, {}};
  const Span span(g, lead, end);
  for (int c = 0; c < kGroups; ++c) chains.lo[c] = span.lo, chains.hi[c] = span.hi;
  chains.run(step, scratch, lanes);
}

template <int P>
void column_lanes(const char* top, std::int64_t step, std::uint64_t blocks, float* lanes) noexcept {
  constexpr std::int64_t kBlockBytes = 4 * P;
  const auto at = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(top) % 32);
  // Blocks from the 32-byte boundary before top: the groups start there.
  const std::int64_t lead = step % 32 == 0 && at % kBlockBytes == 0 ? at / kBlockBytes : 0;
  const std::int64_t end = lead + static_cast<std::int64_t>(blocks);
  // Passes of kGroups groups, then the groups left one by one.
  const std::int64_t passed = (end + 7) / (8 * kGroups) * (8 * kGroups);
  const char* base = top - lead * kBlockBytes;
  alignas(32) __m256 scratch[kLayerLanes * kGroups];
  // Lane by lane, so that the few memory rows of one lane are read through
  // before the next lane's: rows a power of two apart share their cache sets.
  for (int l = 0; l < static_cast<int>(kLayerLanes); ++l)
    for (std::int64_t g = 0; g < passed; g += 8 * kGroups) {
      if (Span(g, lead, end).whole() && Span(g + 8 * (kGroups - 1), lead, end).whole())
        lane_pass<P, false>(base, step, l, scratch, lanes, g, lead, end);
      else
        lane_pass<P, true>(base, step, l, scratch, lanes, g, lead, end);
    }
  for (std::int64_t g = passed; g < end; g += 8)
    for (int l = 0; l < static_cast<int>(kLayerLanes); l += kGroups) {
      if (Span(g, lead, end).whole())
        group_pass<P, false>(base, step, l, scratch, lanes, g, lead, end);
      else
        group_pass<P, true>(base, step, l, scratch, lanes, g, lead, end);
    }
}

}  // namespace

void layer_column_lanes_avx2(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t blocks,
                             float* lanes) noexcept {
  switch (rows) {
    case 1: return column_lanes<1>(top, step, blocks, lanes);
    case 2: return column_lanes<2>(top, step, blocks, lanes);
    case 4: return column_lanes<4>(top, step, blocks, lanes);
    default: return column_lanes<8>(top, step, blocks, lanes);
  }
}

}  // namespace zoltra::ops
