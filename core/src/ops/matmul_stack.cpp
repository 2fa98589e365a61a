// Stacks of products. A product small enough for the micro-kernel on the
// calling thread runs so on whichever thread takes it, so stacks of them are
// spread over the pool, a range of the stack per chunk; larger products are
// taken one after another, each with its own path (row chunks on the pool,
// or OpenBLAS).
#include "ops/matmul_stack.hpp"

#include <cstddef>

#include "backend/capabilities.hpp"
#include "backend/dispatch.hpp"
#include "backend/processor_count.hpp"
#include "ops/matmul.hpp"
#include "ops/matmul_kernels.hpp"
#include "ops/matmul_plan.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

void matmul_stack_f32_cpu(const float* const* a, const float* const* b, float* const* c, std::uint64_t count,
                          std::uint64_t m, std::uint64_t k, std::uint64_t n) {
  const backend::CpuFeatures& features = backend::cpu_features();
  const std::uint64_t processors = backend::processor_count();
  const MatmulPlan plan = plan_matmul(m, k, n, features, processors);
  if (plan.path != MatmulPath::kKernel || count < 2 || processors < 2 || scheduler::on_pool_thread()) {
    for (std::uint64_t s = 0; s < count; ++s) matmul_f32_cpu_dispatch(a[s], b[s], c[s], m, k, n);
    return;
  }
  // Recorded once for the stack, as the dispatch does for one product.
  backend::set_last_dispatch(backend::kBackendCpu);
  backend::record_detailed_dispatch(backend::kBackendCpu, "matmul", m, n, k, backend::current_policy());
  const MatmulKernel kernel = matmul_kernel_variant(features) == MatmulKernelVariant::kAvx512
                                  ? kernel_matmul_f32_avx512
                                  : kernel_matmul_f32_avx2;
  // Chunks are claimed as threads arrive: several per processor let the
  // threads that start first take over the share of one that starts late.
  const std::uint64_t chunks = count < 8 * processors ? count : 8 * processors;
  auto chunk = [&](std::size_t index) {
    for (std::uint64_t s = index * count / chunks; s < (index + 1) * count / chunks; ++s)
      kernel(a[s], b[s], c[s], m, k, n);
  };
  scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
}

}  // namespace zoltra::ops
