// Axis reductions against the whole reduction of each output's sub-view, the
// way a whole view is reduced: a C-contiguous float32 sub-view by the flat
// compensated sum, any other by the strided kernels (int32 and bool are
// compared with NumPy by the Python tests).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/axis_reduce.hpp"
#include "ops/flat_reduce.hpp"
#include "ops/reduce.hpp"

namespace {

using zoltra::ops::AxisFold;
using flat_test::same_float;

struct Case {
  std::vector<std::int64_t> shape, strides;  // strides in elements
  std::int64_t base;                         // elements
  std::vector<bool> reduced;
};

// C-ordered, transposed, reversed, stepped and broadcast views; one axis, two,
// all, none; around the vector width, the lane blocks and the pool threshold.
const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {{7, 13}, {13, 1}, 0, {true, false}},
      {{7, 13}, {13, 1}, 0, {false, true}},
      {{7, 13}, {13, 1}, 0, {true, true}},
      {{7, 13}, {13, 1}, 0, {false, false}},
      {{13, 7}, {1, 13}, 0, {true, false}},                 // transposed
      {{13, 7}, {1, 13}, 0, {false, true}},
      {{6, 40}, {-80, 2}, 5 * 80, {true, false}},           // reversed rows, every second column
      {{4, 5, 6}, {30, 6, 1}, 0, {true, false, true}},      // a tuple of axes, sub-view not contiguous
      {{4, 5, 6}, {30, 6, 1}, 0, {false, true, true}},      // sub-view contiguous
      {{4, 5, 6}, {1, 4, 20}, 0, {false, true, true}},      // permuted
      {{3, 9, 5}, {0, 5, 1}, 0, {true, false, false}},      // broadcast folded dimension
      {{3, 1, 70}, {70, 70, 1}, 0, {false, true, false}},   // a folded dimension of 1
      {{600, 300}, {300, 1}, 0, {true, false}},             // the pool, lanes
      {{300, 600}, {600, 1}, 0, {false, true}},             // the pool, rows
      {{300, 600}, {1, 300}, 0, {false, true}},             // the pool, each
      {{2, 1100}, {1100, 1}, 0, {true, false}},             // lane blocks
      {{3, 0, 4}, {0, 4, 1}, 0, {false, true, false}},      // empty sub-views
  };
  return all;
}

// Byte strides, the first offset and the count of kept/folded positions.
struct Geometry {
  std::vector<std::int64_t> bytes;
  std::int64_t extent;  // elements of the buffer the view needs
};

Geometry geometry(const Case& c, std::int64_t size) {
  Geometry g{{}, c.base + 1};
  for (std::size_t d = 0; d < c.shape.size(); ++d) {
    g.bytes.push_back(c.strides[d] * size);
    if (c.strides[d] > 0 && c.shape[d] > 0) g.extent += (c.shape[d] - 1) * c.strides[d];
  }
  return g;
}

// For each output in order: its sub-view's first element (offset in elements)
// and the folded shape and strides, as a caller of the whole reduction sees it.
struct SubView {
  std::int64_t offset;
  std::vector<std::int64_t> shape, strides;
};

std::vector<SubView> sub_views(const Case& c) {
  std::vector<std::int64_t> kept_shape, kept_strides;
  SubView model{c.base, {}, {}};
  for (std::size_t d = 0; d < c.shape.size(); ++d) {
    (c.reduced[d] ? model.shape : kept_shape).push_back(c.shape[d]);
    (c.reduced[d] ? model.strides : kept_strides).push_back(c.strides[d]);
  }
  std::vector<SubView> out;
  std::vector<std::int64_t> index(kept_shape.size(), 0);
  for (std::int64_t e : kept_shape)
    if (e == 0) return out;
  for (;;) {
    SubView v = model;
    for (std::size_t d = 0; d < index.size(); ++d) v.offset += index[d] * kept_strides[d];
    out.push_back(v);
    std::size_t d = index.size();
    for (; d-- > 0;) {
      if (++index[d] < kept_shape[d]) break;
      index[d] = 0;
    }
    if (d == static_cast<std::size_t>(-1)) return out;
  }
}

std::int64_t count_of(const SubView& v) {
  std::int64_t n = 1;
  for (std::int64_t e : v.shape) n *= e;
  return n;
}

// NumPy's C-contiguity: extents of 1 do not count.
bool c_contiguous(const SubView& v) {
  std::int64_t expected = 1;
  for (std::size_t d = v.shape.size(); d-- > 0;) {
    if (v.shape[d] == 1) continue;
    if (v.strides[d] != expected) return false;
    expected *= v.shape[d];
  }
  return true;
}

float whole(AxisFold fold, const float* data, const SubView& v) {
  const std::int64_t n = count_of(v);
  // A 0-d view is reduced as one element of shape (1,).
  SubView w = v.shape.empty() ? SubView{v.offset, {1}, {1}} : v;
  std::vector<std::int64_t> bytes;
  for (std::int64_t s : w.strides) bytes.push_back(4 * s);
  const float* p = data + w.offset;
  const std::uint64_t nd = w.shape.size();
  switch (fold) {
    case AxisFold::kSum:
      return c_contiguous(v) ? zoltra::ops::sum_f32_auto(p, n)
                             : zoltra::ops::sum_f32_strided_dispatch(p, w.shape.data(), nd, bytes.data(), nd);
    case AxisFold::kMean:
      return (c_contiguous(v) ? zoltra::ops::sum_f32_auto(p, n)
                              : zoltra::ops::sum_f32_strided_dispatch(p, w.shape.data(), nd, bytes.data(), nd)) /
             static_cast<float>(n);
    case AxisFold::kMax: return zoltra::ops::max_f32_strided_dispatch(p, w.shape.data(), nd, bytes.data(), nd);
    case AxisFold::kMin: return zoltra::ops::min_f32_strided_dispatch(p, w.shape.data(), nd, bytes.data(), nd);
  }
  return 0.0f;
}

