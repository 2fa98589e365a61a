// The layer's matrix x vector kernel in plain C++: one row after another.
#include "ops/layer_matvec_variants.hpp"
#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

void layer_rows_dot_portable(const float* const* rows, const float* v, std::uint32_t count, float* out) noexcept {
  for (int r = 0; r < kLayerRowGroup; ++r) out[r] = layer_block_dot_portable(rows[r], v, count);
}

}  // namespace zoltra::ops
