#pragma once
// The flat-reduction kernels for each kind of processor, and the choice among
// them. Every variant gives the same bits: the float32 sum follows one order
// of additions (8 lanes, fixed fold, compensated tail) whatever the vector
// width, and the other reductions cannot depend on order.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

// Plain C++ for any x86-64 processor.
float sum_f32_portable(const float* data, std::uint64_t count) noexcept;
std::int32_t sum_i32_portable(const std::int32_t* data, std::uint64_t count) noexcept;
bool all_bool_portable(const std::uint8_t* data, std::uint64_t count) noexcept;
bool any_bool_portable(const std::uint8_t* data, std::uint64_t count) noexcept;

// 256-bit vectors; needs AVX2.
float sum_f32_avx2(const float* data, std::uint64_t count) noexcept;
std::int32_t sum_i32_avx2(const std::int32_t* data, std::uint64_t count) noexcept;
bool all_bool_avx2(const std::uint8_t* data, std::uint64_t count) noexcept;
bool any_bool_avx2(const std::uint8_t* data, std::uint64_t count) noexcept;

// Kahan summation of data[0..count) onto s, compensation starting at 0, with
// the compensation dropped once the running sum is infinite or NaN. The tail
// of every float32 sum variant, and compensated_sum_f32_cpu from s = +0.0.
float kahan_onto_f32(float s, const float* data, std::uint64_t count) noexcept;

struct FlatReduceKernels {
  float (*sum_f32)(const float*, std::uint64_t) noexcept;
  std::int32_t (*sum_i32)(const std::int32_t*, std::uint64_t) noexcept;
  bool (*all_bool)(const std::uint8_t*, std::uint64_t) noexcept;
  bool (*any_bool)(const std::uint8_t*, std::uint64_t) noexcept;
};

// The variants a processor with these features runs.
FlatReduceKernels flat_reduce_kernels_for(const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
