// The AVX2 flat reductions against the plain C++ ones, bit for bit. Sizes
// straddle the vector block (8), the unrolled group (32) and the boolean
// block (32 bytes), the length from which a parallel chunk is summed in place
// rather than from the arena copy, and the parallel threshold.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/flat_reduce_variants.hpp"
#include "ops/reduce.hpp"

namespace {

using namespace zoltra::ops;
using flat_test::Guarded;
using flat_test::same_float;

constexpr std::uint64_t kArenaFloats = (1u << 20) / sizeof(float);  // default arena
const std::uint64_t kSizes[] = {0,   1,   7,   8,   9,   15,  16,  17,  31,
                                32,  33,  39,  40,  63,  64,  65,  127, 128,
                                129, kArenaFloats - 1, kArenaFloats, kArenaFloats + 1,
                                kParallelSumThreshold - 1, kParallelSumThreshold, kParallelSumThreshold + 1};

class FlatReduceVariantsAvx2 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!zoltra::backend::cpu_features().avx2) GTEST_SKIP() << "this processor has no AVX2";
  }
};

// Order-sensitive data, then the same with each special value at a random
// place (block or tail), then with a pair of opposite overflows.
TEST_F(FlatReduceVariantsAvx2, SumF32) {
  std::mt19937 gen(17);
  for (std::uint64_t n : kSizes) {
    Guarded<float> buffer(n);
    float* d = buffer.data();
    const auto values = flat_test::order_sensitive(n, static_cast<std::uint32_t>(n));
    auto check = [&](const char* what) {
      ASSERT_TRUE(same_float(sum_f32_portable(d, n), sum_f32_avx2(d, n))) << what << " n=" << n;
    };
    std::copy(values.begin(), values.end(), d);
    check("order-sensitive");
    if (n == 0) continue;
    for (float special : flat_test::special_values()) {
      const std::uint64_t at = gen() % n;
      d[at] = special;
      check("one special value");
      d[at] = values[at];
    }
    const std::uint64_t first = gen() % n, second = gen() % n;
    d[first] = 3e38f;
    d[second] = first == second ? 3e38f : -3e38f;
    check("overflows");
  }
}

TEST_F(FlatReduceVariantsAvx2, SumI32) {
  std::mt19937 gen(19);
  for (std::uint64_t n : kSizes) {
    Guarded<std::int32_t> buffer(n);
    for (std::uint64_t i = 0; i < n; ++i) buffer.data()[i] = static_cast<std::int32_t>(gen());  // wraps often
    ASSERT_EQ(sum_i32_portable(buffer.data(), n), sum_i32_avx2(buffer.data(), n)) << "n=" << n;
  }
}

// The one deciding byte (0 among trues, non-zero among falses) at the start,
// the edges of the 32-byte blocks and the end, or nowhere.
TEST_F(FlatReduceVariantsAvx2, AllAny) {
  for (std::uint64_t n : kSizes) {
    Guarded<std::uint8_t> trues(n), falses(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      trues.data()[i] = static_cast<std::uint8_t>(1 + i % 255);
      falses.data()[i] = 0;
    }
    for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{31}, std::uint64_t{32}, std::uint64_t{127},
                             std::uint64_t{128}, n / 2, n - 1, n}) {
      if (at < n) trues.data()[at] = 0, falses.data()[at] = 0x80;
      ASSERT_EQ(all_bool_portable(trues.data(), n), all_bool_avx2(trues.data(), n)) << "n=" << n << " at=" << at;
      ASSERT_EQ(any_bool_portable(falses.data(), n), any_bool_avx2(falses.data(), n)) << "n=" << n << " at=" << at;
      ASSERT_EQ(all_bool_portable(trues.data(), n), at >= n);
      if (at < n) trues.data()[at] = 1, falses.data()[at] = 0;
    }
  }
}

}  // namespace
