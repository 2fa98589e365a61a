// Stacks of products. A product small enough for the micro-kernel on the
// calling thread runs so on whichever thread takes it, so stacks of them are
// spread over the pool, a range of the stack per chunk (a lone one of them,
// a range of its rows per chunk); larger products are
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
namespace {

// A lone product on the calling thread's path is split into row blocks over
// the pool from this much work (about 6 us on one core for 64^3, 30 us for a
// matrix x vector; the hand-off costs about 1): the layer's products then use
// every core while the raw entry point keeps its dispatch.
constexpr std::uint64_t kSplitRowsWork = 1u << 18;
constexpr std::uint64_t kSplitRowBlock = 8;

}  // namespace

profiler::ProductRun matmul_stack_f32_cpu(const float* const* a, const float* const* b, float* const* c,
                                          std::uint64_t count, std::uint64_t m, std::uint64_t k, std::uint64_t n) {
  const backend::CpuFeatures& features = backend::cpu_features();
  const std::uint64_t processors = backend::processor_count();
  const MatmulPlan plan = plan_matmul(m, k, n, features, processors);
  const bool split_rows = count == 1 && m >= 2 * kSplitRowBlock && m * k * n >= kSplitRowsWork;
  if (plan.path != MatmulPath::kKernel || (count < 2 && !split_rows) || processors < 2 ||
      scheduler::on_pool_thread()) {
    profiler::ProductRun run;
    for (std::uint64_t s = 0; s < count; ++s) run = matmul_f32_cpu_dispatch(a[s], b[s], c[s], m, k, n);
    return count == 1 ? run : profiler::ProductRun{};
  }
  // Recorded once for the stack, as the dispatch does for one product.
  backend::set_last_dispatch(backend::kBackendCpu);
  backend::record_detailed_dispatch(backend::kBackendCpu, "matmul", m, n, k, backend::current_policy());
  const MatmulKernel kernel = matmul_kernel_for(features);
  if (split_rows) {
    // Every element is one chain over k whatever rows share a call, so a row
    // split keeps the bits; blocks of whole 8-row groups keep the kernel's
    // vectors full.
    const std::uint64_t blocks = (m + kSplitRowBlock - 1) / kSplitRowBlock;
    const std::uint64_t chunks = blocks < processors ? blocks : processors;
    auto chunk = [&](std::size_t index) {
      const std::uint64_t first = index * blocks / chunks * kSplitRowBlock;
      const std::uint64_t end = (index + 1) * blocks / chunks * kSplitRowBlock;
      const std::uint64_t last = end < m ? end : m;
      kernel(a[0] + first * k, b[0], c[0] + first * n, last - first, k, n);
    };
    scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
    profiler::ProductRun run = describe_matmul(plan, m, k, n, features);
    run.path = profiler::ProductPath::kChunks;
    run.chunks = run.kernel_chunks = static_cast<std::uint32_t>(chunks);
    run.rows_per_chunk = blocks / chunks * kSplitRowBlock;
    return run;
  }
  // Chunks are claimed as threads arrive: several per processor let the
  // threads that start first take over the share of one that starts late.
  const std::uint64_t chunks = count < 8 * processors ? count : 8 * processors;
  auto chunk = [&](std::size_t index) {
    for (std::uint64_t s = index * count / chunks; s < (index + 1) * count / chunks; ++s)
      kernel(a[s], b[s], c[s], m, k, n);
  };
  scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
  return {};
}

}  // namespace zoltra::ops
