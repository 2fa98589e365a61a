#pragma once
// The element-wise kernels of each instruction set, every one for a whole
// buffer on the calling thread, and the choice between them. All of them give
// the same bits: every element is one correctly rounded operation.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

using ElementwiseKernel = void (*)(const float* a, const float* b, float* out, std::uint64_t count) noexcept;

enum class ElementwiseOp : std::uint8_t { kAdd, kSub, kMul, kDiv };

struct ElementwiseKernels {
  ElementwiseKernel op[4];  // by ElementwiseOp
};

enum class ElementwiseVariant : std::uint8_t { kAvx2 };

// Pure, so tests can ask for any processor.
ElementwiseVariant elementwise_variant_for(const backend::CpuFeatures& features) noexcept;

// `streaming`: the kernels whose stores bypass the caches, for outputs that
// would not stay in them anyway.
const ElementwiseKernels& elementwise_kernels(ElementwiseVariant variant, bool streaming) noexcept;

// 8 lanes per step (AVX2).
void add_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void sub_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void mul_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void div_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void add_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void sub_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void mul_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void div_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;

}  // namespace zoltra::ops
