#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "backend/cache_geometry.hpp"
#include "backend/capabilities.hpp"
#include "ops/matmul_plan.hpp"

namespace {

namespace zo = zoltra::ops;
using zoltra::backend::CpuFeatures;
using zo::ChunkPath;
using zo::MatmulPath;

constexpr CpuFeatures kAvx512{
    .avx2 = true, .fma = true, .avx512f = true, .avx512vl = true, .avx512bw = true, .avx512dq = true};
constexpr CpuFeatures kAvx2Fma{.avx2 = true, .fma = true, .avx512f = false};
constexpr CpuFeatures kAvx2Only{.avx2 = true, .fma = false, .avx512f = false};
constexpr CpuFeatures kNone{};

std::vector<std::uint64_t> chunk_sizes(const zo::MatmulPlan& plan, std::uint64_t m) {
  std::vector<std::uint64_t> sizes;
  std::uint64_t next = 0;
  for (std::uint64_t i = 0; i < plan.chunk_count; ++i) {
    const auto rows = zo::matmul_chunk_rows(plan, m, i);
    EXPECT_EQ(rows.first, next);
    next += rows.count;
    sizes.push_back(rows.count);
  }
  EXPECT_EQ(next, m);
  return sizes;
}

TEST(MatmulPlan, PathByWorkSizeAndFeatures) {
  struct Case {
    std::uint64_t m, k, n;
    MatmulPath with_fma, without_fma;
  } cases[] = {
      {100, 100, 100, MatmulPath::kKernel, MatmulPath::kWholeBlas},
      {125, 125, 125, MatmulPath::kKernel, MatmulPath::kWholeBlas},      // 1,953,125
      {126, 126, 126, MatmulPath::kParallel, MatmulPath::kParallel},     // 2,000,376
      {2'000'000, 1, 1, MatmulPath::kParallel, MatmulPath::kParallel},   // exactly the bound
      {1'999'999, 1, 1, MatmulPath::kKernel, MatmulPath::kWholeBlas},
      {255, 256, 256, MatmulPath::kParallel, MatmulPath::kParallel},     // 16,711,680
      {256, 256, 256, MatmulPath::kWholeBlas, MatmulPath::kWholeBlas},   // 2^24
      {1024, 1024, 1024, MatmulPath::kWholeBlas, MatmulPath::kWholeBlas},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.k << "x" << c.n);
    EXPECT_EQ(zo::plan_matmul(c.m, c.k, c.n, kAvx512, 2).path, c.with_fma);
    EXPECT_EQ(zo::plan_matmul(c.m, c.k, c.n, kAvx2Fma, 2).path, c.with_fma);
    EXPECT_EQ(zo::plan_matmul(c.m, c.k, c.n, kAvx2Only, 2).path, c.without_fma);
    EXPECT_EQ(zo::plan_matmul(c.m, c.k, c.n, kNone, 2).path, c.without_fma);
  }
  // The 16-lane kernel's files are compiled for AVX2 too: without it, no kernel.
  CpuFeatures no_avx2 = kAvx512;
  no_avx2.avx2 = false;
  EXPECT_EQ(zo::plan_matmul(10, 10, 10, no_avx2, 1).path, MatmulPath::kWholeBlas);
}

TEST(MatmulPlan, DegenerateSizesNeverReachBlas) {
  for (const CpuFeatures& f : {kAvx512, kNone}) {
    EXPECT_EQ(zo::plan_matmul(0, 5, 5, f, 4).path, MatmulPath::kNothing);
    EXPECT_EQ(zo::plan_matmul(5, 5, 0, f, 4).path, MatmulPath::kNothing);
    EXPECT_EQ(zo::plan_matmul(0, 0, 0, f, 4).path, MatmulPath::kNothing);
    EXPECT_EQ(zo::plan_matmul(5, 0, 5, f, 4).path, MatmulPath::kZeroFill);
  }
}

TEST(MatmulPlan, RowChunks) {
  // m = 10 on 4 processors: R = 3, chunks 3, 3, 3, 1.
  auto plan = zo::plan_matmul(10, 500, 500, kAvx512, 4);
  ASSERT_EQ(plan.path, MatmulPath::kParallel);
  EXPECT_EQ(plan.rows_per_chunk, 3u);
  EXPECT_EQ(chunk_sizes(plan, 10), (std::vector<std::uint64_t>{3, 3, 3, 1}));
  // Fewer rows than processors: one row per chunk.
  plan = zo::plan_matmul(3, 1000, 1000, kAvx512, 8);
  EXPECT_EQ(plan.rows_per_chunk, 1u);
  EXPECT_EQ(chunk_sizes(plan, 3), (std::vector<std::uint64_t>{1, 1, 1}));
  // 9 rows on 4 processors: R = 3, so only three chunks.
  plan = zo::plan_matmul(9, 500, 500, kAvx512, 4);
  EXPECT_EQ(chunk_sizes(plan, 9), (std::vector<std::uint64_t>{3, 3, 3}));
  plan = zo::plan_matmul(126, 126, 126, kAvx512, 1);
  EXPECT_EQ(chunk_sizes(plan, 126), (std::vector<std::uint64_t>{126}));
}

