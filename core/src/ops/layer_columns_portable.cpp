// Whole blocks of a transposed matrix, one lane at a time: the order the
// vector variants keep.
#include <cstring>

#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

void layer_column_lanes_portable(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t blocks,
                                 float* lanes) noexcept {
  const std::uint32_t columns = kLayerBlock / rows;
  for (std::uint64_t b = 0; b < blocks; ++b)
    for (std::uint32_t l = 0; l < kLayerLanes; ++l) {
      float lane = -0.0f;
      for (std::uint32_t r = 0; r < rows; ++r)
        for (std::uint32_t j = l; j < columns; j += kLayerLanes) {
          float v;
          std::memcpy(&v, top + 4 * (rows * b + r) + static_cast<std::int64_t>(j) * step, 4);
          lane += v;
        }
      lanes[kLayerLanes * b + l] = lane;
    }
}

}  // namespace zoltra::ops
