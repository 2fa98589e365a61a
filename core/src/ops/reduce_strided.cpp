// Strided reductions: an odometer walk over a view given by shape and byte
// strides, folding every visited float32 value in row-major order of the shape.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "ops/reduce.hpp"

namespace zoltra::ops {
namespace {

// One dimension of the walk. Offsets are byte offsets kept modulo 2^64, so
// sums and products wrap like signed 64-bit arithmetic without overflow UB.
struct Dim {
  std::uint64_t extent;  // >= 2 after compaction
  std::uint64_t stride;  // bytes, two's complement
};

// Dimensions whose extent is 1 or negative are visited once at index 0 and add
// nothing to the offset, so they are dropped. Adjacent dimensions that step
// through memory as one longer dimension are merged: the offsets they produce
// are the same modulo 2^64, in the same order. Returns the kept count.
std::uint64_t compact_dims(const std::int64_t* shape, std::uint64_t ndim, const std::int64_t* strides,
                           std::uint64_t nstrides, Dim* out) noexcept {
  std::uint64_t kept = 0;
  for (std::uint64_t d = 0; d < ndim; ++d) {
    if (shape[d] <= 1) continue;
    Dim dim{static_cast<std::uint64_t>(shape[d]), d < nstrides ? static_cast<std::uint64_t>(strides[d]) : 0};
    if (kept > 0) {
      Dim& outer = out[kept - 1];
      // The merged extent must stay a plain positive count; this also keeps
      // the walk's index below 2^63.
      const bool fits = outer.extent <= (std::uint64_t{1} << 62) / dim.extent;
      if (fits && outer.stride == dim.stride * dim.extent) {
        outer.extent *= dim.extent;
        outer.stride = dim.stride;
        continue;
      }
    }
    out[kept++] = dim;
  }
  return kept;
}

// The element for a byte offset: index offset / 4, rounded toward zero.
inline float load_at(const float* data, std::uint64_t offset) noexcept {
  const std::int64_t index = static_cast<std::int64_t>(offset) / 4;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(data) + static_cast<std::uint64_t>(index) * 4u;
  float v;
  std::memcpy(&v, reinterpret_cast<const void*>(address), sizeof v);
  return v;
}

struct SumFold {
  static float apply(float r, float v) noexcept { return r + v; }
};
struct MaxFold {
  static float apply(float r, float v) noexcept { return v > r ? v : r; }
};
struct MinFold {
  static float apply(float r, float v) noexcept { return v < r ? v : r; }
};

// Folds one run of the innermost dimension into r. When every offset of the
// run is a multiple of 4 the element address is data + offset, so a running
// address replaces the per-element division; the fold chain stays the same.
template <class Fold>
inline float fold_run(const float* data, std::uint64_t base, std::uint64_t stride, std::uint64_t count,
                      float r) noexcept {
  if (((base | stride) & 3u) == 0) {
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(data) + base;
    for (std::uint64_t i = 0; i < count; ++i) {
      float v;
      std::memcpy(&v, reinterpret_cast<const void*>(address), sizeof v);
      r = Fold::apply(r, v);
      address += stride;
    }
    return r;
  }
  std::uint64_t offset = base;
  for (std::uint64_t i = 0; i < count; ++i) {
    r = Fold::apply(r, load_at(data, offset));
    offset += stride;
  }
  return r;
}

template <class Fold>
float walk(const float* data, const std::int64_t* shape, std::uint64_t ndim, const std::int64_t* strides,
           std::uint64_t nstrides, float r) noexcept {
  constexpr std::uint64_t kInline = 32;
  Dim inline_dims[kInline];
  std::uint64_t inline_index[kInline];
  std::unique_ptr<Dim[]> heap_dims;
  std::unique_ptr<std::uint64_t[]> heap_index;
  Dim* dims = inline_dims;
  std::uint64_t* index = inline_index;
  if (ndim > kInline) {
    heap_dims.reset(new Dim[ndim]);
    heap_index.reset(new std::uint64_t[ndim]);
    dims = heap_dims.get();
    index = heap_index.get();
  }

  const std::uint64_t kept = compact_dims(shape, ndim, strides, nstrides, dims);
  if (kept == 0) return Fold::apply(r, load_at(data, 0));

  const Dim inner = dims[kept - 1];
  const std::uint64_t outer = kept - 1;
  for (std::uint64_t d = 0; d < outer; ++d) index[d] = 0;

  std::uint64_t base = 0;
  for (;;) {
    r = fold_run<Fold>(data, base, inner.stride, inner.extent, r);
    // Odometer over the outer dimensions, last one fastest.
    std::uint64_t d = outer;
    for (;;) {
      if (d == 0) return r;
      --d;
      base += dims[d].stride;
      if (++index[d] < dims[d].extent) break;
      base -= dims[d].stride * dims[d].extent;
      index[d] = 0;
    }
  }
}

bool has_zero_extent(const std::int64_t* shape, std::uint64_t ndim) noexcept {
  for (std::uint64_t d = 0; d < ndim; ++d)
    if (shape[d] == 0) return true;
  return false;
}

float quiet_nan() noexcept {
  const std::uint32_t bits = 0x7FC00000u;
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

}  // namespace

float sum_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0 || has_zero_extent(shape, ndim)) return 0.0f;
  return walk<SumFold>(data, shape, ndim, strides, nstrides, 0.0f);
}

// The first visited element is always data[0] (every index 0); starting from it
// and folding it once more leaves it unchanged, NaN included.
float max_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0) return quiet_nan();
  if (has_zero_extent(shape, ndim)) return -std::numeric_limits<float>::infinity();
  return walk<MaxFold>(data, shape, ndim, strides, nstrides, load_at(data, 0));
}

float min_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0) return quiet_nan();
  if (has_zero_extent(shape, ndim)) return std::numeric_limits<float>::infinity();
  return walk<MinFold>(data, shape, ndim, strides, nstrides, load_at(data, 0));
}

}  // namespace zoltra::ops
