// The element-wise entry kernels: each forwards to the variant chosen for this
// processor. The choice is made once, on the first call, and kept as function
// pointers, so a call costs one indirect jump more than the variant itself.
#include "ops/elementwise.hpp"

#include "ops/elementwise_variants.hpp"

namespace zoltra::ops {

ElementwiseKernels elementwise_kernels_for(const backend::CpuFeatures& features) noexcept {
  if (features.avx2) return {add_f32_avx2, sub_f32_avx2, mul_f32_avx2, div_f32_avx2};
  return {add_f32_portable, sub_f32_portable, mul_f32_portable, div_f32_portable};
}

namespace {

const ElementwiseKernels& chosen() noexcept {
  static const ElementwiseKernels kernels = elementwise_kernels_for(backend::cpu_features());
  return kernels;
}

}  // namespace

void add_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  chosen().add(a, b, out, count);
}

void sub_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  chosen().sub(a, b, out, count);
}

void mul_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  chosen().mul(a, b, out, count);
}

void div_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  chosen().div(a, b, out, count);
}

}  // namespace zoltra::ops
