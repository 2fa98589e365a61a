// The AVX2 element-wise kernels against the plain C++ ones, bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/elementwise_variants.hpp"

namespace {

using namespace zoltra::ops;
using flat_test::Guarded;
using flat_test::same_float;

TEST(ElementwiseVariants, Avx2MatchesPortableBitForBit) {
  if (!zoltra::backend::runs_avx2_files(zoltra::backend::cpu_features())) GTEST_SKIP() << "this processor lacks AVX2 or FMA";
  const ElementwiseKernels avx2 = elementwise_kernels_for({.avx2 = true});
  const ElementwiseKernels portable = elementwise_kernels_for({});
  const std::pair<ElementwiseKernel, ElementwiseKernel> ops[] = {
      {avx2.add, portable.add}, {avx2.sub, portable.sub}, {avx2.mul, portable.mul}, {avx2.div, portable.div}};
  std::mt19937 gen(3);
  const auto& specials = flat_test::special_values();
  for (std::uint64_t n : {1, 7, 8, 9, 31, 32, 33, 39, 40, 41, 4099, 65536 + 7}) {
    // Inputs end at an unmapped page, so a read past count faults.
    Guarded<float> a(n), b(n);
    const auto x = flat_test::order_sensitive(n, static_cast<std::uint32_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
      a.data()[i] = gen() % 3 == 0 ? specials[gen() % specials.size()] : x[i];
      b.data()[i] = gen() % 3 == 0 ? specials[gen() % specials.size()] : x[n - 1 - i];
    }
    for (const auto& [vector_kernel, plain_kernel] : ops) {
      std::vector<float> got(n), want(n);
      vector_kernel(a.data(), b.data(), got.data(), n);
      plain_kernel(a.data(), b.data(), want.data(), n);
      for (std::uint64_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_float(want[i], got[i])) << "n=" << n << " i=" << i << ": " << a.data()[i] << ", " << b.data()[i];
      }
    }
  }
}

}  // namespace
