// The operand walk against the offsets of each position computed on its own,
// split at every position; and which dimensions merge. The one-operand view
// walk gathers the same elements from any range.
#include "ops/operand_walk.hpp"

#include "ops/view_walk.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using zoltra::ops::OperandWalk;
using zoltra::ops::ViewWalk;
using Offsets = OperandWalk<2>::Offsets;

struct View2 {
  std::vector<std::int64_t> shape, a, b;
};

std::vector<Offsets> reference(const View2& v) {
  std::uint64_t count = 1;
  for (std::int64_t e : v.shape) count *= static_cast<std::uint64_t>(e);
  std::vector<Offsets> out;
  for (std::uint64_t p = 0; p < count; ++p) {
    Offsets at{};
    std::uint64_t rest = p;
    for (std::size_t d = v.shape.size(); d-- > 0;) {
      const auto i = static_cast<std::int64_t>(rest % static_cast<std::uint64_t>(v.shape[d]));
      rest /= static_cast<std::uint64_t>(v.shape[d]);
      at[0] += i * v.a[d];
      at[1] += i * v.b[d];
    }
    out.push_back(at);
  }
  return out;
}

std::vector<Offsets> walked(const OperandWalk<2>& walk, std::uint64_t first, std::uint64_t count) {
  std::vector<Offsets> out;
  walk.runs(first, count, [&](Offsets at, const Offsets& stride, std::uint64_t n) {
    EXPECT_GT(n, 0u);
    for (std::uint64_t i = 0; i < n; ++i, at[0] += stride[0], at[1] += stride[1]) out.push_back(at);
  });
  return out;
}

OperandWalk<2> walk_of(const View2& v) {
  return OperandWalk<2>(v.shape.size(), v.shape.data(), {v.a.data(), v.b.data()});
}

TEST(OperandWalk, EveryRangeMatchesPositionByPosition) {
  const View2 views[] = {
      {{2, 1, 3}, {12, 7, 4}, {0, 5, 0}},         // a size-1 dimension and a broadcast operand merge
      {{3, 2, 4}, {-32, 16, 4}, {4, 0, 24}},      // a negative stride, a transposed operand
      {{2, 3, 2}, {-24, -8, -4}, {0, 8, 0}},      // reversed: a merges, b does not
      {{5}, {4}, {4}},                            // one dimension
      {{}, {}, {}},                               // no dimension: one position
  };
  for (const View2& v : views) {
    const OperandWalk<2> walk = walk_of(v);
    const std::vector<Offsets> all = reference(v);
    ASSERT_EQ(walk.count(), all.size());
    for (std::uint64_t first = 0; first <= all.size(); ++first)
      for (std::uint64_t count = 0; first + count <= all.size(); ++count)
        EXPECT_EQ(walked(walk, first, count),
                  std::vector<Offsets>(all.begin() + static_cast<std::ptrdiff_t>(first),
                                       all.begin() + static_cast<std::ptrdiff_t>(first + count)))
            << first << " " << count;
  }
}

TEST(OperandWalk, MergesOnlyWhereEveryOperandStepsAsOne) {
  EXPECT_EQ(walk_of({{4, 1, 3}, {12, 0, 4}, {0, 9, 0}}).dims(), 1u);
  EXPECT_EQ(walk_of({{4, 3}, {12, 4}, {4, 0}}).dims(), 2u);
  EXPECT_EQ(walk_of({{4, 3}, {-12, -4}, {12, 4}}).dims(), 1u);
  const OperandWalk<2> empty = walk_of({{4, 0, 3}, {0, 12, 4}, {0, 12, 4}});
  EXPECT_EQ(empty.count(), 0u);
  EXPECT_TRUE(walked(empty, 0, 0).empty());
}

// Steps of 8 bytes take the four-at-a-time path; the outer step runs backwards.
TEST(ViewWalk, GathersEveryRangeAndSeesMemoryOrder) {
  std::vector<float> values(64);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
  const char* last_row = reinterpret_cast<const char*>(values.data() + 40);
  const std::int64_t shape[] = {3, 1, 7}, strides[] = {-80, 4, 8};
  const ViewWalk walk(last_row, 3, shape, strides);
  for (std::uint64_t first = 0; first <= 21; ++first) {
    for (std::uint64_t count = 0; first + count <= 21; ++count) {
      std::vector<float> got(count);
      walk.gather(first, count, got.data());
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t p = first + i;
        ASSERT_EQ(got[i], static_cast<float>(40 - 20 * (p / 7) + 2 * (p % 7))) << first << " " << count;
      }
    }
  }
  const std::int64_t back[] = {-20, -4}, rows[] = {3, 5};
  const ViewWalk reversed(last_row, 2, rows, back);
  EXPECT_FALSE(reversed.contiguous());
  EXPECT_TRUE(reversed.in_memory_order().contiguous());
  EXPECT_EQ(reversed.in_memory_order().data(), last_row - 56);
  float moved[2];
  walk.at(last_row + 4).gather(19, 2, moved);  // the last row's end, one element on
  EXPECT_EQ(moved[0], 11.0f);
  EXPECT_EQ(moved[1], 13.0f);
  const ViewWalk scalar(last_row, 0, rows, back);
  scalar.runs(0, 1, [&](const char* p, std::int64_t stride, std::uint64_t n) {
    EXPECT_EQ(p, last_row);
    EXPECT_EQ(stride, 4);
    EXPECT_EQ(n, 1u);
  });
}

}  // namespace
