// The matrix-product dispatch and the dot-product step.
#include "ops/matmul.hpp"

#include <algorithm>
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

// The whole product in tiles of C on the pool, each one single-threaded
// OpenBLAS call (see kBlasTileRows).
void run_blas_tiles(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k, std::uint64_t n) {
  const TileGrid grid = blas_tiles(m, n);
  auto tile = [&](std::size_t index) {
    const std::uint64_t row = index / grid.column_tiles * kBlasTileRows;
    const std::uint64_t column = index % grid.column_tiles * kBlasTileColumns;
    const std::uint64_t rows = std::min(kBlasTileRows, m - row);
    const std::uint64_t columns = std::min(kBlasTileColumns, n - column);
    cblas_sgemm_row_major(a + row * k, b + column, c + row * n + column, rows, columns, k, k, n, n);
  };
  const std::uint64_t tiles = grid.row_tiles * grid.column_tiles;
  // Products below the parallel bound (without FMA) and calls from inside a
  // chunk run the same tiles one after another: the same bits.
  if (tiles == 1 || matmul_work(m, k, n) < kMatmulParallelBound || scheduler::on_pool_thread()) {
    for (std::uint64_t index = 0; index < tiles; ++index) tile(static_cast<std::size_t>(index));
    return;
  }
  scheduler::run_chunks(static_cast<std::size_t>(tiles), tile);
}

void run_parallel(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t k, std::uint64_t n,
                  const MatmulPlan& plan, const backend::CpuFeatures& features) {
  const MatmulKernel kernel = matmul_kernel_for(features);
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

void matmul_f32_prepare(std::uint64_t m, std::uint64_t k, std::uint64_t n) {
  const backend::CpuFeatures& features = backend::cpu_features();
  if (plan_uses_blas(plan_matmul(m, k, n, features, backend::processor_count()), k, n, features)) openblas();
}

profiler::ProductRun matmul_f32_cpu_dispatch(const float* a, const float* b, float* c, std::uint64_t m,
                                             std::uint64_t k, std::uint64_t n) {
  return matmul_f32_cpu_dispatch(a, b, c, m, k, n, backend::cpu_features(), backend::processor_count());
}

profiler::ProductRun matmul_f32_cpu_dispatch(const float* a, const float* b, float* c, std::uint64_t m,
                                             std::uint64_t k, std::uint64_t n, const backend::CpuFeatures& features,
                                             std::uint64_t processors) {
  const MatmulPlan plan = plan_matmul(m, k, n, features, processors);
  // Loaded before anything is recorded or written, so that a library that
  // cannot be loaded fails the call cleanly (Unavailable).
  if (plan_uses_blas(plan, k, n, features)) openblas();

  const std::uint8_t policy = backend::current_policy();
  backend::set_last_dispatch(backend::kBackendCpu);
  backend::record_detailed_dispatch(backend::kBackendCpu, "matmul", m, n, k, policy);
  switch (plan.path) {
    case MatmulPath::kNothing:
      break;
    case MatmulPath::kZeroFill:
      std::memset(c, 0, static_cast<std::size_t>(m * n) * sizeof(float));
      break;
    case MatmulPath::kKernel:
      matmul_kernel_for(features)(a, b, c, m, k, n);
      break;
    case MatmulPath::kParallel:
      run_parallel(a, b, c, m, k, n, plan, features);
      break;
    case MatmulPath::kWholeBlas:
      run_blas_tiles(a, b, c, m, k, n);
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
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return dot_product_f32_avx2(a, b, count);
  return dot_product_f32_scalar(a, b, count);
}

MatmulKernel matmul_kernel_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    return matmul_kernel_variant(features) == MatmulKernelVariant::kAvx512 ? kernel_matmul_f32_avx512
                                                                            : kernel_matmul_f32_avx2;
  return nullptr;
}

}  // namespace zoltra::ops
