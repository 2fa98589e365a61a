// The element-wise entry kernels: each forwards to the variant chosen once for
// this processor.
#include "ops/elementwise.hpp"

#include "ops/chosen_variants.hpp"
#include "ops/elementwise_variants.hpp"

namespace zoltra::ops {

ElementwiseKernels elementwise_kernels_for(const backend::CpuFeatures& features) noexcept {
  if (features.avx2) return {add_f32_avx2, sub_f32_avx2, mul_f32_avx2, div_f32_avx2};
  return {add_f32_portable, sub_f32_portable, mul_f32_portable, div_f32_portable};
}

namespace {
using Chosen = ChosenVariants<ElementwiseKernels, elementwise_kernels_for>;
}  // namespace

void add_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  Chosen::run<&ElementwiseKernels::add>(a, b, out, count);
}

void sub_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  Chosen::run<&ElementwiseKernels::sub>(a, b, out, count);
}

void mul_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  Chosen::run<&ElementwiseKernels::mul>(a, b, out, count);
}

void div_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  Chosen::run<&ElementwiseKernels::div>(a, b, out, count);
}

}  // namespace zoltra::ops
