// Cache sizes from the processor's cache leaves, and the choices made from
// them, for two processors: a Sapphire Rapids Xeon (48 KiB L1d, 2 MiB L2,
// 105 MiB L3) and a Zen 3 EPYC (32 KiB L1d, 512 KiB L2, 32 MiB L3); and one
// whose last cache is its 1 MiB L2.
#include <gtest/gtest.h>

#include <cstdint>

#include "backend/cache_geometry.hpp"
#include "ops/broadcast.hpp"
#include "ops/elementwise.hpp"
#include "ops/reduce.hpp"

namespace {

using zoltra::backend::CacheGeometry;
using zoltra::backend::CacheLeaf;

// A subleaf describing a cache of `ways` x `sets` lines of 64 bytes.
CacheLeaf leaf(std::uint32_t type, std::uint32_t level, std::uint32_t ways, std::uint32_t sets) {
  return {type | level << 5, (ways - 1) << 22 | 63u, sets - 1};
}

constexpr std::uint32_t kData = 1, kInstruction = 2, kUnified = 3;

const CacheLeaf kXeon[] = {leaf(kData, 1, 12, 64), leaf(kInstruction, 1, 8, 64), leaf(kUnified, 2, 16, 2048),
                           leaf(kUnified, 3, 15, 114688)};
const CacheLeaf kZen3[] = {leaf(kData, 1, 8, 64), leaf(kInstruction, 1, 8, 64), leaf(kUnified, 2, 8, 1024),
                           leaf(kUnified, 3, 16, 32768), {0, 0, 0}, leaf(kUnified, 4, 16, 1 << 20)};
const CacheLeaf kTwoLevels[] = {leaf(kData, 1, 8, 64), leaf(kInstruction, 1, 8, 64), leaf(kUnified, 2, 16, 1024)};

TEST(CacheGeometry, ReadFromTheCacheLeaves) {
  const CacheGeometry xeon = zoltra::backend::geometry_from_cache_leaves(kXeon, 4);
  EXPECT_EQ(xeon.l1d_bytes, 48u << 10);
  EXPECT_EQ(xeon.l2_bytes, 2u << 20);
  EXPECT_EQ(xeon.llc_bytes, 105u << 20);
  // Type 0 ends the list: the leaf after it is not read.
  const CacheGeometry zen3 = zoltra::backend::geometry_from_cache_leaves(kZen3, 6);
  EXPECT_EQ(zen3.l1d_bytes, 32u << 10);
  EXPECT_EQ(zen3.l2_bytes, 512u << 10);
  EXPECT_EQ(zen3.llc_bytes, 32u << 20);
  // No L3: the L2 is the last level, not the fallback's 4 MiB.
  const CacheGeometry two = zoltra::backend::geometry_from_cache_leaves(kTwoLevels, 3);
  EXPECT_EQ(two.l2_bytes, 1u << 20);
  EXPECT_EQ(two.llc_bytes, 1u << 20);
  // Nothing described: the fallback.
  const CacheGeometry none = zoltra::backend::geometry_from_cache_leaves(nullptr, 0);
  EXPECT_EQ(none.l2_bytes, zoltra::backend::kFallbackCacheGeometry.l2_bytes);
  EXPECT_EQ(none.llc_bytes, zoltra::backend::kFallbackCacheGeometry.llc_bytes);
}

TEST(CacheGeometry, ThisProcessorsSizesAreOrdered) {
  const CacheGeometry& g = zoltra::backend::cache_geometry();
  EXPECT_GT(g.l1d_bytes, 0u);
  EXPECT_LE(g.l1d_bytes, g.l2_bytes);
  EXPECT_LE(g.l2_bytes, g.llc_bytes);
  EXPECT_EQ(&g, &zoltra::backend::cache_geometry());
}

TEST(CacheGeometry, ChoicesFollowTheCaches) {
  const CacheGeometry xeon = zoltra::backend::geometry_from_cache_leaves(kXeon, 4);
  const CacheGeometry zen3 = zoltra::backend::geometry_from_cache_leaves(kZen3, 4);
  // Streaming stores once a call's 12 bytes an element pass half the LLC:
  // 1,000,000 elements (12 MB) stay in Zen 3's 32 MiB L3, 4,000,000 do not.
  const std::uint64_t zen3_streams = zoltra::ops::streaming_threshold(zen3);
  EXPECT_GT(zen3_streams, 1'000'000u);
  EXPECT_LT(zen3_streams, 4'000'000u);
  EXPECT_EQ(zen3_streams, (32u << 20) / 24);
  EXPECT_EQ(zoltra::ops::streaming_threshold(xeon), (105u << 20) / 24);
  // Broadcasting streams once its output alone fills the LLC.
  EXPECT_EQ(zoltra::ops::broadcast_streaming_threshold(zen3), 8u << 20);
  EXPECT_EQ(zoltra::ops::broadcast_streaming_threshold(xeon), (105u << 20) / 4);
  // Two strided bands take at most a quarter of the LLC, and 512 KiB each.
  EXPECT_EQ(zoltra::ops::strided_band_floats(xeon), 131072u);
  EXPECT_EQ(zoltra::ops::strided_band_floats(zen3), 131072u);
  EXPECT_EQ(zoltra::ops::strided_band_floats({32 << 10, 256 << 10, 2 << 20}), 65536u);
}

}  // namespace
