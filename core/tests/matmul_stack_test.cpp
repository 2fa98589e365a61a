// Stacks of products against the dispatch of each pair alone, bit for bit:
// small products (spread over the pool), larger ones, shared matrices.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/matmul.hpp"
#include "ops/matmul_stack.hpp"

namespace {

TEST(MatmulStack, EachProductIsTheDispatchOfItsPair) {
  struct Shape {
    std::uint64_t count, m, k, n;
  };
  for (const Shape s : {Shape{5, 7, 33, 9}, Shape{8, 64, 64, 64}, Shape{3, 160, 130, 120}, Shape{4, 1, 50, 1},
                        Shape{3, 4, 0, 5}, Shape{1, 3, 3, 3}}) {
    // Stack entry i uses A_i and B_(i % 2): the second operand broadcast.
    const auto a = flat_test::order_sensitive(s.count * s.m * s.k + 1, 1);
    const auto b = flat_test::order_sensitive(2 * s.k * s.n + 1, 2);
    std::vector<float> c(s.count * s.m * s.n + 1, -3.0f), expected(s.m * s.n + 1);
    std::vector<const float*> as, bs;
    std::vector<float*> cs;
    for (std::uint64_t i = 0; i < s.count; ++i) {
      as.push_back(a.data() + i * s.m * s.k);
      bs.push_back(b.data() + i % 2 * s.k * s.n);
      cs.push_back(c.data() + i * s.m * s.n);
    }
    zoltra::ops::matmul_stack_f32_cpu(as.data(), bs.data(), cs.data(), s.count, s.m, s.k, s.n);
    for (std::uint64_t i = 0; i < s.count; ++i) {
      zoltra::ops::matmul_f32_cpu_dispatch(as[i], bs[i], expected.data(), s.m, s.k, s.n);
      ASSERT_EQ(0, std::memcmp(expected.data(), cs[i], s.m * s.n * sizeof(float))) << s.m << " " << i;
    }
    EXPECT_EQ(c.back(), -3.0f);
  }
}

}  // namespace
