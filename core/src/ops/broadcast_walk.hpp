#pragma once
// The broadcasting walk over N operands (inputs and the output alike, each
// with its own byte strides over one shape): the dimensions compacted, then
// an odometer over the outer ones handing each run of the innermost to a row
// loop, row(pointers, strides, n), on the calling thread or in contiguous
// ranges of elements on the worker pool. Elements are visited in row-major
// order of the compacted shape; a range always covers whole groups of
// `group` elements, so neighbouring ranges of a contiguous output rarely
// share a cache line.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "backend/processor_count.hpp"
#include "common/decimal.hpp"
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
  struct Dim {
    std::uint64_t extent;
    std::array<std::int64_t, N> stride;  // bytes
  };

  // strides[k] holds operand k's ndim strides.
  BroadcastWalk(std::uint64_t ndim, const std::int64_t* shape, const std::array<const std::int64_t*, N>& strides) {
    dims_ = inline_;
    if (ndim > kInline) {
      heap_.reset(new Dim[ndim]);
      dims_ = heap_.get();
    }
    // Extents of 1 dropped, neighbours that step through every operand as
    // one longer dimension merged; the elements and their order stay.
    for (std::uint64_t d = 0; d < ndim; ++d) {
      if (shape[d] == 0) {
        count_ = 0;
        return;
      }
      if (shape[d] == 1) continue;
      Dim dim{static_cast<std::uint64_t>(shape[d]), {}};
      for (std::size_t k = 0; k < N; ++k) dim.stride[k] = strides[k][d];
      if (kept_ > 0 && merges(dims_[kept_ - 1], dim)) {
        dims_[kept_ - 1].extent *= dim.extent;
        dims_[kept_ - 1].stride = dim.stride;
        continue;
      }
      dims_[kept_++] = dim;
    }
    if (kept_ == 0) dims_[kept_++] = Dim{1, {}};  // one element
    for (std::size_t d = 0; d < kept_; ++d) count_ *= dims_[d].extent;
  }
  BroadcastWalk(const BroadcastWalk&) = delete;
  BroadcastWalk& operator=(const BroadcastWalk&) = delete;

  std::uint64_t count() const noexcept { return count_; }
  std::size_t dims() const noexcept { return kept_; }
  const Dim& inner() const noexcept { return dims_[kept_ - 1]; }

  // Elements [begin, end).
  template <class Row>
  void run(const std::array<char*, N>& base, const Row& row, std::uint64_t begin, std::uint64_t end) const {
    std::uint64_t inline_index[kInline];
    std::unique_ptr<std::uint64_t[]> heap;
    std::uint64_t* index = inline_index;
    if (kept_ > kInline) {
      heap.reset(new std::uint64_t[kept_]);
      index = heap.get();
    }
    const Dim& in = inner();
    std::array<std::int64_t, N> at{};
    std::uint64_t rest = begin;
    for (std::size_t d = kept_; d-- > 0;) {
      index[d] = rest % dims_[d].extent;
      rest /= dims_[d].extent;
      for (std::size_t k = 0; k < N; ++k) at[k] += static_cast<std::int64_t>(index[d]) * dims_[d].stride[k];
    }
    for (std::uint64_t done = begin; done < end;) {
      const std::uint64_t i = index[kept_ - 1];
      std::uint64_t n = in.extent - i;
      if (n > end - done) n = end - done;
      std::array<char*, N> p;
      for (std::size_t k = 0; k < N; ++k) p[k] = base[k] + at[k];
      row(p, in.stride, n);
      done += n;
      if (done == end) return;
      // To the start of the next row.
      for (std::size_t k = 0; k < N; ++k) at[k] -= static_cast<std::int64_t>(i) * in.stride[k];
      index[kept_ - 1] = 0;
      for (std::size_t d = kept_ - 1; d-- > 0;) {
        for (std::size_t k = 0; k < N; ++k) at[k] += dims_[d].stride[k];
        if (++index[d] < dims_[d].extent) break;
        for (std::size_t k = 0; k < N; ++k) at[k] -= static_cast<std::int64_t>(dims_[d].extent) * dims_[d].stride[k];
        index[d] = 0;
      }
    }
  }

  // Every element, split over the pool from kParallelBroadcastThreshold
  // units of work on (`weight` of them per element); finish() runs at the
  // end of each range on its thread.
  template <class Row, class Finish>
  void run_all(const std::array<char*, N>& base, const Row& row, const Finish& finish, std::uint64_t group,
               std::uint64_t weight = 1) const {
    const std::uint64_t processors = backend::processor_count();
    if (count_ * weight < kParallelBroadcastThreshold || count_ < 2 * group || processors < 2 ||
        scheduler::on_pool_thread()) {
      run(base, row, 0, count_);
      finish();
      return;
    }
    // Several ranges per processor, claimed as threads arrive, let the
    // threads that start first take over the share of one that starts late.
    constexpr std::uint64_t kChunksPerProcessor = 4;
    const std::uint64_t length = ceil_div(ceil_div(count_, kChunksPerProcessor * processors), group) * group;
    const auto chunks = static_cast<std::size_t>(ceil_div(count_, length));
    auto chunk = [&](std::size_t c) {
      const std::uint64_t begin = c * length;
      run(base, row, begin, count_ - begin < length ? count_ : begin + length);
      finish();
    };
    scheduler::run_chunks(chunks, chunk);
  }

 private:
  static constexpr std::size_t kInline = 32;

  static bool merges(const Dim& outer, const Dim& dim) noexcept {
    const auto e = static_cast<std::int64_t>(dim.extent);
    for (std::size_t k = 0; k < N; ++k)
      if (outer.stride[k] != dim.stride[k] * e) return false;
    return true;
  }

  Dim inline_[kInline];
  std::unique_ptr<Dim[]> heap_;
  Dim* dims_;
  std::size_t kept_ = 0;
  std::uint64_t count_ = 1;
};

}  // namespace zoltra::ops
