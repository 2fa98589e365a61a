#pragma once
// The element-wise kernels for each kind of processor, and the choice among
// them. Every variant gives the same bits: each element is one correctly
// rounded operation, whatever the vector width or the kind of store.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

using ElementwiseKernel = void (*)(const float*, const float*, float*, std::uint64_t) noexcept;

// Plain C++ for any x86-64 processor.
void add_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void sub_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void mul_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void div_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept;

// 256-bit vectors; needs AVX2.
void add_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void sub_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void mul_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void div_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept;

// The same with streaming stores, which bypass the caches: for outputs that
// would not stay in them anyway.
void add_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void sub_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void mul_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void div_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept;

struct ElementwiseKernels {
  ElementwiseKernel add, sub, mul, div;
};

// The variants a processor with these features runs, with ordinary and with
// streaming stores (the portable ones store ordinarily).
ElementwiseKernels elementwise_kernels_for(const backend::CpuFeatures& features) noexcept;
ElementwiseKernels elementwise_streaming_kernels_for(const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
