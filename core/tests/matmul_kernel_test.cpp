#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "ops/matmul.hpp"

namespace {

using zoltra::ops::kernel_matmul_f32_avx2;

enum class Arith { kAsSpecified, kAllFused, kNoneFused };

// Each element: a chain over p from +0.0; fused in the column blocks of 8,
// separately rounded in the last n mod 8 columns.
std::vector<float> reference(const std::vector<float>& a, const std::vector<float>& b, std::uint64_t m,
                             std::uint64_t k, std::uint64_t n, Arith arith = Arith::kAsSpecified) {
  std::vector<float> c(m * n);
  const std::uint64_t blocked = n / 8 * 8;
  for (std::uint64_t i = 0; i < m; ++i)
    for (std::uint64_t j = 0; j < n; ++j) {
      const bool fused = arith == Arith::kAllFused || (arith == Arith::kAsSpecified && j < blocked);
      float s = 0.0f;
      for (std::uint64_t p = 0; p < k; ++p) {
        const float x = a[i * k + p], y = b[p * n + j];
        s = fused ? std::fma(x, y, s) : s + x * y;
      }
      c[i * n + j] = s;
    }
  return c;
}

std::vector<float> random_values(std::uint64_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = dist(rng);
  return v;
}

// Runs the kernel on a C placed between NaN guards, at an address that is not
// 32-byte aligned, and checks that the guards stay untouched.
std::vector<float> run_kernel(const std::vector<float>& a, const std::vector<float>& b, std::uint64_t m,
                              std::uint64_t k, std::uint64_t n) {
  constexpr std::uint64_t kGuard = 9;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> buffer(m * n + 2 * kGuard, nan);
  kernel_matmul_f32_avx2(a.data(), b.data(), buffer.data() + kGuard, m, k, n);
  for (std::uint64_t g = 0; g < kGuard; ++g) {
    EXPECT_TRUE(std::isnan(buffer[g])) << "write before C";
    EXPECT_TRUE(std::isnan(buffer[kGuard + m * n + g])) << "write after C";
  }
  return {buffer.begin() + kGuard, buffer.begin() + kGuard + m * n};
}

void expect_bits_equal(const std::vector<float>& got, const std::vector<float>& want, std::uint64_t n,
                       const char* what) {
  ASSERT_EQ(got.size(), want.size());
  for (std::uint64_t e = 0; e < got.size(); ++e)
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[e]), std::bit_cast<std::uint32_t>(want[e]))
        << what << ": element (" << e / n << ", " << e % n << ") got " << got[e] << " want " << want[e];
}

void check_shape(std::uint64_t m, std::uint64_t k, std::uint64_t n, std::mt19937& rng) {
  SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n);
  const auto a = random_values(m * k, rng);
  const auto b = random_values(k * n, rng);
  expect_bits_equal(run_kernel(a, b, m, k, n), reference(a, b, m, k, n), n, "kernel");
}

TEST(MatmulKernel, SingleTileIsFusedChain) {
  std::mt19937 rng(1);
  check_shape(4, 3, 8, rng);
}

TEST(MatmulKernel, ShapesAroundTheTiles) {
  std::mt19937 rng(2);
  for (std::uint64_t k : {1, 2, 5, 17, 64}) {
    check_shape(5, k, 9, rng);
    check_shape(3, k, 20, rng);
  }
  // Row counts around the row groups (4 and 8) and column counts around
  // 8-column blocks and the tiles they are grouped into (up to 9 blocks, with
  // and without a remainder of columns).
  for (std::uint64_t m : {1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 17})
    for (std::uint64_t n : {1, 7, 8, 15, 16, 17, 24, 31, 32, 33, 40, 47, 48, 56, 57, 63, 64, 65, 71, 72, 73})
      check_shape(m, 7, n, rng);
  check_shape(12, 100, 100, rng);
  check_shape(9, 130, 125, rng);
}

// Guards the tests above: on their data, fusing everywhere or nowhere gives
// a different answer than the stated arithmetic.
TEST(MatmulKernel, ReferenceDataSeparatesFusedFromRounded) {
  std::mt19937 rng(3);
  const std::uint64_t m = 5, k = 17, n = 9;
  const auto a = random_values(m * k, rng);
  const auto b = random_values(k * n, rng);
  const auto want = reference(a, b, m, k, n);
  EXPECT_NE(want, reference(a, b, m, k, n, Arith::kAllFused));
  EXPECT_NE(want, reference(a, b, m, k, n, Arith::kNoneFused));
}

TEST(MatmulKernel, ZeroInnerSizeOverwritesWithPositiveZero) {
  for (auto [m, n] : {std::pair{4, 8}, {5, 9}, {3, 20}, {1, 1}}) {
    const auto c = run_kernel({}, {}, m, 0, n);
    for (float x : c) EXPECT_EQ(std::bit_cast<std::uint32_t>(x), 0u);
  }
}

TEST(MatmulKernel, EmptyResultWritesNothing) {
  const std::vector<float> a(16, 1.0f), b(16, 1.0f);
  run_kernel(a, b, 0, 4, 4);  // the guards are checked inside
  run_kernel(a, b, 4, 4, 0);
}

}  // namespace
