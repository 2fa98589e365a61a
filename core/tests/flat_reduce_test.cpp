// Sequential flat reductions against scalar references that follow the fixed
// order of additions; the data is chosen so that any other order shows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/flat_reduce.hpp"

namespace {

using namespace zoltra::ops;
using flat_test::bits;
using flat_test::Guarded;
using flat_test::same_float;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

const std::uint64_t kSizes[] = {0,  1,  2,  7,   8,   9,   13,  15,  16,   17,   31,    32,
                                33, 63, 64, 65,  95,  127, 128, 129, 1000, 4103, 65541, 100003};

// ---- references ------------------------------------------------------------

enum class Fold { Fixed, Adjacent };
enum class Tail { Kahan, KahanUnmended, Plain };

float lanes_then_tail(const float* d, std::uint64_t n, Fold fold = Fold::Fixed, Tail tail = Tail::Kahan,
                      int accumulators = 1) {
  const std::uint64_t blocks = n / 8;
  float lane[2][8] = {};
  for (std::uint64_t b = 0; b < blocks; ++b)
    for (int l = 0; l < 8; ++l) lane[b % accumulators][l] = lane[b % accumulators][l] + d[8 * b + l];
  if (accumulators == 2)
    for (int l = 0; l < 8; ++l) lane[0][l] = lane[0][l] + lane[1][l];
  const float* x = lane[0];
  float s = 0.0f;
  if (blocks > 0) {
    s = fold == Fold::Fixed ? ((x[0] + x[4]) + (x[1] + x[5])) + ((x[2] + x[6]) + (x[3] + x[7]))
                            : ((x[0] + x[1]) + (x[2] + x[3])) + ((x[4] + x[5]) + (x[6] + x[7]));
  }
  float c = 0.0f;
  for (std::uint64_t i = blocks * 8; i < n; ++i) {
    if (tail == Tail::Plain) {
      s = s + d[i];
      continue;
    }
    const float y = d[i] - c;
    const float t = s + y;
    c = (t - s) - y;
    s = t;
    if (tail == Tail::Kahan && !std::isfinite(s)) c = 0.0f;
  }
  return s;
}

float kahan(const float* d, std::uint64_t n, bool mended = true) {
  float s = 0.0f, c = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) {
    const float y = d[i] - c;
    const float t = s + y;
    c = (t - s) - y;
    s = t;
    if (mended && !std::isfinite(s)) c = 0.0f;
  }
  return s;
}

float naive(const float* d, std::uint64_t n) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) s = s + d[i];
  return s;
}

// Order-sensitive values whose tail after the last full block holds values
// near half an ulp of the block sum, where compensation changes the rounding.
std::vector<float> discriminating(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> near_half(0.3f, 0.7f);
  std::vector<float> v = flat_test::order_sensitive(n, seed);
  const std::size_t blocks_end = n / 8 * 8;
  const float s = std::fabs(lanes_then_tail(v.data(), blocks_end));
  const float ulp = s == 0.0f ? 1.0f : std::nextafter(s, kInf) - s;
  for (std::size_t i = blocks_end; i < n; ++i) v[i] = ulp * near_half(gen);
  return v;
}

// ---- float32 sum -------------------------------------------------------------

TEST(SumF32, DataTellsEveryOtherOrderApart) {
  int naive_differs = 0, fold_differs = 0, plain_tail_differs = 0, two_acc_differs = 0;
  for (std::uint64_t n : kSizes) {
    const auto v = discriminating(n, 7);
    const float ref = lanes_then_tail(v.data(), n);
    naive_differs += bits(naive(v.data(), n)) != bits(ref);
    fold_differs += bits(lanes_then_tail(v.data(), n, Fold::Adjacent)) != bits(ref);
    plain_tail_differs += bits(lanes_then_tail(v.data(), n, Fold::Fixed, Tail::Plain)) != bits(ref);
    two_acc_differs += bits(lanes_then_tail(v.data(), n, Fold::Fixed, Tail::Kahan, 2)) != bits(ref);
  }
  // Counts out of 24 sizes (a tail of one element is never compensated).
  EXPECT_GE(naive_differs, 15);
  EXPECT_GE(fold_differs, 10);
  EXPECT_GE(plain_tail_differs, 4);
  EXPECT_GE(two_acc_differs, 7);
}

