// The exp/log/sqrt/tanh variants this processor runs against the portable
// one, bit for bit (NaNs included), at lengths around every vector width and
// in place. Correct rounding itself is checked on all inputs by
// scripts/check_unary_math_exhaustive.sh and on a sample by the Python tests.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/unary_math_variants.hpp"

namespace {

using namespace zoltra::ops;
using flat_test::Guarded;

TEST(UnaryMathVariants, SameBitsAsPortable) {
  const auto& features = zoltra::backend::cpu_features();
  std::vector<UnaryMathKernel> variants;
  if (zoltra::backend::runs_avx2_files(features)) variants.push_back(unary_math_f32_avx2);
  if (zoltra::backend::runs_avx512_files(features)) variants.push_back(unary_math_f32_avx512);
  if (variants.empty()) GTEST_SKIP() << "this processor runs the portable variant only";
  std::mt19937 gen(26);
  for (UnaryMath f : {UnaryMath::kExp, UnaryMath::kLog, UnaryMath::kSqrt, UnaryMath::kTanh}) {
    for (std::uint64_t n : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100003}) {
      // Inputs end at an unmapped page, so a read past count faults.
      Guarded<float> x(n);
      for (std::uint64_t i = 0; i < n; ++i) x.data()[i] = std::bit_cast<float>(static_cast<std::uint32_t>(gen()));
      std::vector<float> want(n);
      unary_math_f32_portable(f, x.data(), want.data(), n);
      for (UnaryMathKernel variant : variants) {
        std::vector<float> got(n), in_place(x.data(), x.data() + n);
        variant(f, x.data(), got.data(), n);
        variant(f, in_place.data(), in_place.data(), n);
        for (std::uint64_t i = 0; i < n; ++i) {
          ASSERT_EQ(std::bit_cast<std::uint32_t>(want[i]), std::bit_cast<std::uint32_t>(got[i]))
              << "function " << static_cast<int>(f) << " n=" << n << " x=" << std::hexfloat << x.data()[i];
          ASSERT_EQ(std::bit_cast<std::uint32_t>(want[i]), std::bit_cast<std::uint32_t>(in_place[i]));
        }
      }
    }
  }
}

}  // namespace
