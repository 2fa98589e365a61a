#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "matmul_test_support.hpp"
#include "ops/matmul.hpp"
#include "ops/matmul_kernels.hpp"

namespace {

using matmul_test::Arith;
using matmul_test::expect_bits_equal;
using matmul_test::reference;
using matmul_test::random_values;
using zoltra::ops::kernel_matmul_f32_avx2;

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

// The last n mod 8 columns (all of them below 8) of products with enough
// rows are computed eight rows to a vector from a transpose of A, in blocks
// of 8 rows, interleaved 4 steps at a time, or 8 or 16 steps at a time after
// a few steps that align A's rows to a cache line. Around all of these
// sizes: A and B ending at an unmapped page, or A at every float offset in a
// cache line.
TEST(MatmulKernel, TailColumnsByRows) {
  std::mt19937 rng(4);
  for (std::uint64_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 15, 17})
    for (std::uint64_t m : {3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 40, 64, 65})
      for (std::uint64_t k : {1, 3, 4, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 48}) {
        SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n);
        const auto a = random_values(m * k, rng), b = random_values(k * n, rng);
        flat_test::Guarded<float> ga(m * k), gb(k * n);
        std::copy(a.begin(), a.end(), ga.data());
        std::copy(b.begin(), b.end(), gb.data());
        matmul_test::Misaligned c(m * n, 1);
        kernel_matmul_f32_avx2(ga.data(), gb.data(), c.data(), m, k, n);
        EXPECT_TRUE(c.margins_untouched()) << "write outside C";
        expect_bits_equal(c.values(), reference(a, b, m, k, n), n, "page end");
        if (HasFatalFailure()) return;
      }
  // Row strides of 64 bytes and more, A starting anywhere in a line; a 2 KiB
  // stride puts 16 of 32 rows in one L1d set, where blocks are not interleaved.
  alignas(64) static float storage[32 * 512 + 16];
  for (std::uint64_t n : {1, 2, 3, 9})
    for (auto [m, k] :
         {std::pair<std::uint64_t, std::uint64_t>{32, 16}, {32, 160}, {64, 48}, {33, 32}, {16, 64}, {32, 512}})
      for (std::uint64_t offset = 0; offset < 16; ++offset) {
        SCOPED_TRACE(testing::Message() << m << "x" << k << "x" << n << " offset " << offset);
        const auto a = random_values(m * k, rng), b = random_values(k * n, rng);
        std::copy(a.begin(), a.end(), storage + offset);
        matmul_test::Misaligned c(m * n, 2);
        kernel_matmul_f32_avx2(storage + offset, b.data(), c.data(), m, k, n);
        EXPECT_TRUE(c.margins_untouched()) << "write outside C";
        expect_bits_equal(c.values(), reference(a, b, m, k, n), n, "offset");
        if (HasFatalFailure()) return;
      }
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

// Empty operands also go through the misaligned copies the other kernels'
// tests use, so that their handling of empty vectors runs on every processor.
TEST(MatmulKernel, ZeroInnerSizeOverwritesWithPositiveZero) {
  for (auto [m, n] : {std::pair{4, 8}, {5, 9}, {3, 20}, {1, 1}}) {
    const auto c = run_kernel({}, {}, m, 0, n);
    for (float x : c) EXPECT_EQ(std::bit_cast<std::uint32_t>(x), 0u);
    matmul_test::Misaligned ma(std::vector<float>{}, 1), mb(std::vector<float>{}, 2), mc(m * n, 3);
    kernel_matmul_f32_avx2(ma.data(), mb.data(), mc.data(), m, 0, n);
    EXPECT_TRUE(mc.margins_untouched());
    expect_bits_equal(mc.values(), c, n, "misaligned");
  }
}

TEST(MatmulKernel, EmptyResultWritesNothing) {
  const std::vector<float> a(16, 1.0f), b(16, 1.0f);
  run_kernel(a, b, 0, 4, 4);  // the guards are checked inside
  run_kernel(a, b, 4, 4, 0);
  matmul_test::Misaligned c(0, 1);
  kernel_matmul_f32_avx2(a.data(), b.data(), c.data(), 0, 4, 4);
  EXPECT_TRUE(c.margins_untouched());
  EXPECT_TRUE(c.values().empty());
}

}  // namespace
