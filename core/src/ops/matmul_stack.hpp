#pragma once
// Stacks of matrix products: C_s = A_s x B_s for s < count, every pair
// row-major and contiguous (m x k, k x n, m x n), each product exactly the
// one matmul_f32_cpu_dispatch computes for that pair alone. Pointers rather
// than strides, so that broadcast stacks can share a matrix; the outputs do
// not overlap the inputs or one another. A lone product (count 1) that the
// dispatch would keep on the calling thread is split into rows over the pool
// from 262,144 multiply-adds, and is described for the profiler; a stack is not.
#include <cstdint>

#include "profiler/product_run.hpp"

namespace zoltra::ops {

profiler::ProductRun matmul_stack_f32_cpu(const float* const* a, const float* const* b, float* const* c,
                                          std::uint64_t count, std::uint64_t m, std::uint64_t k, std::uint64_t n);

}  // namespace zoltra::ops
