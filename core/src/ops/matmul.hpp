#pragma once
// Dense row-major float32 matrix product and dot product.
#include <cstdint>

namespace zoltra::ops {

// C (m x n) = A (m x k) x B (k x n). Writes the dispatch record, then picks the
// micro-kernel, parallel row chunks or one OpenBLAS call by m*k*n and the
// processor's features.
void matmul_f32_cpu_dispatch(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                             std::uint64_t n);

// 4 x 8 FMA register tiles; C is overwritten, never read. Needs AVX2 + FMA.
void kernel_matmul_f32_avx2(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k,
                            std::uint64_t n) noexcept;

// One fused 8-lane accumulator, fixed lane reduction, separately rounded tail.
float dot_product_f32_avx2(const float* a, const float* b, std::uint64_t count) noexcept;

// The dot-product step: the AVX2 kernel with AVX2 + FMA, else a scalar loop.
float dot_product_f32(const float* a, const float* b, std::uint64_t count) noexcept;
float dot_product_f32_scalar(const float* a, const float* b, std::uint64_t count) noexcept;

}  // namespace zoltra::ops
