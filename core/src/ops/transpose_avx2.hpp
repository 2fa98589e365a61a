#pragma once
// Transposes in AVX2 registers. They move bits only. Included by AVX2 files
// only; the anonymous namespace keeps each file's copy its own.
#include <immintrin.h>

namespace zoltra::ops {
namespace {

// The 4 x 4 in-lane transpose: v[q] lane l holds r[l % 4] lane q + 4 (l / 4).
[[gnu::always_inline]] inline void transpose_in_lanes(const __m256 r[4], __m256 v[4]) noexcept {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  v[0] = _mm256_shuffle_ps(t0, t2, 0x44);
  v[1] = _mm256_shuffle_ps(t0, t2, 0xEE);
  v[2] = _mm256_shuffle_ps(t1, t3, 0x44);
  v[3] = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// The 8 x 8 transpose: element j of v[i] becomes element i of v[j]. Each half
// of the rows in lanes, then the halves crossed.
[[gnu::always_inline]] inline void transpose8(__m256 v[8]) noexcept {
  __m256 top[4], bottom[4];
  transpose_in_lanes(v, top);
  transpose_in_lanes(v + 4, bottom);
  for (int q = 0; q < 4; ++q) {
    v[q] = _mm256_permute2f128_ps(top[q], bottom[q], 0x20);
    v[q + 4] = _mm256_permute2f128_ps(top[q], bottom[q], 0x31);
  }
}

}  // namespace
}  // namespace zoltra::ops
