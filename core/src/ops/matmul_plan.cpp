#include "ops/matmul_plan.hpp"

#include "common/decimal.hpp"

namespace zoltra::ops {

std::uint64_t matmul_work(std::uint64_t m, std::uint64_t k, std::uint64_t n) noexcept { return m * k * n; }

MatmulPlan plan_matmul(std::uint64_t m, std::uint64_t k, std::uint64_t n, const backend::CpuFeatures& features,
                       std::uint64_t processors) noexcept {
  MatmulPlan plan;
  if (m == 0 || n == 0) return plan;
  if (k == 0) {
    plan.path = MatmulPath::kZeroFill;
    return plan;
  }
  const std::uint64_t w = matmul_work(m, k, n);
  if (w >= kMatmulWholeBlasBound) {
    plan.path = MatmulPath::kWholeBlas;
  } else if (w >= kMatmulParallelBound) {
    const std::uint64_t p = processors == 0 ? 1 : processors;
    plan.path = MatmulPath::kParallel;
    plan.rows_per_chunk = ceil_div(m, p);  // at least 1, since m > 0
    plan.chunk_count = ceil_div(m, plan.rows_per_chunk);
  } else if (backend::runs_avx512_files(features) || backend::runs_avx2_files(features)) {
    plan.path = MatmulPath::kKernel;
  } else {
    plan.path = MatmulPath::kWholeBlas;
  }
  return plan;
}

ChunkPath plan_matmul_chunk(std::uint64_t rows, std::uint64_t k, std::uint64_t n,
                            const backend::CpuFeatures& features) noexcept {
  const std::uint64_t wc = matmul_work(rows, k, n);
  if (backend::runs_avx512_files(features)) return wc <= kMatmulChunkBoundAvx512 ? ChunkPath::kKernel : ChunkPath::kBlas;
  if (backend::runs_avx2_files(features) && wc <= kMatmulChunkBoundAvx2) return ChunkPath::kKernel;
  return ChunkPath::kBlas;
}

MatmulKernelVariant matmul_kernel_variant(const backend::CpuFeatures& features) noexcept {
  return backend::runs_avx512_files(features) ? MatmulKernelVariant::kAvx512 : MatmulKernelVariant::kAvx2;
}

bool plan_uses_blas(const MatmulPlan& plan, std::uint64_t k, std::uint64_t n,
                    const backend::CpuFeatures& features) noexcept {
  if (plan.path == MatmulPath::kWholeBlas) return true;
  // Chunks other than the last have the most rows, hence the most work.
  return plan.path == MatmulPath::kParallel &&
         plan_matmul_chunk(plan.rows_per_chunk, k, n, features) == ChunkPath::kBlas;
}

TileGrid blas_tiles(std::uint64_t m, std::uint64_t n) noexcept {
  return {ceil_div(m, kBlasTileRows), ceil_div(n, kBlasTileColumns)};
}

unsigned matmul_avx512_panel_width(std::uint64_t m, std::uint64_t k, std::size_t l1d_bytes) noexcept {
  if (m <= 2) return m == 1 ? 8 : 6;
  unsigned width = 4;
  while (width > 2 && width * 64 * k > l1d_bytes) --width;
  return width;
}

bool matmul_tail_rows_interleave(std::uint64_t row_stride_bytes, std::uint64_t rows, std::size_t l1d_bytes) noexcept {
  // A way of an x86 L1d spans one 4 KiB page (64 sets of 64-byte lines), so
  // that it is indexed by the page offset alone; its ways are what is left.
  constexpr std::uint64_t kSets = 64, kLine = 64, kWay = kSets * kLine;
  const std::uint64_t ways = l1d_bytes / kWay;
  std::uint64_t per_set[kSets] = {};
  for (std::uint64_t row = 0; row < rows; ++row)
    if (++per_set[row * row_stride_bytes / kLine % kSets] > ways) return false;
  return true;
}

RowRange matmul_chunk_rows(const MatmulPlan& plan, std::uint64_t m, std::uint64_t index) noexcept {
  const std::uint64_t first = index * plan.rows_per_chunk;
  const std::uint64_t left = m - first;
  return {first, left < plan.rows_per_chunk ? left : plan.rows_per_chunk};
}

// A pure function of the plan: the chunks count nothing while they run.
profiler::ProductRun describe_matmul(const MatmulPlan& plan, std::uint64_t m, std::uint64_t k, std::uint64_t n,
                                     const backend::CpuFeatures& features) noexcept {
  using profiler::ProductPath;
  profiler::ProductRun run;
  run.m = m;
  run.k = k;
  run.n = n;
  const std::uint8_t lanes = matmul_kernel_variant(features) == MatmulKernelVariant::kAvx512 ? 16 : 8;
  switch (plan.path) {
    case MatmulPath::kNothing: run.path = ProductPath::kEmpty; break;
    case MatmulPath::kZeroFill: run.path = ProductPath::kZeroFill; break;
    case MatmulPath::kWholeBlas: {
      run.path = ProductPath::kOpenBlas;
      const TileGrid tiles = blas_tiles(m, n);
      run.chunks = static_cast<std::uint32_t>(tiles.row_tiles * tiles.column_tiles);
      break;
    }
    case MatmulPath::kKernel:
      run.path = ProductPath::kKernel;
      run.kernel_lanes = lanes;
      break;
    case MatmulPath::kParallel: {
      run.path = ProductPath::kChunks;
      run.chunks = static_cast<std::uint32_t>(plan.chunk_count);
      run.rows_per_chunk = plan.rows_per_chunk;
      // Every chunk but the last has rows_per_chunk rows.
      const RowRange last = matmul_chunk_rows(plan, m, plan.chunk_count - 1);
      if (plan_matmul_chunk(plan.rows_per_chunk, k, n, features) == ChunkPath::kKernel)
        run.kernel_chunks += static_cast<std::uint32_t>(plan.chunk_count - 1);
      if (plan_matmul_chunk(last.count, k, n, features) == ChunkPath::kKernel) ++run.kernel_chunks;
      if (run.kernel_chunks != 0) run.kernel_lanes = lanes;
      break;
    }
  }
  return run;
}

}  // namespace zoltra::ops
