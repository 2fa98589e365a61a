// The matrix-product dispatch and the dot-product step.
#include "ops/matmul.hpp"

#include <cstddef>
#include <cstring>

#include "backend/dispatch.hpp"
#include "backend/processor_count.hpp"
#include "common/unaligned.hpp"
#include "ops/blas.hpp"
#include "ops/matmul_kernels.hpp"
#include "ops/matmul_plan.hpp"
#include "scheduler/arena.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {
namespace {

void sgemm_rows(const float* a, const float* b, float* c, std::uint64_t rows, std::uint64_t k, std::uint64_t n) {
  cblas_sgemm_row_major(a, b, c, rows, n, k);
}

MatmulKernel kernel_for(const backend::CpuFeatures& features) noexcept {
  return matmul_kernel_variant(features) == MatmulKernelVariant::kAvx512 ? kernel_matmul_f32_avx512
                                                                          : kernel_matmul_f32_avx2;
}

void run_parallel(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k, std::uint64_t n,
                  const MatmulPlan& plan, const backend::CpuFeatures& features) {
  const MatmulKernel kernel = kernel_for(features);
  scheduler::with_arena([&](scheduler::ThreadArena&) {
    auto chunk = [&](std::size_t index) {
      const RowRange rows = matmul_chunk_rows(plan, m, index);
      const float* a_rows = a + rows.first * k;
      float* c_rows = c + rows.first * n;
      if (plan_matmul_chunk(rows.count, k, n, features) == ChunkPath::kKernel)
        kernel(a_rows, b, c_rows, rows.count, k, n);
      else
        sgemm_rows(a_rows, b, c_rows, rows.count, k, n);
    };
    scheduler::run_chunks(static_cast<std::size_t>(plan.chunk_count), chunk);
  });
}

}  // namespace

profiler::ProductRun matmul_f32_cpu_dispatch(const float* a, const float* b, float* c, std::uint64_t m,
                                             std::uint64_t k, std::uint64_t n) {
  return matmul_f32_cpu_dispatch(a, b, c, m, k, n, backend::cpu_features(), backend::processor_count());
}

profiler::ProductRun matmul_f32_cpu_dispatch(const float* a, const float* b, float* c, std::uint64_t m,
                                             std::uint64_t k, std::uint64_t n, const backend::CpuFeatures& features,
                                             std::uint64_t processors) {
  const std::uint8_t policy = backend::current_policy();
  backend::set_last_dispatch(backend::kBackendCpu);
  backend::record_detailed_dispatch(backend::kBackendCpu, "matmul", m, n, k, policy);

  const MatmulPlan plan = plan_matmul(m, k, n, features, processors);
  switch (plan.path) {
    case MatmulPath::kNothing:
      break;
    case MatmulPath::kZeroFill:
      std::memset(c, 0, static_cast<std::size_t>(m * n) * sizeof(float));
      break;
    case MatmulPath::kKernel:
      kernel_for(features)(a, b, c, m, k, n);
      break;
    case MatmulPath::kParallel:
      run_parallel(a, b, c, m, k, n, plan, features);
      break;
    case MatmulPath::kWholeBlas:
      sgemm_rows(a, b, c, m, k, n);
      break;
  }
  return describe_matmul(plan, m, k, n, features);
}

float dot_product_f32_scalar(const float* a, const float* b, std::uint64_t count) noexcept {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < count; ++i) s = s + load_unaligned<float>(a + i) * load_unaligned<float>(b + i);
  return s;
}

float dot_product_f32(const float* a, const float* b, std::uint64_t count) noexcept {
  return dot_product_f32(a, b, count, backend::cpu_features());
}

float dot_product_f32(const float* a, const float* b, std::uint64_t count,
                      const backend::CpuFeatures& features) noexcept {
  if (features.avx2 && features.fma) return dot_product_f32_avx2(a, b, count);
  return dot_product_f32_scalar(a, b, count);
}

}  // namespace zoltra::ops
