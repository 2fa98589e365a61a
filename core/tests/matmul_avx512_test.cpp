// The 16-lane micro-kernel against the 8-lane one, bit for bit, directly and
// through the dispatch with chosen features and processor counts.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "backend/capabilities.hpp"
#include "matmul_test_support.hpp"
#include "ops/matmul.hpp"
#include "ops/matmul_kernels.hpp"

namespace {

namespace zo = zoltra::ops;
using matmul_test::expect_bits_equal;
using matmul_test::Misaligned;
using matmul_test::random_values;
using zoltra::backend::CpuFeatures;

constexpr CpuFeatures kAvx512{
    .avx2 = true, .fma = true, .avx512f = true, .avx512vl = true, .avx512bw = true, .avx512dq = true};
constexpr CpuFeatures kAvx2Fma{.avx2 = true, .fma = true, .avx512f = false};

bool has_avx512() {
  const CpuFeatures& f = zoltra::backend::cpu_features();
  return zoltra::backend::runs_avx512_files(f);
}

#define SKIP_WITHOUT_AVX512() \
  if (!has_avx512()) GTEST_SKIP() << "this processor lacks a feature of the AVX-512 files: the 16-lane kernel cannot run"

// C from `kernel` on copies of A and B at byte offset `offset` (1..3) and a C
// at another such offset, prefilled with NaN; checks nothing outside C changed.
std::vector<float> run(zo::MatmulKernel kernel, const std::vector<float>& a, const std::vector<float>& b,
                       std::uint64_t m, std::uint64_t k, std::uint64_t n, unsigned offset) {
  Misaligned ma(a, offset), mb(b, offset), mc(m * n, offset % 3 + 1);
  kernel(ma.data(), mb.data(), mc.data(), m, k, n);
  EXPECT_TRUE(mc.margins_untouched()) << "write outside C";
  return mc.values();
}

TEST(MatmulAvx512, SameBitsAsAvx2Kernel) {
  SKIP_WITHOUT_AVX512();
  std::mt19937 rng(11);
  unsigned offset = 0;
  for (std::uint64_t k : {0, 1, 2, 7, 33})
    for (std::uint64_t m = 1; m <= 20; ++m)
      for (std::uint64_t n = 1; n <= 70; ++n) {
        SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n);
        const auto a = random_values(m * k, rng), b = random_values(k * n, rng);
        offset = offset % 3 + 1;
        expect_bits_equal(run(zo::kernel_matmul_f32_avx512, a, b, m, k, n, offset),
                          run(zo::kernel_matmul_f32_avx2, a, b, m, k, n, offset), n, "16-lane kernel");
        if (HasFatalFailure()) return;
      }
  // Longer chains and the benchmark's shapes; on such data the fused and the
  // separately rounded columns of a straddling vector both show.
  for (auto [m, k, n] : {std::array<std::uint64_t, 3>{64, 64, 64}, {100, 100, 100}, {125, 125, 125}, {7, 300, 125}}) {
    SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n);
    const auto a = random_values(m * k, rng), b = random_values(k * n, rng);
    const auto got = run(zo::kernel_matmul_f32_avx512, a, b, m, k, n, 1);
    expect_bits_equal(got, run(zo::kernel_matmul_f32_avx2, a, b, m, k, n, 2), n, "16-lane kernel");
    if (n % 8 != 0) {
      EXPECT_NE(got, matmul_test::reference(a, b, m, k, n, matmul_test::Arith::kAllFused));
      EXPECT_NE(got, matmul_test::reference(a, b, m, k, n, matmul_test::Arith::kNoneFused));
    }
  }
}

// Every path that runs a micro-kernel (the calling thread, or chunks of 1 to
// 126 rows on the pool) with either feature set gives the single-thread bits
// (3 x 1000 x 690 has one chunk of 2,070,000 multiply-adds on one processor:
// within the 8-lane chunk bound).
TEST(MatmulAvx512, DispatchWithChosenFeaturesMatchesOneKernelCall) {
  SKIP_WITHOUT_AVX512();
  std::mt19937 rng(12);
  for (auto [m, k, n] : {std::array<std::uint64_t, 3>{125, 125, 125}, {126, 126, 126}, {200, 100, 100},
                         {3, 1000, 690}}) {
    const auto a = random_values(m * k, rng), b = random_values(k * n, rng);
    const auto want = run(zo::kernel_matmul_f32_avx2, a, b, m, k, n, 1);
    for (const CpuFeatures& features : {kAvx512, kAvx2Fma})
      for (std::uint64_t processors : {1, 2, 3, 7}) {
        SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n << " avx512f=" << features.avx512f
                                        << " P=" << processors);
        Misaligned ma(a, 2), mb(b, 3), mc(m * n, 1);
        zo::matmul_f32_cpu_dispatch(ma.data(), mb.data(), mc.data(), m, k, n, features, processors);
        EXPECT_TRUE(mc.margins_untouched()) << "write outside C";
        expect_bits_equal(mc.values(), want, n, "dispatch");
      }
  }
}

}  // namespace
