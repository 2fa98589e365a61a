// The AVX2 runs of argmax/argmin against the plain fold: ties, zeros of
// both signs, NaNs at the start, inside the vector loop and in the tail.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "ops/argextremum_variants.hpp"

namespace {

using namespace zoltra::ops;

TEST(ArgextremumVariants, Avx2MatchesPortable) {
  if (!zoltra::backend::runs_avx2_files(zoltra::backend::cpu_features())) GTEST_SKIP() << "this processor lacks AVX2 or FMA";
  const ArgRunKernels avx2 = argextremum_for({.avx2 = true}), portable = argextremum_for({});
  std::mt19937 gen(7);
  for (std::uint64_t n : {1, 2, 31, 32, 33, 63, 64, 65, 100, 1000, 4099}) {
    for (int nan_at : {-1, 0, 5, 40, static_cast<int>(n) - 1}) {
      if (nan_at >= static_cast<int>(n)) continue;
      std::vector<float> x(n);
      for (float& v : x) v = static_cast<float>(static_cast<int>(gen() % 5) - 2);
      for (float& v : x) if (v == 0.0f && gen() % 2) v = -0.0f;
      if (nan_at >= 0) x[static_cast<std::size_t>(nan_at)] = NAN;
      EXPECT_EQ(avx2.largest(x.data(), n), portable.largest(x.data(), n)) << "n=" << n << " nan at " << nan_at;
      EXPECT_EQ(avx2.smallest(x.data(), n), portable.smallest(x.data(), n)) << "n=" << n << " nan at " << nan_at;
    }
  }
}

}  // namespace
