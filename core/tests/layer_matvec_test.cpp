// The layer's row-group kernel: the AVX2 variant against the plain C++ block
// dot product of each row on its own, bit for bit, at lengths around
// the lane row (64), the AVX2 kernel's chunk (256) and the block (4096), on
// four different order-sensitive rows, one with a special value.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/layer_matvec_variants.hpp"
#include "ops/layer_sum_variants.hpp"

namespace {

using namespace zoltra::ops;
using flat_test::same_float;

void check_variant(LayerRowsDot rows_dot) {
  for (std::uint32_t n : {1u, 7u, 63u, 64u, 65u, 255u, 256u, 257u, 1000u, 4031u, 4095u, 4096u}) {
    const std::vector<float> v = flat_test::order_sensitive(n, n);
    std::vector<std::vector<float>> a;
    for (std::uint32_t r = 0; r < kLayerRowGroup; ++r) a.push_back(flat_test::order_sensitive(n, 7 * n + r));
    for (float special : flat_test::special_values()) {
      a[2][n / 2] = special;
      const float* rows[kLayerRowGroup];
      for (int r = 0; r < kLayerRowGroup; ++r) rows[r] = a[r].data();
      float got[kLayerRowGroup];
      rows_dot(rows, v.data(), n, got);
      for (int r = 0; r < kLayerRowGroup; ++r)
        ASSERT_TRUE(same_float(got[r], layer_block_dot_portable(rows[r], v.data(), n))) << "n=" << n << " row " << r;
    }
  }
}

TEST(LayerMatvecVariants, Avx2) {
  if (!zoltra::backend::runs_avx2_files(zoltra::backend::cpu_features())) GTEST_SKIP() << "this processor lacks AVX2 or FMA";
  check_variant(layer_rows_dot_avx2);
}

}  // namespace
