#pragma once
// The row-major walk over N operands at once, each with its own byte strides
// over one shape (one view, the inputs and output of a broadcast, a view and
// its copy, the two stacks of a product): extents of 1 dropped,
// neighbours that step through every operand as one dimension merged, then
// the positions of any range handed on as runs of the innermost dimension,
// with each operand's byte offset from its first element. Taking ranges is
// how work splits over the pool; the order of positions never changes.
#include <array>
#include <cstddef>
#include <cstdint>

#include "common/decimal.hpp"

namespace zoltra::ops {

// Work split over the pool goes in several ranges per processor, claimed as
// threads arrive, so that the threads that start first take over the share
// of one that starts late.
inline constexpr std::uint64_t kRangesPerProcessor = 4;

// The length of such ranges of [0, count), each whole groups of `group`
// positions (the last range may be shorter).
constexpr std::uint64_t range_length(std::uint64_t count, std::uint64_t processors, std::uint64_t group) noexcept {
  return ceil_div(ceil_div(count, kRangesPerProcessor * processors), group) * group;
}

template <std::size_t N>
class OperandWalk {
 public:
  // A view has at most 64 dimensions, and each add() keeps at most one
  // more; beyond that, only more than 2^64 positions would not merge.
  static constexpr std::size_t kMaxDims = 64;
  using Offsets = std::array<std::int64_t, N>;
  struct Dim {
    std::uint64_t extent;
    Offsets stride;  // bytes
  };

  // No dimension yet: one position.
  OperandWalk() noexcept { dims_[0] = Dim{1, {}}; }
  // strides[k] holds operand k's ndim strides.
  OperandWalk(std::uint64_t ndim, const std::int64_t* shape, const std::array<const std::int64_t*, N>& strides) noexcept
      : OperandWalk() {
    for (std::uint64_t d = 0; d < ndim; ++d) {
      Offsets stride;
      for (std::size_t k = 0; k < N; ++k) stride[k] = strides[k][d];
      add(static_cast<std::uint64_t>(shape[d]), stride);
    }
  }

  // Appends an inner dimension, merged into the one before when that one
  // steps as `extent` of it in every operand. Merged extents stay below 2^62
  // so that extent times a stride of a few bytes keeps to 64 bits.
  void add(std::uint64_t extent, const Offsets& stride) noexcept {
    count_ *= extent;
    if (extent <= 1) return;  // an extent of 0 leaves no position to walk
    if (kept_ > 0 && merges(dims_[kept_ - 1], extent, stride)) {
      dims_[kept_ - 1].extent *= extent;
      dims_[kept_ - 1].stride = stride;
      return;
    }
    if (kept_ == kMaxDims) {
      overflow_ = true;
      return;
    }
    dims_[kept_++] = Dim{extent, stride};
  }

  // False once more than kMaxDims dimensions failed to merge.
  bool valid() const noexcept { return !overflow_; }
  std::uint64_t count() const noexcept { return count_; }
  std::size_t dims() const noexcept { return kept_; }
  const Dim& dim(std::size_t d) const noexcept { return dims_[d]; }
  // The innermost dimension; with none, one position of stride 0.
  const Dim& inner() const noexcept { return dims_[kept_ == 0 ? 0 : kept_ - 1]; }

  // Each operand's byte offset at row-major position `position`.
  Offsets offsets(std::uint64_t position) const noexcept {
    Offsets at{};
    for (std::size_t d = kept_; d-- > 0;) {
      const auto index = static_cast<std::int64_t>(position % dims_[d].extent);
      position /= dims_[d].extent;
      for (std::size_t k = 0; k < N; ++k) at[k] += index * dims_[d].stride[k];
    }
    return at;
  }

  // Calls run(offsets, strides, n) for the positions [first, first + count)
  // in row-major order, one call per piece of the innermost dimension.
  template <class Run>
  void runs(std::uint64_t first, std::uint64_t count, Run&& run) const {
    if (count == 0) return;
    const Dim& in = inner();
    if (kept_ == 0) return run(Offsets{}, in.stride, count);
    std::uint64_t index[kMaxDims];
    Offsets at{};
    for (std::size_t d = kept_; d-- > 0;) {
      index[d] = first % dims_[d].extent;
      first /= dims_[d].extent;
      for (std::size_t k = 0; k < N; ++k) at[k] += static_cast<std::int64_t>(index[d]) * dims_[d].stride[k];
    }
    const std::size_t last = kept_ - 1;
    while (true) {
      const std::uint64_t i = index[last];
      const std::uint64_t n = in.extent - i < count ? in.extent - i : count;
      // Copies: a caller's stores through char pointers could alias the
      // walk's own state, which would then be reloaded at every element.
      run(Offsets(at), Offsets(in.stride), n);
      count -= n;
      if (count == 0) return;
      // To the start of the next row.
      for (std::size_t k = 0; k < N; ++k) at[k] -= static_cast<std::int64_t>(i) * in.stride[k];
      index[last] = 0;
      for (std::size_t d = last; d-- > 0;) {
        for (std::size_t k = 0; k < N; ++k) at[k] += dims_[d].stride[k];
        if (++index[d] < dims_[d].extent) break;
        for (std::size_t k = 0; k < N; ++k) at[k] -= static_cast<std::int64_t>(dims_[d].extent) * dims_[d].stride[k];
        index[d] = 0;
      }
    }
  }

  // Calls visit(offsets) for every position in row-major order.
  template <class Visit>
  void positions(Visit&& visit) const {
    runs(0, count_, [&visit](Offsets at, const Offsets stride, std::uint64_t n) {
      for (std::uint64_t i = 0; i < n; ++i) {
        visit(Offsets(at));
        for (std::size_t k = 0; k < N; ++k) at[k] += stride[k];
      }
    });
  }

 private:
  static bool merges(const Dim& outer, std::uint64_t extent, const Offsets& stride) noexcept {
    if (outer.extent > (std::uint64_t{1} << 62) / extent) return false;
    for (std::size_t k = 0; k < N; ++k)
      if (static_cast<std::uint64_t>(outer.stride[k]) != static_cast<std::uint64_t>(stride[k]) * extent) return false;
    return true;
  }

  Dim dims_[kMaxDims];
  std::size_t kept_ = 0;
  std::uint64_t count_ = 1;
  bool overflow_ = false;
};

}  // namespace zoltra::ops
