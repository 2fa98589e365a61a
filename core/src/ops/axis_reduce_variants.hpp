#pragma once
// The inner loops of the axis reductions for each kind of processor. Every
// variant gives the same bits: each output is its own chain, folded in the
// same order, whatever the vector width.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

// Steps folded per pass over the accumulators: each output's chain passes
// through a register this many steps at a time.
inline constexpr std::uint64_t kLaneRows = 8;

struct AxisReduceKernels {
  // acc[j] = fold(...fold(fold(acc[j], rows[0][j]), rows[1][j])..., rows[n-1][j])
  // for j < width: `n` steps (at most kLaneRows) of `width` outputs that lie
  // side by side, each lane its own chain.
  void (*sum_f32)(float* acc, const float* const* rows, std::uint64_t n, std::uint64_t width) noexcept;
  void (*max_f32)(float* acc, const float* const* rows, std::uint64_t n, std::uint64_t width) noexcept;
  void (*min_f32)(float* acc, const float* const* rows, std::uint64_t n, std::uint64_t width) noexcept;
  // acc[j] = fold(acc[j], row[j]) for j < width: one step.
  void (*sum_u32)(std::uint32_t* acc, const std::uint32_t* row, std::uint64_t width) noexcept;
  void (*all_u8)(std::uint8_t* acc, const std::uint8_t* row, std::uint64_t width) noexcept;
  void (*any_u8)(std::uint8_t* acc, const std::uint8_t* row, std::uint64_t width) noexcept;
};

AxisReduceKernels axis_reduce_portable() noexcept;
AxisReduceKernels axis_reduce_avx2() noexcept;  // needs AVX2
AxisReduceKernels axis_reduce_kernels_for(const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
