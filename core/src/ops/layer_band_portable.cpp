// Strided floats put side by side, one at a time: a band of a transposed
// matrix in row-major order, every second float of a run.
#include <cstring>

#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

void layer_transpose_band_portable(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t columns,
                                   float* const* out_rows) noexcept {
  for (std::uint64_t c = 0; c < columns; ++c) {
    const char* column = top + static_cast<std::int64_t>(c) * step;
    for (std::uint32_t r = 0; r < rows; ++r) std::memcpy(out_rows[r] + c, column + 4 * r, 4);
  }
}

void layer_gather_pairs_portable(const char* src, std::uint64_t count, float* out) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) std::memcpy(out + i, src + 8 * i, 4);
}

}  // namespace zoltra::ops
