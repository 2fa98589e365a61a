#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "ops/blas.hpp"

namespace {

// A product through the linked OpenBLAS, against a float64 reference.
TEST(Cblas, RowMajorProductMatchesReference) {
  const int m = 7, k = 13, n = 5;
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> a(m * k), b(k * n), c(m * n, std::nanf(""));
  for (float& x : a) x = dist(rng);
  for (float& x : b) x = dist(rng);
  zoltra::ops::cblas_sgemm_row_major(a.data(), b.data(), c.data(), m, n, k);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) {
      double want = 0.0;
      for (int p = 0; p < k; ++p) want += double(a[i * k + p]) * double(b[p * n + j]);
      EXPECT_NEAR(c[i * n + j], want, 1e-5) << "(" << i << ", " << j << ")";
    }
}

}  // namespace
