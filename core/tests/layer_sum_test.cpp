// The layer's block kernels (sum, dot, max, min, a row of side-by-side
// lanes): every variant the processor runs against the plain C++ one, bit for
// bit, at lengths around the lane row (64) and the block (4096), on
// order-sensitive data with special values; and the whole reduction's tree,
// which must not change with the processor count.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/layer_outputs.hpp"
#include "ops/layer_sum.hpp"
#include "ops/layer_sum_variants.hpp"

namespace {

using namespace zoltra::ops;
using flat_test::same_float;

const std::uint32_t kLengths[] = {0, 1, 7, 63, 64, 65, 127, 129, 1000, 4031, 4095, 4096};

const LayerSumKernels kPortable = {layer_block_sum_portable, layer_block_dot_portable, layer_add_row_portable,
                                   layer_block_max_portable, layer_block_min_portable,
                                   layer_transpose_band_portable, layer_max_row_portable, layer_min_row_portable,
                                   layer_gather_pairs_portable, layer_column_lanes_portable};

// Bands around the 8 x 8 tile, from a first element 4 bytes into a line;
// every second float, around the vector of 8.
void check_transpose(const LayerSumKernels& kernels) {
  const std::int64_t step = 37;  // floats between columns
  const std::vector<float> x = flat_test::order_sensitive(101 * step, 3);
  const char* top = reinterpret_cast<const char*>(x.data() + 1);
  for (std::uint32_t rows : {1u, 7u, 8u, 9u, 16u, 17u, 32u})
    for (std::uint64_t columns : {0u, 1u, 7u, 8u, 9u, 100u}) {
      std::vector<float> want(rows * columns, 1.0f), got = want;
      float* want_rows[32];
      float* got_rows[32];
      for (std::uint32_t r = 0; r < rows; ++r) {
        want_rows[r] = want.data() + r * columns;
        got_rows[r] = got.data() + r * columns;
      }
      kPortable.transpose_band(top, step * 4, rows, columns, want_rows);
      kernels.transpose_band(top, step * 4, rows, columns, got_rows);
      ASSERT_EQ(want, got) << rows << " x " << columns;
      if (columns > 0) {
        ASSERT_EQ(want[0], x[1]);
      }
    }
  for (std::uint64_t count : {0u, 1u, 8u, 9u, 16u, 17u, 50u}) {  // the last pair ends at the array's end
    const char* src = reinterpret_cast<const char*>(x.data() + x.size() - 2 * count + 1);
    std::vector<float> want(count), got(count);
    kPortable.gather_pairs(src, count, want.data());
    kernels.gather_pairs(src, count, got.data());
    ASSERT_EQ(want, got) << count;
  }
}

// Whole blocks of 1, 2, 4 and 8 rows, starting 0 to 7 floats past a 32-byte
// boundary with rows a multiple of 32 bytes apart (aligned reads behind masked
// first and last groups) or not (no shift), downwards through memory as well:
// a pass of four groups and one more, groups cut short at either end.
void check_column_lanes(const LayerSumKernels& kernels) {
  for (std::uint32_t rows : {1u, 2u, 4u, 8u})
    for (std::uint64_t blocks : {3u, 16u, 41u})
      for (std::int64_t pad : {3, 8}) {
        const std::int64_t step = 8 * rows * blocks + pad, columns = kLayerBlock / rows;
        std::vector<float> x = flat_test::order_sensitive(columns * step + 16, rows);
        x[x.size() / 3] = flat_test::special_values()[rows % 4];
        const std::size_t aligned = (32 - reinterpret_cast<std::uintptr_t>(x.data()) % 32) % 32 / 4;
        for (std::size_t offset = 0; offset < 8; ++offset)
          for (std::int64_t sign : {1, -1}) {
            const float* first = x.data() + aligned + offset + (sign < 0 ? (columns - 1) * step : 0);
            const char* top = reinterpret_cast<const char*>(first);
            std::vector<float> want(blocks * kLayerLanes), got(want.size());
            kPortable.column_lanes(top, sign * step * 4, rows, blocks, want.data());
            kernels.column_lanes(top, sign * step * 4, rows, blocks, got.data());
            for (std::size_t i = 0; i < want.size(); ++i)
              ASSERT_TRUE(same_float(want[i], got[i]))
                  << rows << " rows, " << blocks << " blocks, step " << step << ", offset " << offset << ", lane " << i;
          }
      }
}

void check_variant(const LayerSumKernels& kernels) {
  std::mt19937 gen(5);
  for (std::uint32_t n : kLengths) {
    std::vector<float> a = flat_test::order_sensitive(n, n), b = flat_test::order_sensitive(n, n + 1);
    const auto check = [&](const char* what) {
      ASSERT_TRUE(same_float(kPortable.block_sum(a.data(), n), kernels.block_sum(a.data(), n))) << what << " n=" << n;
      ASSERT_TRUE(same_float(kPortable.block_dot(a.data(), b.data(), n), kernels.block_dot(a.data(), b.data(), n)))
          << what << " n=" << n;
      if (n == 0) return;
      ASSERT_TRUE(same_float(kPortable.block_max(a.data(), n), kernels.block_max(a.data(), n))) << what << " n=" << n;
      ASSERT_TRUE(same_float(kPortable.block_min(a.data(), n), kernels.block_min(a.data(), n))) << what << " n=" << n;
      std::vector<float> row(n, 1.0f), lanes = row;
      kPortable.add_row(row.data(), reinterpret_cast<const char*>(a.data()), n);
      kernels.add_row(lanes.data(), reinterpret_cast<const char*>(a.data()), n);
      for (std::uint32_t j = 0; j < n; ++j) ASSERT_TRUE(same_float(row[j], lanes[j])) << what << " j=" << j;
      for (auto extremum_row : {&LayerSumKernels::max_row, &LayerSumKernels::min_row}) {
        std::vector<std::int32_t> best(n, 7), best_v = best;
        (kPortable.*extremum_row)(best.data(), reinterpret_cast<const char*>(a.data()), n);
        (kernels.*extremum_row)(best_v.data(), reinterpret_cast<const char*>(a.data()), n);
        ASSERT_EQ(best, best_v) << what;
      }
    };
    check("order-sensitive");
    if (n == 0) continue;
    std::vector<float> zeros(n, -0.0f);
    std::swap(a, zeros);
    check("negative zeros");
    a[n / 2] = 0.0f;
    check("zeros of both signs");
    std::swap(a, zeros);
    for (float special : flat_test::special_values()) {
      const std::uint32_t at = gen() % n;
      const float kept = a[at];
      a[at] = special;
      check("one special value");
      a[at] = kept;
    }
  }
}

TEST(LayerSumVariants, Avx2) {
  if (!zoltra::backend::runs_avx2_files(zoltra::backend::cpu_features())) GTEST_SKIP() << "this processor lacks AVX2 or FMA";
  const LayerSumKernels avx2 = {layer_block_sum_avx2, layer_block_dot_avx2, layer_add_row_avx2,
                                layer_block_max_avx2, layer_block_min_avx2, layer_transpose_band_avx2, layer_max_row_avx2,
                                layer_min_row_avx2, layer_gather_pairs_avx2, layer_column_lanes_avx2};
  check_variant(avx2);
  check_transpose(avx2);
  check_column_lanes(avx2);
}

TEST(LayerSumVariants, Avx512) {
  if (!zoltra::backend::runs_avx512_files(zoltra::backend::cpu_features())) GTEST_SKIP() << "this processor lacks AVX-512";
  check_variant(layer_sum_kernels_for(zoltra::backend::cpu_features()));
  check_transpose(layer_sum_kernels_for(zoltra::backend::cpu_features()));
  check_column_lanes(layer_sum_kernels_for(zoltra::backend::cpu_features()));
}

// 1000 blocks and a bit: a tree of uneven depth, cut at other nodes for each
// processor count; a transposed walk of the same values gives the same bits.
TEST(LayerSum, SameForEveryProcessorCountAndLayout) {
  const std::int64_t rows = 1001, cols = 4097;
  std::vector<float> c = flat_test::order_sensitive(rows * cols, 9), f(c.size());
  for (std::int64_t i = 0; i < rows; ++i)
    for (std::int64_t j = 0; j < cols; ++j) f[j * rows + i] = c[i * cols + j];
  const std::int64_t shape[] = {rows, cols}, c_strides[] = {cols * 4, 4}, f_strides[] = {4, rows * 4};
  const ViewWalk cw(reinterpret_cast<const char*>(c.data()), 2, shape, c_strides);
  const ViewWalk fw(reinterpret_cast<const char*>(f.data()), 2, shape, f_strides);
  const float sum = layer_sum_f32(cw, 1), dot = layer_dot_f32(cw, cw, 1);
  const float max = layer_max_f32(cw, 1), min = layer_min_f32(cw, 1);
  for (std::uint64_t p : {1, 2, 3, 8, 16}) {
    EXPECT_TRUE(same_float(sum, layer_sum_f32(cw, p))) << p;
    EXPECT_TRUE(same_float(sum, layer_sum_f32(fw, p))) << p;
    EXPECT_TRUE(same_float(dot, layer_dot_f32(fw, cw, p))) << p;
    EXPECT_TRUE(same_float(max, layer_max_f32(fw, p))) << p;
    EXPECT_TRUE(same_float(min, layer_min_f32(fw, p))) << p;
  }
}

// Outputs side by side: 7 rows of lanes in half of L2, whole vectors of them,
// at least one lane row's worth and at most a block's.
TEST(LayerSum, SideBySideWidthFromL2) {
  EXPECT_EQ(layer_side_width({32 * 1024, 64 * 1024, 0}), 1152u);
  EXPECT_EQ(layer_side_width({32 * 1024, 1024 * 1024, 0}), 4096u);
  EXPECT_EQ(layer_side_width({32 * 1024, 1024, 0}), 64u);
}

}  // namespace
