// The axis reductions' inner loops for any x86-64 processor, in plain C++.
#include "common/unaligned.hpp"
#include "ops/axis_reduce_lanes.hpp"

namespace zoltra::ops {
namespace {

void max_f32_step(float* acc, const float* row, std::uint64_t width) noexcept {
  for (std::uint64_t j = 0; j < width; ++j) acc[j] = row[j] > acc[j] ? row[j] : acc[j];
}

void min_f32_step(float* acc, const float* row, std::uint64_t width) noexcept {
  for (std::uint64_t j = 0; j < width; ++j) acc[j] = row[j] < acc[j] ? row[j] : acc[j];
}

float max_run(const float* data, std::uint64_t count) noexcept {
  float r = load_unaligned<float>(data);
  for (std::uint64_t i = 1; i < count; ++i) {
    const float v = load_unaligned<float>(data + i);
    r = v > r ? v : r;
  }
  return r;
}

float min_run(const float* data, std::uint64_t count) noexcept {
  float r = load_unaligned<float>(data);
  for (std::uint64_t i = 1; i < count; ++i) {
    const float v = load_unaligned<float>(data + i);
    r = v < r ? v : r;
  }
  return r;
}

}  // namespace

AxisReduceKernels axis_reduce_portable() noexcept {
  return {sum_f32_step, max_f32_step, min_f32_step, sum_u32_step, all_u8_step, any_u8_step, max_run, min_run};
}

}  // namespace zoltra::ops
