#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "ops/reduce.hpp"
#include "ops/strided_extremum.hpp"

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
// recomputed for every element, the element indices in the order of visits.
std::vector<std::int64_t> visited_indices(const Dims& shape, const Dims& strides) {
  std::vector<std::int64_t> out;
  if (shape.empty()) return out;
  for (auto e : shape)
    if (e == 0) return out;
  Dims index(shape.size(), 0);
  for (;;) {
    std::uint64_t offset = 0;
    for (std::size_t d = 0; d < shape.size() && d < strides.size(); ++d)
      offset += static_cast<std::uint64_t>(strides[d]) * static_cast<std::uint64_t>(index[d]);
    out.push_back(static_cast<std::int64_t>(offset) / 4);
    std::size_t d = shape.size();
    for (;;) {
      if (d == 0) return out;
      --d;
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
  }
}

std::vector<float> visits(const float* data, const Dims& shape, const Dims& strides) {
  std::vector<float> out;
  for (std::int64_t i : visited_indices(shape, strides)) out.push_back(data[i]);
  return out;
}

// Sum, max and min of the view equal the folds of the literal walk, bit for bit.
void expect_matches_walk(const float* data, const Dims& shape, const Dims& strides) {
  const auto seen = visits(data, shape, strides);
  ASSERT_FALSE(seen.empty());
  float s = 0.0f, hi = seen[0], lo = seen[0];
  for (float v : seen) {
    s = s + v;
    hi = v > hi ? v : hi;
    lo = v < lo ? v : lo;
  }
  EXPECT_EQ(bits(sum(data, shape, strides)), bits(s));
  EXPECT_EQ(bits(max(data, shape, strides)), bits(hi));
  EXPECT_EQ(bits(min(data, shape, strides)), bits(lo));
}

std::vector<float> random_buffer(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> value(-1000.0f, 1000.0f);
  std::vector<float> buffer(count);
  for (float& x : buffer) x = value(rng);
  return buffer;
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

// Random views, including strides that are not multiples of 4 (the element
// index is the byte offset divided by 4 toward zero), extents of 1, negative
// extents (visited once, like 1), a NaN, and neighbouring dimensions that run
// through memory as one.
TEST(StridedReduce, RandomViewsMatchTheLiteralWalk) {
  auto buffer = random_buffer(4096, 11);
  buffer[100] = std::numeric_limits<float>::quiet_NaN();
  const float* centre = buffer.data() + 2048;
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> ndim_dist(1, 5), extent_dist(-1, 5), stride_dist(-24, 24), nstrides(0, 6);
  for (int trial = 0; trial < 3000; ++trial) {
    Dims shape(ndim_dist(rng)), strides(nstrides(rng));
    for (auto& e : shape) e = extent_dist(rng);
    for (auto& s : strides) s = trial % 3 == 0 ? stride_dist(rng) : 4 * stride_dist(rng);
    if (trial % 5 == 0 && strides.size() >= 2 && shape.size() >= 2)  // contiguous inner pair
      strides[0] = strides[1] * std::max<std::int64_t>(shape[1], 1);
    bool empty = false;
    for (auto e : shape) empty |= e == 0;
    if (empty) continue;
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    expect_matches_walk(centre, shape, strides);
  }
}

struct Layout {
  Dims shape, strides;
};

// Transposed-like views (far-apart elements along the innermost dimension,
// close neighbours along an outer one), which are read in bands of rows.
const Layout kTransposedLayouts[] = {
    {{37, 40}, {4, 160}},           // row count not a multiple of the band
    {{16, 16}, {-4, 64}},           // reversed rows
    {{3, 20, 17}, {-700, 4, -68}},  // an outer dimension around the band
    {{5, 5000}, {4, 64}},           // rows too long for a full band
    {{30, 5000}, {4, -64}},         // ... and several such bands
    {{2, 9, 33}, {0, 2, 66}},       // byte offsets that are not multiples of 4
    {{40, 20}, {-6, 130}},
    {{4, 100}, {0, 400}},           // broadcast rows
    {{32, 64}, {0, -256}},          // ... in full bands
    // Full bands of rows one or two floats apart, gathered in 4 x 4 blocks: a last band
    // and a last tile that are not full, reversed columns, a band dimension
    // inside an outer one.
    {{40, 1000}, {4, 160}},
    {{40, 1000}, {4, -160}},
    {{40, 1000}, {-4, 160}},
    {{40, 1000}, {8, 400}},         // every second row
    {{40, 1000}, {-8, 400}},
    {{3, 32, 64}, {-8192, 4, 64}},
    // Rows close in an outer dimension, columns from the dimensions inside
    // it: 3-D and 4-D permutations, every second or third row, reversed.
    {{64, 16, 20}, {4, 256, 4096}},
    {{40, 8, 6, 16}, {-8, 6144, -1024, 64}},
    {{2, 48, 3, 40}, {0, 12, -65536, 256}},
    {{48, 5, 40}, {6, 0, 300}},      // offsets not multiples of 4, broadcast columns
    // Enough bands for a first one that ends at a cache line.
    {{300, 64}, {4, 1024}},
    {{160, 3, 64}, {-8, 8192, 256}},
    // Bands of the next outer index gathered during the last band of this
    // one, at another alignment.
    {{3, 200, 64}, {-4100, 4, 1024}},
    {{3, 40, 20}, {2, 4, 256}},
};

TEST(StridedReduce, TransposedViewsMatchTheLiteralWalk) {
  const auto buffer = random_buffer(1 << 20, 12);
  const float* centre = buffer.data() + buffer.size() / 2;
  for (const auto& c : kTransposedLayouts)
    for (int shift = 0; shift < 16; shift += 5) {  // where bands meet cache lines
      SCOPED_TRACE(testing::Message() << "strides[0] " << c.strides[0] << ", shift " << shift);
      expect_matches_walk(centre + shift, c.shape, c.strides);
    }
}

TEST(StridedReduce, ManyDimensions) {
  // More dimensions than the walk keeps inline.
  const float m[4] = {1, 2, 3, 4};
  Dims shape(40, 1), strides(40, 0);
  shape[0] = shape[39] = 2;
  strides[0] = 4;
  strides[39] = 8;
  EXPECT_EQ(visits(m, shape, strides), (std::vector<float>{1, 3, 2, 4}));
  expect_matches_walk(m, shape, strides);
  // 2^20 visits of one element through twenty broadcast dimensions.
  EXPECT_EQ(sum(m, Dims(20, 2), {}), 1048576.0f);
}

}  // namespace

namespace {

// Max and min against the sequential walk, bit for bit, where the walk's rules
// decide: a NaN first, second or last in the order of visits; both zeros in
// either order, with only smaller (larger) values besides; ties; infinities.
// On every layout above, contiguous, transposed and reversed views.
TEST(StridedReduce, MaxMinKeepTheSequentialRules) {
  std::vector<Layout> layouts(std::begin(kTransposedLayouts), std::end(kTransposedLayouts));
  layouts.push_back({{1000}, {4}});
  layouts.push_back({{333}, {-4}});
  layouts.push_back({{64, 100}, {400, 4}});
  layouts.push_back({{100, 64}, {4, 400}});
  layouts.push_back({{64, 50}, {-400, 8}});
  layouts.push_back({{50, 64}, {-8, 400}});
  layouts.push_back({{7, 3}, {12, 0}});
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> pools = {
      {-1, -0.0f, 0.0f, -2}, {-1, -0.0f, -2}, {-1, 0.0f}, {1, -0.0f, 0.0f, 2}, {1, 0.0f}, {-0.0f, 0.0f},
      {5, 5, -5}, {inf, -inf, 1}, {-inf, -inf}, {nan, 1, -1, 0.0f, -0.0f}};
  std::vector<float> buffer(1 << 20, -7.0f);
  float* centre = buffer.data() + buffer.size() / 2;
  std::mt19937 rng(5);
  auto check = [&](const Layout& c, const char* what) {
    SCOPED_TRACE(testing::Message() << what << ", strides[0] " << c.strides[0]);
    const auto n = static_cast<std::uint64_t>(c.shape.size());
    EXPECT_EQ(bits(max(centre, c.shape, c.strides)),
              bits(zo::max_f32_strided_sequential(centre, c.shape.data(), n, c.strides.data(), c.strides.size())));
    EXPECT_EQ(bits(min(centre, c.shape, c.strides)),
              bits(zo::min_f32_strided_sequential(centre, c.shape.data(), n, c.strides.data(), c.strides.size())));
    const auto seen = visits(centre, c.shape, c.strides);
    float hi = seen[0], lo = seen[0];
    for (float v : seen) {
      hi = v > hi ? v : hi;
      lo = v < lo ? v : lo;
    }
    EXPECT_EQ(bits(max(centre, c.shape, c.strides)), bits(hi));
    EXPECT_EQ(bits(min(centre, c.shape, c.strides)), bits(lo));
  };
  for (const Layout& c : layouts) {
    const auto order = visited_indices(c.shape, c.strides);
    const std::size_t places[] = {0, 1, order.size() - 1};
    for (const auto& pool : pools) {
      for (std::int64_t i : order) centre[i] = pool[rng() % pool.size()];
      check(c, "random from a pool");
      for (std::size_t at : places) {  // a NaN at the first, second, last visit
        const float kept = centre[order[at]];
        centre[order[at]] = nan;
        check(c, "one NaN");
        centre[order[at]] = kept;
      }
    }
    // Two zeros of opposite signs among -1 (max) or 1 (min), at visits first
    // and last, second and last, last but one and last, in both orders.
    for (float other : {-1.0f, 1.0f})
      for (std::size_t first : {std::size_t{0}, std::size_t{1}, order.size() - 2})
        for (float zero : {0.0f, -0.0f}) {
          for (std::int64_t i : order) centre[i] = other;
          centre[order[first]] = zero;
          centre[order.back()] = -zero;
          check(c, "two zeros");
        }
  }
}

}  // namespace
