#pragma once
// The broadcasting walk over N operands (inputs and the output alike, each
// with its own byte strides over one shape): the operand walk handing each
// run of the innermost dimension to a row loop, row(pointers, strides, n), on
// the calling thread or in contiguous ranges of elements on the worker pool.
// Elements are visited in row-major order of the compacted shape; a range
// always covers whole groups of `group` elements, so neighbouring ranges of a
// contiguous output rarely share a cache line.
#include <array>
#include <cstddef>
#include <cstdint>

#include "backend/processor_count.hpp"
#include "common/decimal.hpp"
#include "ops/operand_walk.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

// An input's address as the walk hands it on: the walk never writes through
// an operand's pointer, only the row loops do, through the output's.
inline char* walk_address(const void* p) noexcept { return const_cast<char*>(static_cast<const char*>(p)); }

// From this many elements on, the walk is split over the worker pool.
inline constexpr std::uint64_t kParallelBroadcastThreshold = 65536;

template <std::size_t N>
class BroadcastWalk {
 public:
  using Dim = typename OperandWalk<N>::Dim;

  // strides[k] holds operand k's ndim strides.
  BroadcastWalk(std::uint64_t ndim, const std::int64_t* shape, const std::array<const std::int64_t*, N>& strides)
      : walk_(ndim, shape, strides) {}
  BroadcastWalk(const BroadcastWalk&) = delete;
  BroadcastWalk& operator=(const BroadcastWalk&) = delete;

  std::uint64_t count() const noexcept { return walk_.count(); }
  std::size_t dims() const noexcept { return walk_.dims(); }
  const Dim& inner() const noexcept { return walk_.inner(); }

  // Elements [begin, end).
  template <class Row>
  void run(const std::array<char*, N>& base, const Row& row, std::uint64_t begin, std::uint64_t end) const {
    walk_.runs(begin, end - begin,
               [&](const std::array<std::int64_t, N>& at, const std::array<std::int64_t, N>& s, std::uint64_t n) {
                 std::array<char*, N> p;
                 for (std::size_t k = 0; k < N; ++k) p[k] = base[k] + at[k];
                 row(p, s, n);
               });
  }

  // Every element, split over the pool from kParallelBroadcastThreshold
  // units of work on (`weight` of them per element); finish() runs at the
  // end of each range on its thread.
  template <class Row, class Finish>
  void run_all(const std::array<char*, N>& base, const Row& row, const Finish& finish, std::uint64_t group,
               std::uint64_t weight = 1) const {
    const std::uint64_t total = count(), processors = backend::processor_count();
    if (total * weight < kParallelBroadcastThreshold || total < 2 * group || processors < 2 ||
        scheduler::on_pool_thread()) {
      run(base, row, 0, total);
      finish();
      return;
    }
    const std::uint64_t length = range_length(total, processors, group);
    const auto chunks = static_cast<std::size_t>(ceil_div(total, length));
    auto chunk = [&](std::size_t c) {
      const std::uint64_t begin = c * length;
      run(base, row, begin, total - begin < length ? total : begin + length);
      finish();
    };
    scheduler::run_chunks(chunks, chunk);
  }

 private:
  OperandWalk<N> walk_;
};

}  // namespace zoltra::ops
