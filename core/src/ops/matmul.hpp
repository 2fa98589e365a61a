#pragma once
// Dense row-major float32 matrix product and dot product: the choice of path
// and kernel. The kernels themselves are declared in ops/matmul_kernels.hpp.
#include <cstdint>

#include "backend/capabilities.hpp"
#include "profiler/product_run.hpp"

namespace zoltra::ops {

// Loads what a product of these sizes will need on this processor (OpenBLAS
// on its first use); throws Unavailable when it cannot. The dispatch does it
// too; callers that record anything first (a profiling scope) call it before.
void matmul_f32_prepare(std::uint64_t m, std::uint64_t k, std::uint64_t n);

// C (m x n) = A (m x k) x B (k x n). Loads OpenBLAS if the product needs it
// (throws Unavailable before anything is written when it cannot), writes the
// dispatch record, then picks the micro-kernel, parallel row chunks or
// OpenBLAS tiles by m*k*n and the processor's features. Returns the path it
// took, for the profiler.
profiler::ProductRun matmul_f32_cpu_dispatch(const float* a, const float* b, float* c, std::uint64_t m,
                                             std::uint64_t k, std::uint64_t n);

// The same for a given feature set and processor count, so that tests can run
// the paths of processors other than this one (the features must be ones this
// processor has).
profiler::ProductRun matmul_f32_cpu_dispatch(const float* a, const float* b, float* c, std::uint64_t m,
                                             std::uint64_t k, std::uint64_t n, const backend::CpuFeatures& features,
                                             std::uint64_t processors);

// The dot-product step: the AVX2 kernel with AVX2 + FMA, else a scalar loop.
float dot_product_f32(const float* a, const float* b, std::uint64_t count) noexcept;
float dot_product_f32(const float* a, const float* b, std::uint64_t count,
                      const backend::CpuFeatures& features) noexcept;
float dot_product_f32_scalar(const float* a, const float* b, std::uint64_t count) noexcept;

}  // namespace zoltra::ops
