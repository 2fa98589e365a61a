// The axis reductions' inner loops for any x86-64 processor, in plain C++.
#include "ops/axis_reduce_lanes.hpp"
#include "ops/fold_steps.hpp"

namespace zoltra::ops {
namespace {

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
  return {fold_rows<SumStep>, fold_rows<MaxStep>, fold_rows<MinStep>, sum_u32_step, all_u8_step, any_u8_step};
}

}  // namespace zoltra::ops