TEST(SumF32, FollowsLaneOrderFoldAndCompensatedTail) {
  for (std::uint64_t n : kSizes) {
    for (std::size_t shift : {0, 1}) {
      const auto v = discriminating(n + shift, 11 + static_cast<std::uint32_t>(n));
      const float* d = v.data() + shift;
      ASSERT_TRUE(same_float(lanes_then_tail(d, n), sum_f32_cpu(d, n))) << "n=" << n << " shift=" << shift;
    }
  }
}

TEST(SumF32, SmallExactCases) {
  const float eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(sum_f32_cpu(eight, 8), 36.0f);
  EXPECT_EQ(bits(sum_f32_cpu(eight, 0)), bits(0.0f));
  const float negzero[3] = {-0.0f, -0.0f, -0.0f};
  EXPECT_EQ(bits(sum_f32_cpu(negzero, 3)), bits(0.0f));  // the tail starts from +0.0
  // 1e8 + 1 + 1 + 1 + 1 + 1 is 1e8 plainly but 1e8 + 8 with compensation.
  const float comp[6] = {1e8f, 1, 1, 1, 1, 1};
  EXPECT_EQ(sum_f32_cpu(comp, 6), 1e8f + 8.0f);
}

// Once a sum reaches an infinity the compensation must not turn it into NaN;
// opposite infinities and NaN inputs still give NaN.
TEST(SumF32, SumsLeavingTheFiniteRangeFollowIeee) {
  std::vector<float> overflowing_blocks(18, 3e38f);  // block sum overflows, two tail elements follow
  std::vector<float> opposite_in_blocks(24, 1.0f);
  opposite_in_blocks[3] = kInf;
  opposite_in_blocks[20] = -kInf;
  const struct {
    std::vector<float> values;
    float expected;
  } cases[] = {
      {{kInf, 1.0f}, kInf},
      {{3e38f, 3e38f, 0.0f}, kInf},
      {{3e38f, 1.0f, 3e38f, 0.0f}, kInf},
      {{-kInf, 1.0f, 2.0f}, -kInf},
      {{-3e38f, -3e38f, 5.0f, 7.0f}, -kInf},
      {overflowing_blocks, kInf},
      {{kInf, -kInf}, kNaN},
      {{1.0f, kInf, 2.0f, -kInf}, kNaN},
      {opposite_in_blocks, kNaN},
      {{1, 2, 3, kNaN, 5, 6, 7, 8, 9, 10, 11}, kNaN},
      {{1, 2, 3, 4, 5, 6, 7, 8, kNaN}, kNaN},
  };
  for (const auto& c : cases) {
    const float* d = c.values.data();
    const std::uint64_t n = c.values.size();
    EXPECT_TRUE(same_float(c.expected, sum_f32_cpu(d, n))) << "n=" << n;
    EXPECT_TRUE(same_float(c.expected, compensated_sum_f32_cpu(d, n))) << "n=" << n;
  }
  // Without the reset both of these would be NaN.
  EXPECT_TRUE(std::isnan(lanes_then_tail(overflowing_blocks.data(), 18, Fold::Fixed, Tail::KahanUnmended)));
  EXPECT_TRUE(std::isnan(kahan(cases[0].values.data(), 2, /*mended=*/false)));
}

// ---- Kahan over a whole buffer (the parallel sum's arena path) ----------------

TEST(CompensatedSum, MatchesKahanAndDiffersFromOtherOrders) {
  int naive_differs = 0;
  for (std::uint64_t n : kSizes) {
    const auto v = discriminating(n, 23);
    const float ref = kahan(v.data(), n, /*mended=*/false);
    ASSERT_TRUE(same_float(ref, compensated_sum_f32_cpu(v.data(), n))) << "n=" << n;
    naive_differs += bits(naive(v.data(), n)) != bits(ref);
  }
  EXPECT_GE(naive_differs, 10);
}

// ---- mean --------------------------------------------------------------------