TEST(MatmulPlan, ChunkKernelBounds) {
  // 200 x 100 x 100 on 2 processors: chunks of 100 rows, wc = 1,000,000.
  const auto plan = zo::plan_matmul(200, 100, 100, kAvx2Fma, 2);
  ASSERT_EQ(plan.path, MatmulPath::kParallel);
  EXPECT_EQ(plan.rows_per_chunk, 100u);
  EXPECT_EQ(zo::plan_matmul_chunk(100, 100, 100, kAvx2Fma), ChunkPath::kKernel);
  EXPECT_EQ(zo::plan_matmul_chunk(100, 100, 100, kAvx512), ChunkPath::kKernel);
  // AVX2 + FMA without AVX-512F: the micro-kernel up to 2^21 per chunk.
  EXPECT_EQ(zo::plan_matmul_chunk(1, 2'097'152, 1, kAvx2Fma), ChunkPath::kKernel);
  EXPECT_EQ(zo::plan_matmul_chunk(1, 2'097'153, 1, kAvx2Fma), ChunkPath::kBlas);
  EXPECT_EQ(zo::plan_matmul_chunk(255, 256, 256, kAvx2Fma), ChunkPath::kBlas);
  // With AVX-512F up to 2^24.
  EXPECT_EQ(zo::plan_matmul_chunk(255, 256, 256, kAvx512), ChunkPath::kKernel);
  EXPECT_EQ(zo::plan_matmul_chunk(256, 256, 256, kAvx512), ChunkPath::kKernel);
  EXPECT_EQ(zo::plan_matmul_chunk(257, 256, 256, kAvx512), ChunkPath::kBlas);
  // No FMA: every chunk goes to OpenBLAS.
  EXPECT_EQ(zo::plan_matmul_chunk(1, 1, 1, kAvx2Only), ChunkPath::kBlas);
  EXPECT_EQ(zo::plan_matmul_chunk(1, 1, 1, kNone), ChunkPath::kBlas);
}

TEST(MatmulPlan, KernelVariantByFeatures) {
  EXPECT_EQ(zo::matmul_kernel_variant(kAvx512), zo::MatmulKernelVariant::kAvx512);
  // AVX-512F alone (or without any of VL, BW, DQ) is not enough for the
  // 16-lane files: the 8-lane kernel runs, with its smaller chunk bound.
  const CpuFeatures f_alone{.avx2 = true, .fma = true, .avx512f = true};
  for (bool CpuFeatures::*missing : {&CpuFeatures::avx512vl, &CpuFeatures::avx512bw, &CpuFeatures::avx512dq}) {
    CpuFeatures f = kAvx512;
    f.*missing = false;
    EXPECT_EQ(zo::matmul_kernel_variant(f), zo::MatmulKernelVariant::kAvx2);
  }
  EXPECT_EQ(zo::matmul_kernel_variant(f_alone), zo::MatmulKernelVariant::kAvx2);
  EXPECT_EQ(zo::plan_matmul_chunk(100, 200, 200, f_alone), ChunkPath::kBlas);
  EXPECT_EQ(zo::matmul_kernel_variant(kAvx2Fma), zo::MatmulKernelVariant::kAvx2);
}

// The 16-lane panels narrow where k rows of a panel stop fitting the L1 data
// cache: later on a 32 KiB cache than on a 48 KiB one; one or two rows keep
// their widths, which registers alone decide.
TEST(MatmulPlan, PanelWidthFollowsTheL1DataCache) {
  constexpr zoltra::backend::CacheGeometry kXeon{48 * 1024, 2 * 1024 * 1024, 105 * 1024 * 1024};
  constexpr zoltra::backend::CacheGeometry kZen3{32 * 1024, 512 * 1024, 32 * 1024 * 1024};
  struct Case {
    std::uint64_t m, k;
    unsigned xeon, zen3;
  };
  for (const Case& c : {Case{1, 100000, 8, 8}, Case{2, 100000, 6, 6}, Case{3, 1, 4, 4}, Case{64, 128, 4, 4},
                        Case{64, 129, 4, 3}, Case{64, 170, 4, 3}, Case{64, 171, 4, 2}, Case{64, 192, 4, 2},
                        Case{64, 193, 3, 2}, Case{64, 256, 3, 2}, Case{64, 257, 2, 2}, Case{64, 100000, 2, 2}}) {
    SCOPED_TRACE(testing::Message() << "m=" << c.m << " k=" << c.k);
    EXPECT_EQ(zo::matmul_avx512_panel_width(c.m, c.k, kXeon.l1d_bytes), c.xeon);
    EXPECT_EQ(zo::matmul_avx512_panel_width(c.m, c.k, kZen3.l1d_bytes), c.zen3);
  }
}

TEST(MatmulPlan, WorkSizeWraps) {
  EXPECT_EQ(zo::matmul_work(std::uint64_t{1} << 32, std::uint64_t{1} << 32, 1), 0u);
  EXPECT_EQ(zo::matmul_work(std::uint64_t{1} << 32, 3, std::uint64_t{1} << 31), std::uint64_t{1} << 63);
}

// The kernel's tail rows interleave their blocks unless the rows' lines would
// crowd one L1d set past its ways: 8 ways here, 12 on the Xeon.
TEST(MatmulPlan, TailRowsInterleaveWhileTheirLinesFitTheL1Sets) {
  constexpr std::size_t kXeonL1d = 48 * 1024, kZen3L1d = 32 * 1024;
  struct Case {
    std::uint64_t stride, rows;
    bool xeon, zen3;
  };
  for (const Case& c : {Case{4000, 32, true, true}, Case{1024, 32, true, true}, Case{2048, 32, false, false},
                        Case{2048, 16, true, true}, Case{3072, 32, true, true}, Case{4096, 16, false, false},
                        Case{4096, 12, true, false}, Case{16384, 8, true, true}, Case{64, 32, true, true}}) {
    SCOPED_TRACE(testing::Message() << "stride=" << c.stride << " rows=" << c.rows);
    EXPECT_EQ(zo::matmul_tail_rows_interleave(c.stride, c.rows, kXeonL1d), c.xeon);
    EXPECT_EQ(zo::matmul_tail_rows_interleave(c.stride, c.rows, kZen3L1d), c.zen3);
  }
}

}  // namespace
