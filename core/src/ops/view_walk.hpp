#pragma once
// One walk over an n-d view of 4-byte elements given by shape and byte
// strides: its elements in row-major order, as runs along the innermost
// dimension. Extents of 1 are dropped and neighbours that step through
// memory as one dimension merge, so a C-ordered view is one run. Any range
// of positions can be walked on its own, which is how work splits over the
// pool.
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zoltra::ops {

class ViewWalk {
 public:
  static constexpr int kMaxDims = 64;

  ViewWalk(const char* data, int ndim, const std::int64_t* shape, const std::int64_t* strides) noexcept
      : data_(data) {
    for (int d = 0; d < ndim; ++d) {
      const auto extent = static_cast<std::uint64_t>(shape[d]);
      size_ *= extent;
      if (extent == 1) continue;
      if (ndims_ > 0 && strides_[ndims_ - 1] == strides[d] * static_cast<std::int64_t>(extent)) {
        extents_[ndims_ - 1] *= extent;
        strides_[ndims_ - 1] = strides[d];
        continue;
      }
      extents_[ndims_] = extent;
      strides_[ndims_++] = strides[d];
    }
  }

  const char* data() const noexcept { return data_; }
  std::uint64_t size() const noexcept { return size_; }
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
    for (int d = 0; d < ndims_; ++d) {
      shape[d] = static_cast<std::int64_t>(extents_[d]);
      strides[d] = strides_[d];
      if (strides[d] < 0 && extents_[d] > 0) {
        data += (shape[d] - 1) * strides[d];
        strides[d] = -strides[d];
      }
      for (int e = d; e > 0 && strides[e] > strides[e - 1]; --e) {
        std::swap(strides[e], strides[e - 1]);
        std::swap(shape[e], shape[e - 1]);
      }
    }
    return ViewWalk(data, ndims_, shape, strides);
  }

  // The elements lie side by side in row-major order from data().
  bool contiguous() const noexcept { return ndims_ == 0 || (ndims_ == 1 && strides_[0] == 4); }
  int dims() const noexcept { return ndims_; }
  std::uint64_t extent(int d) const noexcept { return extents_[d]; }
  std::int64_t stride(int d) const noexcept { return strides_[d]; }

  // Calls run(address, byte stride, length) for the positions [first,
  // first + count) in row-major order, one call per piece of the innermost
  // dimension.
  template <class Run>
  void runs(std::uint64_t first, std::uint64_t count, Run&& run) const {
    if (count == 0) return;
    if (ndims_ == 0) return run(data_, std::int64_t{4}, count);
    std::uint64_t index[kMaxDims];
    const char* p = data_;
    std::uint64_t rest = first;
    for (int d = ndims_; d-- > 0;) {
      index[d] = rest % extents_[d];
      rest /= extents_[d];
      p += static_cast<std::int64_t>(index[d]) * strides_[d];
    }
    const int inner = ndims_ - 1;
    while (true) {
      const std::uint64_t left = extents_[inner] - index[inner];
      const std::uint64_t length = left < count ? left : count;
      run(p, strides_[inner], length);
      count -= length;
      if (count == 0) return;
      p -= static_cast<std::int64_t>(index[inner]) * strides_[inner];
      index[inner] = 0;
      for (int d = inner - 1;; --d) {
        p += strides_[d];
        if (++index[d] < extents_[d]) break;
        p -= static_cast<std::int64_t>(extents_[d]) * strides_[d];
        index[d] = 0;
      }
    }
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
  int ndims_ = 0;
  std::uint64_t size_ = 1;
  std::uint64_t extents_[kMaxDims];
  std::int64_t strides_[kMaxDims];
};

}  // namespace zoltra::ops
