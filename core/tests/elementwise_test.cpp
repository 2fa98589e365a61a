// Element-wise float32 kernels against the plain C++ variants, one scalar
// operation per element.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "backend/capabilities.hpp"
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

using Kernel = void (*)(const float*, const float*, float*, std::uint64_t);

struct Case {
  const char* name;
  Kernel kernel;
  Kernel reference;
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

// ---- Variants and the parallel split: the same bits as the plain kernel ----

using zoltra::ops::elementwise_split;
using zoltra::ops::kParallelElementwiseThreshold;

// Random values with IEEE special values sprinkled in.
std::vector<float> with_specials(std::size_t n, std::uint32_t seed) {
  auto v = random_floats(n, seed);
  const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::denorm_min(), 3e38f};
  for (std::size_t i = seed % 13; i < n; i += 97) v[i] = specials[i % 7];
  return v;
}

bool same_bits(const float* x, const float* y, std::uint64_t n) { return std::memcmp(x, y, n * sizeof(float)) == 0; }

// `kernel` out of place and in place (into a, into b) gives the reference
// kernel's bits, and writes nothing past count.
void expect_same_as(Kernel kernel, Kernel reference, std::uint64_t n, std::size_t shift, const char* what) {
  const auto a = with_specials(n + shift, 3);
  const auto b = with_specials(n + shift, 4);
  std::vector<float> expected(n + shift + 1, -7.0f), out(n + shift + 1, -7.0f);
  auto into_a = a;
  auto into_b = b;
  reference(a.data() + shift, b.data() + shift, expected.data() + shift, n);
  kernel(a.data() + shift, b.data() + shift, out.data() + shift, n);
  kernel(into_a.data() + shift, b.data() + shift, into_a.data() + shift, n);
  kernel(a.data() + shift, into_b.data() + shift, into_b.data() + shift, n);
  ASSERT_TRUE(same_bits(expected.data(), out.data(), out.size())) << what << " n=" << n << " shift=" << shift;
  ASSERT_TRUE(same_bits(expected.data() + shift, into_a.data() + shift, n)) << what << " out=a n=" << n;
  ASSERT_TRUE(same_bits(expected.data() + shift, into_b.data() + shift, n)) << what << " out=b n=" << n;
}

using zoltra::ops::ElementwiseKernels;
using Variant = zoltra::ops::ElementwiseKernel ElementwiseKernels::*;
// In the order of kCases.
const Variant kVariants[] = {&ElementwiseKernels::add, &ElementwiseKernels::sub, &ElementwiseKernels::mul,
                             &ElementwiseKernels::div};

Kernel plain(std::size_t k) {
  return zoltra::ops::elementwise_kernels_for(zoltra::backend::cpu_features()).*kVariants[k];
}

// Around the threshold, the 16-element chunk grain and the streaming size;
// shifts of 1 and 3 floats move the 64-byte boundaries the chunks start on.
TEST(Elementwise, ParallelSplitGivesTheSequentialBits) {
  const std::uint64_t t = kParallelElementwiseThreshold;
  const std::uint64_t s = zoltra::ops::streaming_threshold(zoltra::backend::cache_geometry());
  const std::uint64_t sizes[] = {t - 1, t, t + 1, t + 15, t + 17, t + 33, s - 1, s + 16, s + 47};
  for (std::size_t k = 0; k < 4; ++k)
    for (std::uint64_t n : sizes)
      for (std::size_t shift : {0, 1, 3}) expect_same_as(kCases[k].kernel, plain(k), n, shift, kCases[k].name);
}

TEST(Elementwise, StreamingStoresGiveThePlainBits) {
  const auto streaming = zoltra::ops::elementwise_streaming_kernels_for(zoltra::backend::cpu_features());
  for (std::size_t k = 0; k < 4; ++k)
    for (std::uint64_t n : {std::uint64_t{7}, std::uint64_t{1023}, std::uint64_t{1024}, std::uint64_t{5000}})
      for (std::size_t shift : {0, 1, 3, 15})
        expect_same_as(streaming.*kVariants[k], plain(k), n, shift, kCases[k].name);
}

TEST(Elementwise, SplitCoversTheBufferInLineAlignedChunks) {
  alignas(64) static float line[64];
  for (std::size_t threads : {1, 2, 3, 8})
    for (std::uint64_t count : {std::uint64_t{1}, std::uint64_t{15}, std::uint64_t{100}, std::uint64_t{65536},
                                std::uint64_t{1000003}})
      for (std::size_t shift : {0, 1, 15}) {
        const float* out = line + shift;
        const auto split = elementwise_split(count, threads, out);
        ASSERT_GE(split.chunks, 1u);
        ASSERT_LE(split.chunks, threads);
        ASSERT_EQ(split.length % 16, 0u);
        ASSERT_EQ(split.end(split.chunks - 1), count);
        for (std::size_t c = 0; c < split.chunks; ++c) {
          ASSERT_LT(split.begin(c), split.end(c)) << "empty chunk";
          ASSERT_LE(split.end(c) - split.begin(c), split.head + split.length);
          if (c == 0) continue;
          ASSERT_EQ(split.begin(c), split.end(c - 1));
          ASSERT_EQ(reinterpret_cast<std::uintptr_t>(out + split.begin(c)) % 64, 0u);
        }
      }
}

}  // namespace
