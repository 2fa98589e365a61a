// The sequential flat reductions: each forwards to the variant chosen once for
// this processor.
#include "ops/flat_reduce.hpp"

#include "ops/chosen_variants.hpp"
#include "ops/flat_reduce_variants.hpp"

namespace zoltra::ops {

FlatReduceKernels flat_reduce_kernels_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return {sum_f32_avx2, sum_i32_avx2, all_bool_avx2, any_bool_avx2};
  return {sum_f32_portable, sum_i32_portable, all_bool_portable, any_bool_portable};
}

namespace {
using Chosen = ChosenVariants<FlatReduceKernels, flat_reduce_kernels_for>;
}  // namespace

float sum_f32_cpu(const float* data, std::uint64_t count) noexcept {
  return Chosen::run<&FlatReduceKernels::sum_f32>(data, count);
}

std::int32_t sum_i32_cpu(const std::int32_t* data, std::uint64_t count) noexcept {
  return Chosen::run<&FlatReduceKernels::sum_i32>(data, count);
}

float mean_f32_cpu(const float* data, std::uint64_t count) noexcept {
  if (count == 0) return 0.0f;
  return sum_f32_cpu(data, count) / static_cast<float>(count);
}

float compensated_sum_f32_cpu(const float* data, std::uint64_t count) noexcept {
  return kahan_onto_f32(0.0f, data, count);
}

bool all_bool_cpu(const std::uint8_t* data, std::uint64_t count) noexcept {
  return Chosen::run<&FlatReduceKernels::all_bool>(data, count);
}

bool any_bool_cpu(const std::uint8_t* data, std::uint64_t count) noexcept {
  return Chosen::run<&FlatReduceKernels::any_bool>(data, count);
}

}  // namespace zoltra::ops
