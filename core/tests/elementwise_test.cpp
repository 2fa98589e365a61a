// Element-wise float32 kernels against one scalar operation per element.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ops/elementwise.hpp"

namespace {

using zoltra::ops::add_f32_cpu;
using zoltra::ops::div_f32_cpu;
using zoltra::ops::mul_f32_cpu;
using zoltra::ops::sub_f32_cpu;

using Kernel = void (*)(const float*, const float*, float*, std::uint64_t) noexcept;

struct Case {
  const char* name;
  Kernel kernel;
  float (*scalar)(float, float);
};

const Case kCases[] = {
    {"add", add_f32_cpu, [](float x, float y) { return x + y; }},
    {"sub", sub_f32_cpu, [](float x, float y) { return x - y; }},
    {"mul", mul_f32_cpu, [](float x, float y) { return x * y; }},
    {"div", div_f32_cpu, [](float x, float y) { return x / y; }},
};

// Around the vector width and the 32-element unroll.
const std::uint64_t kSizes[] = {0, 1, 7, 8, 9, 13, 15, 16, 31, 32, 33, 39, 40, 63, 64, 65, 97, 1000, 4099};

std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Bitwise equality, any NaN matching any NaN (payload choice is the processor's).
::testing::AssertionResult same_float(float expected, float actual) {
  if (bits(expected) == bits(actual) || (std::isnan(expected) && std::isnan(actual)))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex << bits(expected)
                                       << ") got " << actual << " (0x" << bits(actual) << ")";
}

std::vector<float> random_floats(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

TEST(Elementwise, MatchesScalarForEverySizeAndMisalignedStarts) {
  const float sentinel = -12345.0f;
  for (const Case& c : kCases) {
    for (std::uint64_t n : kSizes) {
      for (std::size_t shift : {0, 1, 3}) {
        auto a = random_floats(n + shift, 1);
        auto b = random_floats(n + shift, 2);
        std::vector<float> out(n + shift + 1, sentinel);
        c.kernel(a.data() + shift, b.data() + shift, out.data() + shift, n);
        for (std::size_t i = 0; i < shift; ++i) ASSERT_EQ(bits(out[i]), bits(sentinel));
        for (std::uint64_t i = 0; i < n; ++i)
          ASSERT_TRUE(same_float(c.scalar(a[shift + i], b[shift + i]), out[shift + i]))
              << c.name << " n=" << n << " shift=" << shift << " i=" << i;
        ASSERT_EQ(bits(out[n + shift]), bits(sentinel)) << c.name << " wrote past count " << n;
      }
    }
  }
}

TEST(Elementwise, InPlaceOnEitherOperand) {
  for (const Case& c : kCases) {
    for (std::uint64_t n : kSizes) {
      const auto a = random_floats(n, 3);
      const auto b = random_floats(n, 4);
      auto into_a = a;
      auto into_b = b;
      c.kernel(into_a.data(), b.data(), into_a.data(), n);
      c.kernel(a.data(), into_b.data(), into_b.data(), n);
      for (std::uint64_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_float(c.scalar(a[i], b[i]), into_a[i])) << c.name << " out=a n=" << n;
        ASSERT_TRUE(same_float(c.scalar(a[i], b[i]), into_b[i])) << c.name << " out=b n=" << n;
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
  // Every ordered pair, laid out so each pair falls in both block and tail positions.
  std::vector<float> a, b;
  for (float x : specials)
    for (float y : specials) {
      a.push_back(x);
      b.push_back(y);
    }
  for (std::size_t start : {std::size_t{0}, a.size() - 5}) {
    std::vector<float> aa(a.begin() + start, a.end()), bb(b.begin() + start, b.end());
    aa.insert(aa.end(), a.begin(), a.begin() + start);
    bb.insert(bb.end(), b.begin(), b.begin() + start);
    for (const Case& c : kCases) {
      std::vector<float> out(aa.size());
      c.kernel(aa.data(), bb.data(), out.data(), aa.size());
      for (std::size_t i = 0; i < aa.size(); ++i)
        ASSERT_TRUE(same_float(c.scalar(aa[i], bb[i]), out[i])) << c.name << " " << aa[i] << " , " << bb[i];
    }
  }
}

TEST(Elementwise, DivisionByZeroAndOperandOrder) {
  const float a[9] = {1.0f, -1.0f, 0.0f, 1.0f, 6.0f, 6.0f, 6.0f, 6.0f, 6.0f};
  const float b[9] = {0.0f, 0.0f, 0.0f, -0.0f, 3.0f, 3.0f, 3.0f, 3.0f, 3.0f};
  float q[9], d[9];
  div_f32_cpu(a, b, q, 9);
  sub_f32_cpu(b, a, d, 9);
  for (int i = 0; i < 9; ++i) {  // once through the 8-lane block, once through the tail
    float qi[1], di[1];
    div_f32_cpu(a + i, b + i, qi, 1);
    sub_f32_cpu(b + i, a + i, di, 1);
    ASSERT_TRUE(same_float(q[i], qi[0]));
    ASSERT_TRUE(same_float(d[i], di[0]));
  }
  EXPECT_EQ(q[0], std::numeric_limits<float>::infinity());
  EXPECT_EQ(q[1], -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(q[2]));
  EXPECT_EQ(q[3], -std::numeric_limits<float>::infinity());
  EXPECT_EQ(q[4], 2.0f);
  EXPECT_EQ(d[4], -3.0f);
}

// Buffers that end exactly at an unmapped page: any access past count faults.
class GuardedFloats {
 public:
  explicit GuardedFloats(std::size_t n) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    span_ = ((n * sizeof(float) + page_ - 1) / page_ + 1) * page_;
    base_ = static_cast<char*>(mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + span_ - page_, page_, PROT_NONE);
    data_ = reinterpret_cast<float*>(base_ + span_ - page_) - n;
  }
  ~GuardedFloats() { munmap(base_, span_); }
  float* data() { return data_; }

 private:
  std::size_t page_, span_;
  char* base_;
  float* data_;
};

TEST(Elementwise, NeverTouchesMemoryPastCount) {
  for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{5}, std::uint64_t{37}, std::uint64_t{1029}}) {
    GuardedFloats a(n), b(n), out(n);
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