bool* flags(const Case& c, std::vector<char>& storage) {
  storage.assign(c.reduced.begin(), c.reduced.end());
  return reinterpret_cast<bool*>(storage.data());
}

// Values where every grouping of additions rounds differently, with NaNs,
// zeros of both signs and repeated extremes sprinkled in for max and min.
std::vector<float> values(std::int64_t n, bool specials) {
  auto v = flat_test::order_sensitive(static_cast<std::size_t>(n), 7);
  if (specials)
    for (std::size_t i = 0; i < v.size(); i += 5) v[i] = flat_test::special_values()[(i / 5) % 12];
  return v;
}

TEST(AxisReduce, EachOutputIsTheWholeReductionOfItsSubView) {
  for (AxisFold fold : {AxisFold::kSum, AxisFold::kMean, AxisFold::kMax, AxisFold::kMin}) {
    for (bool specials : {false, true}) {
      for (const Case& c : cases()) {
        const Geometry g = geometry(c, 4);
        const auto data = values(g.extent, specials);
        const auto subs = sub_views(c);
        if (!subs.empty() && count_of(subs[0]) == 0 && fold != AxisFold::kSum) continue;
        std::vector<float> out(subs.size() + 1, -7.0f);
        std::vector<char> storage;
        zoltra::ops::axis_reduce_f32_cpu(fold, data.data() + c.base, c.shape.size(), c.shape.data(), g.bytes.data(),
                                         flags(c, storage), out.data());
        for (std::size_t o = 0; o < subs.size(); ++o)
          ASSERT_TRUE(same_float(whole(fold, data.data(), subs[o]), out[o]))
              << "fold " << int(fold) << " shape of " << c.shape.size() << " dims " << c.shape[0] << ", output " << o;
        EXPECT_EQ(out.back(), -7.0f);
      }
    }
  }
}

// The first element equal to the extreme decides between -0.0 and +0.0, and
// a NaN wins only in first place; the vector kernels must agree.
TEST(AxisReduce, ZerosAndNaNsFollowTheStridedFold) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::vector<float>> rows = {
      {-0.0f, 0.0f, -1.0f}, {0.0f, -0.0f, -2.0f}, {-3.0f, -0.0f, 0.0f}, {nan, 1.0f, 2.0f}, {1.0f, nan, 2.0f}};
  for (const auto& r : rows) {
    for (std::size_t n : {3, 40}) {  // one vector or none
      std::vector<float> data(n, -5.0f);
      std::copy(r.begin(), r.end(), data.begin() + (n > 3 ? 17 : 0));
      if (n > 3) data[0] = -6.0f;
      const std::int64_t shape[] = {static_cast<std::int64_t>(n)}, strides[] = {4};
      const bool reduced[] = {true};
      for (AxisFold fold : {AxisFold::kMax, AxisFold::kMin}) {
        float out = 0.0f;
        zoltra::ops::axis_reduce_f32_cpu(fold, data.data(), 1, shape, strides, reduced, &out);
        const float expected = fold == AxisFold::kMax
                                   ? zoltra::ops::max_f32_strided_dispatch(data.data(), shape, 1, strides, 1)
                                   : zoltra::ops::min_f32_strided_dispatch(data.data(), shape, 1, strides, 1);
        ASSERT_TRUE(same_float(expected, out)) << n;
      }
    }
  }
}

// Folded strides that are not multiples of 4 (float32 fields of 9-byte
// records): each output as the whole reduction of its sub-view copied to C
// order and walked with the strided kernels.
TEST(AxisReduce, UnevenStridesFoldTheCopiedSubView) {
  const auto values = flat_test::order_sensitive(5 * 7, 9);
  std::vector<char> records(5 * 7 * 9 + 3);
  for (std::size_t i = 0; i < values.size(); ++i) std::memcpy(records.data() + 1 + 9 * i, &values[i], 4);
  const std::int64_t shape[] = {5, 7}, strides[] = {63, 9};
  for (AxisFold fold : {AxisFold::kSum, AxisFold::kMean, AxisFold::kMax, AxisFold::kMin}) {
    for (int axis : {0, 1}) {
      const bool reduced[] = {axis == 0, axis == 1};
      std::vector<float> out(axis == 0 ? 7 : 5);
      zoltra::ops::axis_reduce_f32_cpu(fold, reinterpret_cast<const float*>(records.data() + 1), 2, shape, strides,
                                       reduced, out.data());
      for (std::size_t o = 0; o < out.size(); ++o) {
        const std::int64_t n = axis == 0 ? 5 : 7;
        std::vector<float> copy;
        for (std::int64_t i = 0; i < n; ++i) copy.push_back(axis == 0 ? values[i * 7 + o] : values[o * 7 + i]);
        // Strided, not C-contiguous, so the copy is walked as a strided view.
        const SubView v{0, {n, 1}, {1, 1}};
        const std::int64_t c_shape[] = {n}, c_strides[] = {4};
        float expected = whole(fold, copy.data(), v);
        if (fold == AxisFold::kSum || fold == AxisFold::kMean) {
          expected = zoltra::ops::sum_f32_strided_dispatch(copy.data(), c_shape, 1, c_strides, 1);
          if (fold == AxisFold::kMean) expected /= static_cast<float>(n);
        }
        ASSERT_TRUE(same_float(expected, out[o])) << int(fold) << " axis " << axis << " output " << o;
      }
    }
  }
}

}  // namespace
