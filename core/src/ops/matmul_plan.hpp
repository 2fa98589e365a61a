#pragma once
// How the matrix product is carried out, as a pure function of the sizes, the
// processor's features and the processor count, so every case can be checked
// on any machine.
#include <cstddef>
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
  kWholeBlas,  // OpenBLAS over the whole product, in tiles (see below)
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
// every chunk alike: 16-lane tiles where the AVX-512 files can run, else
// 8-lane ones.
// Both give the same bits.
enum class MatmulKernelVariant : std::uint8_t { kAvx2, kAvx512 };
MatmulKernelVariant matmul_kernel_variant(const backend::CpuFeatures& features) noexcept;

// Accumulators per row of the 16-lane kernel's column panels: as wide as the
// row count leaves registers for, but narrowed for long k until a panel of B
// (k rows of that many 64-byte vectors, read once per row group) fits the L1
// data cache, so that it is not fetched again for every row group.
unsigned matmul_avx512_panel_width(std::uint64_t m, std::uint64_t k, std::size_t l1d_bytes) noexcept;

// Whether the 8-lane kernel may interleave its blocks of tail rows four steps
// at a time: the lines of `rows` rows `row_stride_bytes` apart are then in use
// at once and must fit the ways of their L1d sets. Otherwise each block takes
// 16 steps, whole lines of its rows, before the next block runs.
bool matmul_tail_rows_interleave(std::uint64_t row_stride_bytes, std::uint64_t rows, std::size_t l1d_bytes) noexcept;

// Whether carrying out `plan` calls OpenBLAS: the whole-product path, or a
// parallel plan whose largest chunk goes to it.
bool plan_uses_blas(const MatmulPlan& plan, std::uint64_t k, std::uint64_t n,
                    const backend::CpuFeatures& features) noexcept;

// OpenBLAS's bits depend on how it splits a product, and its split on its
// thread count: with 1 and 2 threads about 1 element in 8 of a 200^3 product
// differs, 2 in 3 of a 700^3 one. So every OpenBLAS call of ours runs on one
// thread, and the whole-product path cuts C into tiles of this fixed shape
// (the last ones smaller) that the worker pool computes, one OpenBLAS call
// each: the bits depend on the sizes alone, not on OPENBLAS_NUM_THREADS,
// threadpoolctl, the pool or the processor count. Each tile packs its own
// rows of A and columns of B, a copy of (rows + columns) * k floats for
// rows * columns * k multiply-adds.
inline constexpr std::uint64_t kBlasTileRows = 128;
inline constexpr std::uint64_t kBlasTileColumns = 512;

struct TileGrid {
  std::uint64_t row_tiles;
  std::uint64_t column_tiles;
};
TileGrid blas_tiles(std::uint64_t m, std::uint64_t n) noexcept;

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
