// The layer's row-group kernel: the AVX2 variant against the plain C++ block
// dot product of each row on its own, bit for bit, at lengths around
// the lane row (64), the AVX2 kernel's chunk (256), its shifted reads (512)
// and the block (4096), on four different order-sensitive rows, one with a
// special value, the rows starting 0 to 7 floats past a 32-byte boundary
// (all alike, or not) between NaNs that must not be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/layer_matvec_variants.hpp"
#include "ops/layer_sum_variants.hpp"

namespace {

using namespace zoltra::ops;
using flat_test::same_float;

void check_variant(LayerRowsDot rows_dot) {
  constexpr std::uint32_t kMixed = 8;  // a shift of 8 stands for rows 0, 1, 2, 3 floats past
  for (std::uint32_t n : {1u, 7u, 63u, 64u, 65u, 255u, 256u, 257u, 511u, 512u, 513u, 1000u, 4031u, 4089u, 4095u, 4096u}) {
    const std::vector<float> v = flat_test::order_sensitive(n, n);
    for (std::uint32_t shift = 0; shift <= kMixed; ++shift) {
      std::vector<std::vector<float>> a;
      float* rows[kLayerRowGroup];
      for (std::uint32_t r = 0; r < kLayerRowGroup; ++r) {
        a.emplace_back(n + 24, std::numeric_limits<float>::quiet_NaN());
        const auto at = reinterpret_cast<std::uintptr_t>(a[r].data() + 8) & ~std::uintptr_t{31};
        rows[r] = reinterpret_cast<float*>(at) + (shift == kMixed ? r : shift);
        const std::vector<float> values = flat_test::order_sensitive(n, 7 * n + r);
        std::copy(values.begin(), values.end(), rows[r]);
      }
      for (float special : flat_test::special_values()) {
        rows[2][n / 2] = special;
        float got[kLayerRowGroup];
        rows_dot(rows, v.data(), n, got);
        for (int r = 0; r < kLayerRowGroup; ++r)
          ASSERT_TRUE(same_float(got[r], layer_block_dot_portable(rows[r], v.data(), n)))
              << "n=" << n << " shift " << shift << " row " << r;
      }
    }
  }
}

TEST(LayerMatvecVariants, Avx2) {
  if (!zoltra::backend::runs_avx2_files(zoltra::backend::cpu_features())) GTEST_SKIP() << "this processor lacks AVX2 or FMA";
  check_variant(layer_rows_dot_avx2);
}

}  // namespace
