#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "backend/capabilities.hpp"
#include "ops/matmul.hpp"
#include "ops/matmul_kernels.hpp"

namespace {

namespace zo = zoltra::ops;

// Eight fused lanes, lanes combined as ((l0+l4)+(l1+l5))+((l2+l6)+(l3+l7)),
// then the remaining products one by one, each rounded before it is added.
float reference_avx2(const std::vector<float>& a, const std::vector<float>& b) {
  float lane[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= a.size(); i += 8)
    for (int l = 0; l < 8; ++l) lane[l] = std::fma(a[i + l], b[i + l], lane[l]);
  float x[4];
  for (int l = 0; l < 4; ++l) x[l] = lane[l] + lane[l + 4];
  float s = (x[0] + x[1]) + (x[2] + x[3]);
  for (; i < a.size(); ++i) s = s + a[i] * b[i];
  return s;
}

float reference_scalar(const std::vector<float>& a, const std::vector<float>& b) {
  float s = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) s = s + a[i] * b[i];
  return s;
}

// Magnitudes spread over several binades so that the order of additions shows.
std::vector<float> random_values(std::size_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-6, 6);
  std::vector<float> v(count);
  for (float& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
  return v;
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

TEST(DotProduct, Avx2KernelFollowsLaneOrder) {
  std::mt19937 rng(7);
  for (std::size_t count : {1, 3, 7, 8, 9, 11, 16, 23, 64, 1000, 1003, 4099}) {
    SCOPED_TRACE(count);
    const auto a = random_values(count, rng), b = random_values(count, rng);
    EXPECT_EQ(bits(zo::dot_product_f32_avx2(a.data(), b.data(), count)), bits(reference_avx2(a, b)));
    EXPECT_EQ(bits(zo::dot_product_f32_scalar(a.data(), b.data(), count)), bits(reference_scalar(a, b)));
  }
}

// Guards the test above: the two orders really differ on such data.
TEST(DotProduct, ReferenceDataSeparatesTheOrders) {
  std::mt19937 rng(8);
  int differ = 0;
  for (int trial = 0; trial < 20; ++trial) {
    const auto a = random_values(1003, rng), b = random_values(1003, rng);
    differ += bits(reference_avx2(a, b)) != bits(reference_scalar(a, b));
  }
  EXPECT_GT(differ, 10);
}

TEST(DotProduct, StepPicksKernelByFeatures) {
  using zoltra::backend::CpuFeatures;
  std::mt19937 rng(9);
  const auto a = random_values(1003, rng), b = random_values(1003, rng);
  const auto& f = zoltra::backend::cpu_features();
  const float want = f.avx2 && f.fma ? reference_avx2(a, b) : reference_scalar(a, b);
  EXPECT_EQ(bits(zo::dot_product_f32(a.data(), b.data(), a.size())), bits(want));
  // Processors this one may not be: without FMA (even with AVX2) the scalar
  // loop; AVX-512F plays no part.
  for (const CpuFeatures& without : {CpuFeatures{}, CpuFeatures{.avx2 = true, .fma = false, .avx512f = false}}) {
    EXPECT_EQ(bits(zo::dot_product_f32(a.data(), b.data(), a.size(), without)), bits(reference_scalar(a, b)));
  }
  if (f.avx2 && f.fma) {
    for (bool avx512f : {false, true}) {
      const CpuFeatures with{.avx2 = true, .fma = true, .avx512f = avx512f};
      EXPECT_EQ(bits(zo::dot_product_f32(a.data(), b.data(), a.size(), with)), bits(reference_avx2(a, b)));
    }
  }
}

}  // namespace
