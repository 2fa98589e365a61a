#pragma once
// How the matrix product is carried out, as a pure function of the sizes, the
// processor's features and the processor count, so every case can be checked
// on any machine.
#include <cstdint>

#include "backend/capabilities.hpp"
#include "profiler/product_run.hpp"

namespace zoltra::ops {

// Work sizes (multiply-adds, m*k*n wrapping in 64 bits).
inline constexpr std::uint64_t kMatmulWholeBlasBound = 16'777'216;  // at or above: one OpenBLAS call
inline constexpr std::uint64_t kMatmulParallelBound = 2'000'000;    // at or above: row chunks on the pool
inline constexpr std::uint64_t kMatmulChunkBoundAvx512 = 16'777'216;
inline constexpr std::uint64_t kMatmulChunkBoundAvx2 = 2'097'152;

enum class MatmulPath : std::uint8_t {
  kNothing,    // m or n is 0: C has no elements
  kZeroFill,   // k is 0: C is all +0.0
  kKernel,     // the micro-kernel on the calling thread
  kParallel,   // row chunks on the worker pool
  kWholeBlas,  // one cblas_sgemm over the whole product
};

enum class ChunkPath : std::uint8_t { kKernel, kBlas };

struct MatmulPlan {
  MatmulPath path = MatmulPath::kNothing;
  std::uint64_t rows_per_chunk = 0;  // R, parallel path only
  std::uint64_t chunk_count = 0;     // ceil(m / R), parallel path only
};

std::uint64_t matmul_work(std::uint64_t m, std::uint64_t k, std::uint64_t n) noexcept;

// Degenerate sizes never reach OpenBLAS (it rejects leading dimensions of 0);
// they get the result the micro-kernel would write.
MatmulPlan plan_matmul(std::uint64_t m, std::uint64_t k, std::uint64_t n, const backend::CpuFeatures& features,
                       std::uint64_t processors) noexcept;

// The choice for one row chunk of `rows` rows in the parallel path.
ChunkPath plan_matmul_chunk(std::uint64_t rows, std::uint64_t k, std::uint64_t n,
                            const backend::CpuFeatures& features) noexcept;

// The micro-kernel variant for these features, on the calling thread and in
// every chunk alike: 16-lane tiles with AVX-512F and FMA, else 8-lane ones.
// Both give the same bits.
enum class MatmulKernelVariant : std::uint8_t { kAvx2, kAvx512 };
MatmulKernelVariant matmul_kernel_variant(const backend::CpuFeatures& features) noexcept;

// Rows [first, first + count) of chunk `index` of a plan over m rows.
struct RowRange {
  std::uint64_t first;
  std::uint64_t count;
};
RowRange matmul_chunk_rows(const MatmulPlan& plan, std::uint64_t m, std::uint64_t index) noexcept;

// How a product planned so ran, as its profiled event keeps it: the path,
// the chunks and how many of them ran our kernel, m, k and n.
profiler::ProductRun describe_matmul(const MatmulPlan& plan, std::uint64_t m, std::uint64_t k, std::uint64_t n,
                                     const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
