#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "ops/reduce.hpp"

namespace {

namespace zo = zoltra::ops;
using Dims = std::vector<std::int64_t>;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

float sum(const float* data, const Dims& shape, const Dims& strides) {
  return zo::sum_f32_strided_dispatch(data, shape.data(), shape.size(), strides.data(), strides.size());
}
float max(const float* data, const Dims& shape, const Dims& strides) {
  return zo::max_f32_strided_dispatch(data, shape.data(), shape.size(), strides.data(), strides.size());
}
float min(const float* data, const Dims& shape, const Dims& strides) {
  return zo::min_f32_strided_dispatch(data, shape.data(), shape.size(), strides.data(), strides.size());
}

// The walk taken literally: an odometer over the multi-index, the offset
// recomputed for every element, the order of visits recorded.
std::vector<float> visits(const float* data, const Dims& shape, const Dims& strides) {
  std::vector<float> out;
  if (shape.empty()) return out;
  for (auto e : shape)
    if (e == 0) return out;
  Dims index(shape.size(), 0);
  for (;;) {
    std::uint64_t offset = 0;
    for (std::size_t d = 0; d < shape.size() && d < strides.size(); ++d)
      offset += static_cast<std::uint64_t>(strides[d]) * static_cast<std::uint64_t>(index[d]);
    out.push_back(data[static_cast<std::int64_t>(offset) / 4]);
    std::size_t d = shape.size();
    for (;;) {
      if (d == 0) return out;
      --d;
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
  }
}

float reference_sum(const std::vector<float>& seen) {
  float s = 0.0f;
  for (float v : seen) s = s + v;
  return s;
}

TEST(StridedReduce, WorkedExamples) {
  const float m[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(visits(m, {2, 3}, {12, 4}), (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(sum(m, {2, 3}, {12, 4}), 21.0f);
  EXPECT_EQ(max(m, {2, 3}, {12, 4}), 6.0f);
  EXPECT_EQ(min(m, {2, 3}, {12, 4}), 1.0f);

  EXPECT_EQ(visits(m, {3, 2}, {4, 12}), (std::vector<float>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(sum(m, {3, 2}, {4, 12}), 21.0f);

  const float broadcast[1] = {2.5f};
  EXPECT_EQ(sum(broadcast, {4}, {0}), 10.0f);
  EXPECT_EQ(max(broadcast, {4}, {0}), 2.5f);

  EXPECT_EQ(visits(m + 2, {3}, {-4}), (std::vector<float>{3, 2, 1}));
  EXPECT_EQ(sum(m + 2, {3}, {-4}), 6.0f);
  EXPECT_EQ(min(m + 2, {3}, {-4}), 1.0f);

  // One stride for two dimensions: offsets 0, 0, 8, 8.
  EXPECT_EQ(visits(m, {2, 2}, {8}), (std::vector<float>{1, 1, 3, 3}));
  EXPECT_EQ(sum(m, {2, 2}, {8}), 8.0f);
  // No strides at all: every visit reads the first element.
  EXPECT_EQ(sum(m + 1, {2, 3}, {}), 12.0f);
  // Strides beyond the dimensions are ignored.
  EXPECT_EQ(sum(m, {3}, {4, 1000000, -8}), 6.0f);
}

TEST(StridedReduce, EmptyShapes) {
  // No dimensions: nothing is read (a null pointer would crash otherwise).
  EXPECT_EQ(bits(zo::sum_f32_strided_dispatch(nullptr, nullptr, 0, nullptr, 0)), 0u);
  EXPECT_EQ(bits(zo::max_f32_strided_dispatch(nullptr, nullptr, 0, nullptr, 0)), 0x7FC00000u);
  EXPECT_EQ(bits(zo::min_f32_strided_dispatch(nullptr, nullptr, 0, nullptr, 0)), 0x7FC00000u);
  // A zero extent anywhere: nothing is read, the starting value comes back.
  for (const Dims& shape : {Dims{5, 0}, Dims{0, 5}, Dims{3, 0, 2}}) {
    const Dims strides{4, 4, 4};
    EXPECT_EQ(bits(sum(nullptr, shape, strides)), 0u);
    EXPECT_EQ(max(nullptr, shape, strides), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(min(nullptr, shape, strides), std::numeric_limits<float>::infinity());
  }
}

TEST(StridedReduce, MaxMinComparisonRules) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Dims shape{3}, strides{4};
  const float nan_first[3] = {nan, 1, 2}, nan_middle[3] = {1, nan, 2}, min_case[3] = {3, nan, 1};
  EXPECT_TRUE(std::isnan(max(nan_first, shape, strides)));
  EXPECT_TRUE(std::isnan(min(nan_first, shape, strides)));
  EXPECT_EQ(max(nan_middle, shape, strides), 2.0f);
  EXPECT_EQ(min(min_case, shape, strides), 1.0f);

  const float neg_pos[2] = {-0.0f, 0.0f}, pos_neg[2] = {0.0f, -0.0f};
  EXPECT_EQ(bits(max(neg_pos, {2}, {4})), bits(-0.0f));
  EXPECT_EQ(bits(max(pos_neg, {2}, {4})), bits(0.0f));
  EXPECT_EQ(bits(min(neg_pos, {2}, {4})), bits(-0.0f));
  EXPECT_EQ(bits(min(pos_neg, {2}, {4})), bits(0.0f));
  // A single -0.0 is its own sum only after the +0.0 start: +0.0 + -0.0 = +0.0.
  EXPECT_EQ(bits(sum(neg_pos, {1}, {4})), 0u);
  // -infinity is a value like any other.
  const float all_neg_inf[2] = {-std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
  EXPECT_EQ(max(all_neg_inf, {2}, {4}), -std::numeric_limits<float>::infinity());
}

TEST(StridedReduce, PlainFloatAccumulation) {
  const float one[1] = {1.0f};
  EXPECT_EQ(sum(one, {(1 << 24) + 1}, {0}), 16777216.0f);
  // Order matters and is row-major: 2^24, then 1s that are each lost.
  const float big_then_small[4] = {16777216.0f, 1.0f, 1.0f, 1.0f};
  EXPECT_EQ(sum(big_then_small, {4}, {4}), 16777216.0f);
  EXPECT_EQ(sum(big_then_small + 3, {4}, {-4}), 16777216.0f + 4.0f);
}

// Random views, including strides that are not multiples of 4 (the element
// index is the byte offset divided by 4 toward zero), extents of 1, negative
// extents (visited once, like 1), and layouts where neighbouring dimensions
// run through memory as one.
TEST(StridedReduce, RandomViewsMatchTheLiteralWalk) {
  std::mt19937 rng(11);
  std::vector<float> buffer(4096);
  std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
  for (float& x : buffer) x = value(rng);
  buffer[100] = std::numeric_limits<float>::quiet_NaN();
  const float* centre = buffer.data() + 2048;

  std::uniform_int_distribution<int> ndim_dist(1, 5), extent_dist(-1, 5), stride_dist(-24, 24);
  std::uniform_int_distribution<int> nstride_pick(0, 6);
  for (int trial = 0; trial < 3000; ++trial) {
    Dims shape(ndim_dist(rng)), strides(nstride_pick(rng));
    for (auto& e : shape) e = extent_dist(rng);
    for (auto& s : strides) s = trial % 3 == 0 ? stride_dist(rng) : 4 * stride_dist(rng);
    if (trial % 5 == 0 && strides.size() >= 2 && shape.size() >= 2)  // contiguous inner pair
      strides[0] = strides[1] * std::max<std::int64_t>(shape[1], 1);
    const auto seen = visits(centre, shape, strides);
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    EXPECT_EQ(bits(sum(centre, shape, strides)), bits(reference_sum(seen)));
    if (!seen.empty()) {
      float hi = seen[0], lo = seen[0];
      for (float v : seen) {
        hi = v > hi ? v : hi;
        lo = v < lo ? v : lo;
      }
      EXPECT_EQ(bits(max(centre, shape, strides)), bits(hi));
      EXPECT_EQ(bits(min(centre, shape, strides)), bits(lo));
    }
  }
}

TEST(StridedReduce, ManyDimensions) {
  // More dimensions than the walk keeps inline.
  const float m[4] = {1, 2, 3, 4};
  Dims shape(40, 1), strides(40, 0);
  shape[0] = 2;
  strides[0] = 4;
  shape[39] = 2;
  strides[39] = 8;
  EXPECT_EQ(visits(m, shape, strides), (std::vector<float>{1, 3, 2, 4}));
  EXPECT_EQ(sum(m, shape, strides), 10.0f);
  for (auto& e : shape) e = 2;
  EXPECT_EQ(sum(m, Dims(shape.begin(), shape.begin() + 20), {}), 1048576.0f);
}

}  // namespace
