// The axis reductions' inner loops for any x86-64 processor, in plain C++.
#include "ops/axis_reduce_lanes.hpp"

namespace zoltra::ops {
namespace {

struct Sum {
  static float apply(float r, float v) noexcept { return r + v; }
};
struct Max {
  static float apply(float r, float v) noexcept { return v > r ? v : r; }
};
struct Min {
  static float apply(float r, float v) noexcept { return v < r ? v : r; }
};

template <class Fold>
void fold_rows(float* acc, const float* const* rows, std::uint64_t n, std::uint64_t width) noexcept {
  for (std::uint64_t j = 0; j < width; ++j) {
    float r = acc[j];
    for (std::uint64_t k = 0; k < n; ++k) r = Fold::apply(r, rows[k][j]);
    acc[j] = r;
  }
}

}  // namespace

AxisReduceKernels axis_reduce_portable() noexcept {
  return {fold_rows<Sum>, fold_rows<Max>, fold_rows<Min>, sum_u32_step, all_u8_step, any_u8_step};
}

}  // namespace zoltra::ops