TEST(MeanF32, IsSumDividedByCount) {
  EXPECT_EQ(bits(mean_f32_cpu(nullptr, 0)), bits(0.0f));
  for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{9}, std::uint64_t{1000},
                          std::uint64_t{65541}}) {
    const auto v = discriminating(n, 31);
    ASSERT_TRUE(same_float(lanes_then_tail(v.data(), n) / static_cast<float>(n), mean_f32_cpu(v.data(), n)));
  }
}

// ---- int32 sum ---------------------------------------------------------------

TEST(SumI32, WrapsModulo2To32) {
  const std::int32_t edge[2] = {2147483647, 1};
  EXPECT_EQ(sum_i32_cpu(edge, 2), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(sum_i32_cpu(edge, 0), 0);
  std::mt19937 gen(5);
  for (std::uint64_t n : kSizes) {
    for (std::size_t shift : {0, 1}) {
      std::vector<std::int32_t> v(n + shift);
      for (auto& x : v) x = static_cast<std::int32_t>(gen());  // full range: wraps often
      std::uint32_t ref = 0;
      for (std::uint64_t i = 0; i < n; ++i) ref += static_cast<std::uint32_t>(v[shift + i]);
      ASSERT_EQ(static_cast<std::int32_t>(ref), sum_i32_cpu(v.data() + shift, n)) << "n=" << n;
    }
  }
}

// ---- all / any ---------------------------------------------------------------

TEST(AllAny, EmptyAndAnyNonZeroByteIsTrue) {
  EXPECT_TRUE(all_bool_cpu(nullptr, 0));
  EXPECT_FALSE(any_bool_cpu(nullptr, 0));
  for (std::uint8_t truth : {1, 2, 128, 255}) {
    for (std::uint64_t n : {1, 31, 32, 33, 200}) {
      std::vector<std::uint8_t> ones(n, truth), zeros(n, 0);
      EXPECT_TRUE(all_bool_cpu(ones.data(), n)) << int(truth);
      EXPECT_TRUE(any_bool_cpu(ones.data(), n)) << int(truth);
      EXPECT_FALSE(all_bool_cpu(zeros.data(), n));
      EXPECT_FALSE(any_bool_cpu(zeros.data(), n));
    }
  }
}

TEST(AllAny, DecidingByteInAnyBlockOrTailPosition) {
  for (std::uint64_t n : {1, 7, 31, 32, 33, 63, 64, 127, 128, 129, 160, 161, 300}) {
    for (std::uint64_t at = 0; at < n; ++at) {
      for (std::size_t shift : {0, 1}) {
        std::vector<std::uint8_t> trues(n + shift, 7), falses(n + shift, 0);
        trues[shift + at] = 0;
        falses[shift + at] = 3;
        ASSERT_FALSE(all_bool_cpu(trues.data() + shift, n)) << "n=" << n << " at=" << at;
        ASSERT_TRUE(any_bool_cpu(falses.data() + shift, n)) << "n=" << n << " at=" << at;
        // The same byte just past count must not count.
        ASSERT_TRUE(at == 0 || all_bool_cpu(trues.data() + shift, at));
        ASSERT_TRUE(at == 0 || !any_bool_cpu(falses.data() + shift, at));
      }
    }
  }
}

// Buffers that end at an unmapped page: a read past count faults.
TEST(FlatReductions, NothingReadPastCount) {
  for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{3}, std::uint64_t{45}, std::uint64_t{128},
                          std::uint64_t{4096 + 17}}) {
    Guarded<float> f(n);
    Guarded<std::int32_t> i(n);
    Guarded<std::uint8_t> trues(n), falses(n);
    for (std::uint64_t k = 0; k < n; ++k) {
      f.data()[k] = 1.0f;
      i.data()[k] = -1;
    }
    std::memset(trues.data(), 1, n);
    std::memset(falses.data(), 0, n);
    EXPECT_EQ(sum_f32_cpu(f.data(), n), static_cast<float>(n));
    EXPECT_EQ(compensated_sum_f32_cpu(f.data(), n), static_cast<float>(n));
    EXPECT_EQ(sum_i32_cpu(i.data(), n), -static_cast<std::int32_t>(n));
    EXPECT_TRUE(all_bool_cpu(trues.data(), n));
    EXPECT_FALSE(any_bool_cpu(falses.data(), n));
  }
}

}  // namespace
