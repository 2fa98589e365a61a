// Element-wise float32 kernels against the plain C++ variants, one scalar
// operation per element.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/elementwise.hpp"
#include "ops/elementwise_variants.hpp"

namespace {

using zoltra::ops::add_f32_cpu;
using zoltra::ops::div_f32_cpu;
using zoltra::ops::mul_f32_cpu;
using zoltra::ops::sub_f32_cpu;
using flat_test::bits;
using flat_test::Guarded;
using flat_test::same_float;

using zoltra::ops::ElementwiseKernel;

struct Case {
  const char* name;
  ElementwiseKernel kernel;
  ElementwiseKernel reference;
};

const Case kCases[] = {
    {"add", add_f32_cpu, zoltra::ops::add_f32_portable},
    {"sub", sub_f32_cpu, zoltra::ops::sub_f32_portable},
    {"mul", mul_f32_cpu, zoltra::ops::mul_f32_portable},
    {"div", div_f32_cpu, zoltra::ops::div_f32_portable},
};

// Around the vector width and the 32-element unroll.
const std::uint64_t kSizes[] = {0, 1, 7, 8, 9, 13, 15, 16, 31, 32, 33, 39, 40, 63, 64, 65, 97, 1000, 4099};

std::vector<float> random_floats(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

TEST(Elementwise, MatchesScalarForEverySizeMisalignedAndInPlace) {
  const float sentinel = -12345.0f;
  for (const Case& c : kCases) {
    for (std::uint64_t n : kSizes) {
      for (std::size_t shift : {0, 1, 3}) {
        const auto a = random_floats(n + shift, 1);
        const auto b = random_floats(n + shift, 2);
        std::vector<float> out(n + shift + 1, sentinel);
        auto into_a = a;
        auto into_b = b;
        std::vector<float> expected(n + shift);
        c.reference(a.data(), b.data(), expected.data(), n + shift);
        c.kernel(a.data() + shift, b.data() + shift, out.data() + shift, n);
        c.kernel(into_a.data() + shift, b.data() + shift, into_a.data() + shift, n);
        c.kernel(a.data() + shift, into_b.data() + shift, into_b.data() + shift, n);
        for (std::size_t i = 0; i < shift; ++i) ASSERT_EQ(bits(out[i]), bits(sentinel));
        for (std::uint64_t i = shift; i < n + shift; ++i) {
          ASSERT_TRUE(same_float(expected[i], out[i])) << c.name << " n=" << n << " shift=" << shift << " i=" << i;
          ASSERT_TRUE(same_float(expected[i], into_a[i])) << c.name << " out=a n=" << n;
          ASSERT_TRUE(same_float(expected[i], into_b[i])) << c.name << " out=b n=" << n;
        }
        ASSERT_EQ(bits(out[n + shift]), bits(sentinel)) << c.name << " wrote past count " << n;
      }
    }
  }
}

TEST(Elementwise, IeeeSpecialValuesInVectorAndTailPositions) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float denorm = std::numeric_limits<float>::denorm_min();
  const std::vector<float> specials = {1.0f,  -1.0f, 0.0f,   -0.0f, inf,          -inf,
                                       nan,   denorm, -denorm, 3e38f, 1e-38f, 2.5f};
  // Every ordered pair (1/0, -1/0, 0/0, 1/-0, ...): 144 of them, all in vector
  // blocks, then each alone through the scalar tail.
  std::vector<float> a, b;
  for (float x : specials)
    for (float y : specials) {
      a.push_back(x);
      b.push_back(y);
    }
  for (const Case& c : kCases) {
    std::vector<float> out(a.size()), expected(a.size());
    c.kernel(a.data(), b.data(), out.data(), a.size());
    c.reference(a.data(), b.data(), expected.data(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      float one;
      c.kernel(&a[i], &b[i], &one, 1);
      ASSERT_TRUE(same_float(expected[i], out[i])) << c.name << " " << a[i] << " , " << b[i];
      ASSERT_TRUE(same_float(expected[i], one)) << c.name << " " << a[i] << " , " << b[i];
    }
  }
}

TEST(Elementwise, NeverTouchesMemoryPastCount) {
  for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{5}, std::uint64_t{37}, std::uint64_t{1029}}) {
    Guarded<float> a(n), b(n), out(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      a.data()[i] = static_cast<float>(i);
      b.data()[i] = 2.0f;
    }
    for (const Case& c : kCases) c.kernel(a.data(), b.data(), out.data(), n);
    if (n > 0) {
      EXPECT_EQ(out.data()[n - 1], static_cast<float>(n - 1) / 2.0f);
    }
  }
}

}  // namespace
