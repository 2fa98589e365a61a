#pragma once
// The exp/log/sqrt/tanh kernels for each kind of processor, and the choice
// among them. Every variant gives the same bits: each result is correctly
// rounded.
#include <cstdint>

#include "backend/capabilities.hpp"
#include "ops/unary_math.hpp"

namespace zoltra::ops {

using UnaryMathKernel = void (*)(UnaryMath, const float*, float*, std::uint64_t) noexcept;

// Two double lanes of SSE2, any x86-64 processor.
void unary_math_f32_portable(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept;
// Four lanes, a fast stage with fused multiply-adds before the two-lane
// variant's arithmetic; needs AVX2 and FMA.
void unary_math_f32_avx2(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept;
// Eight lanes, the same two stages; needs AVX-512 (F, VL, DQ).
void unary_math_f32_avx512(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept;

UnaryMathKernel unary_math_kernel_for(const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
