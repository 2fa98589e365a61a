#pragma once
// One walk over an n-d view of 4-byte elements given by shape and byte
// strides: its elements in row-major order, as runs along the innermost
// dimension. The operand walk of one operand, with the view's first element
// beside it, so that a run comes as an address. Any range of positions can be
// walked on its own, which is how work splits over the pool.
#include <cstdint>
#include <cstring>
#include <utility>

#include "ops/operand_walk.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zoltra::ops {

class ViewWalk {
 public:
  static constexpr int kMaxDims = static_cast<int>(OperandWalk<1>::kMaxDims);

  ViewWalk(const char* data, int ndim, const std::int64_t* shape, const std::int64_t* strides) noexcept
      : data_(data), walk_(static_cast<std::uint64_t>(ndim), shape, {strides}) {}

  const char* data() const noexcept { return data_; }
  std::uint64_t size() const noexcept { return walk_.count(); }
  // The same walk from another first element (outputs of an axis reduction).
  ViewWalk at(const char* data) const noexcept {
    ViewWalk w = *this;
    w.data_ = data;
    return w;
  }
  // The same elements in the order they lie in memory, for reductions that
  // no order changes: steps made positive, the longest outermost.
  ViewWalk in_memory_order() const noexcept {
    std::int64_t shape[kMaxDims], strides[kMaxDims];
    const char* data = data_;
    for (int d = 0; d < dims(); ++d) {
      shape[d] = static_cast<std::int64_t>(extent(d));
      strides[d] = stride(d);
      if (strides[d] < 0) {
        data += (shape[d] - 1) * strides[d];
        strides[d] = -strides[d];
      }
      for (int e = d; e > 0 && strides[e] > strides[e - 1]; --e) {
        std::swap(strides[e], strides[e - 1]);
        std::swap(shape[e], shape[e - 1]);
      }
    }
    return ViewWalk(data, dims(), shape, strides);
  }

  // The elements lie side by side in row-major order from data().
  bool contiguous() const noexcept { return dims() == 0 || (dims() == 1 && stride(0) == 4); }
  // Extents of 1 and 0 are dropped, and neighbours that step through memory
  // as one dimension merged, so a C-ordered view has at most one.
  int dims() const noexcept { return static_cast<int>(walk_.dims()); }
  std::uint64_t extent(int d) const noexcept { return walk_.dim(static_cast<std::size_t>(d)).extent; }
  std::int64_t stride(int d) const noexcept { return walk_.dim(static_cast<std::size_t>(d)).stride[0]; }

  // Calls run(address, byte stride, length) for the positions [first,
  // first + count) in row-major order, one call per piece of the innermost
  // dimension; a view of no dimension has a step of one element.
  template <class Run>
  void runs(std::uint64_t first, std::uint64_t count, Run&& run) const {
    if (dims() == 0) {
      if (count != 0) run(data_, std::int64_t{4}, count);
      return;
    }
    const char* const data = data_;
    walk_.runs(first, count, [data, &run](OperandWalk<1>::Offsets at, OperandWalk<1>::Offsets stride,
                                          std::uint64_t n) { run(data + at[0], stride[0], n); });
  }

  // Copies the positions [first, first + count) in row-major order to out.
  void gather(std::uint64_t first, std::uint64_t count, float* out) const {
    runs(first, count, [&out](const char* p, std::int64_t stride, std::uint64_t length) {
      float* const o = out;  // a local: stores through it cannot move it
      out += length;
      if (stride == 4) return static_cast<void>(std::memcpy(o, p, length * 4));
      std::uint64_t i = 0;
#if defined(__x86_64__)
      if (stride == 8) {
        // Every second float, four at a time; the last load's extra float lies
        // before the next element, so inside the buffer.
        for (; i + 4 < length; i += 4, p += 32) {
          const __m128 low = _mm_loadu_ps(reinterpret_cast<const float*>(p));
          const __m128 high = _mm_loadu_ps(reinterpret_cast<const float*>(p + 16));
          _mm_storeu_ps(o + i, _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
        }
      }
#endif
      for (; i < length; ++i, p += stride) std::memcpy(o + i, p, 4);
    });
  }

 private:
  const char* data_;
  OperandWalk<1> walk_;
};

}  // namespace zoltra::ops
