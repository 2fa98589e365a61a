// Strided floats put side by side with AVX2. A band of a transposed matrix in
// row-major order: 8 columns x 8 rows loaded as 8 vectors (one per column, 32
// bytes of one line), transposed in registers, stored as 8 pieces of rows.
#include <immintrin.h>

#include "ops/layer_sum_variants.hpp"
#include "ops/transpose_avx2.hpp"

namespace zoltra::ops {

void layer_transpose_band_avx2(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t columns,
                               float* const* out_rows) noexcept {
  const std::uint32_t vector_rows = rows & ~7u;
  std::uint64_t c = 0;
  if (vector_rows > 0) {
    for (; c + 8 <= columns; c += 8) {
      const char* column = top + static_cast<std::int64_t>(c) * step;
      for (std::uint32_t r = 0; r < vector_rows; r += 8) {
        __m256 v[8];
        for (int i = 0; i < 8; ++i) v[i] = _mm256_loadu_ps(reinterpret_cast<const float*>(column + i * step + 4 * r));
        transpose8(v);
        for (int i = 0; i < 8; ++i) _mm256_storeu_ps(out_rows[r + i] + c, v[i]);
      }
    }
  }
  float* const* rest = out_rows + vector_rows;
  if (vector_rows < rows)
    layer_transpose_band_portable(top + 4 * vector_rows, step, rows - vector_rows, c, rest);
  if (c < columns) {
    float* tail[32];
    for (std::uint32_t r = 0; r < rows; ++r) tail[r] = out_rows[r] + c;
    layer_transpose_band_portable(top + static_cast<std::int64_t>(c) * step, step, rows, columns - c, tail);
  }
}

void layer_gather_pairs_avx2(const char* src, std::uint64_t count, float* out) noexcept {
  std::uint64_t i = 0;
  // The last pair's second float lies past the last element: the strict bound
  // keeps it before the next element, inside the array.
  for (; i + 8 < count; i += 8) {
    const __m256 low = _mm256_loadu_ps(reinterpret_cast<const float*>(src + 8 * i));
    const __m256 high = _mm256_loadu_ps(reinterpret_cast<const float*>(src + 8 * i + 32));
    // Evens of each 128-bit half: low 0 2 high 0 2 | low 4 6 high 4 6.
    const __m256 evens = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    _mm256_storeu_ps(out + i, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(evens), _MM_SHUFFLE(3, 1, 2, 0))));
  }
  layer_gather_pairs_portable(src + 8 * i, count - i, out + i);
}

}  // namespace zoltra::ops
