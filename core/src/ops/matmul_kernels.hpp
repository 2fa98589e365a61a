#pragma once
// The matrix-product and dot-product kernels, apart from the code that picks
// one. Their common contract:
//  - raw row-major float32 buffers with no alignment requirement; the output
//    does not overlap the inputs; they allocate nothing, take no lock, keep no
//    state, and may run on several threads at once;
//  - each needs the instruction set its suffix names, plus FMA; callers check
//    the processor features first;
//  - every result's order of additions and its fused or separately rounded
//    operations are fixed, so all variants of one kernel give the same bits.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

// C (m x n) = A (m x k) x B (k x n); C is overwritten, never read. Every
// element is one chain over p = 0..k-1 from +0.0: fused multiply-adds in the
// first 8*floor(n/8) columns, separately rounded products and sums in the last
// n mod 8. The variants differ only in vector width and register tiles.
void kernel_matmul_f32_avx2(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                            std::uint64_t n) noexcept;
void kernel_matmul_f32_avx512(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                              std::uint64_t n) noexcept;

using MatmulKernel = void (*)(const float*, const float*, float*, std::uint64_t, std::uint64_t,
                              std::uint64_t) noexcept;

// The kernel matmul_kernel_variant names; null in builds without the x86
// files, whose plans never take the kernel path.
MatmulKernel matmul_kernel_for(const backend::CpuFeatures& features) noexcept;

// One fused 8-lane accumulator, the fixed 8-lane fold, then the last count % 8
// products separately rounded, in increasing index order.
float dot_product_f32_avx2(const float* a, const float* b, std::uint64_t count) noexcept;

}  // namespace zoltra::ops
