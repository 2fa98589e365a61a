// Strided reductions: an odometer walk over a view given by shape and byte
// strides, folding every visited float32 value in row-major order of the shape.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

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

std::uint64_t magnitude(std::uint64_t stride) noexcept {
  return static_cast<std::int64_t>(stride) < 0 ? 0 - stride : stride;
}

// Banding: when consecutive elements of the innermost dimension lie a cache
// line or more apart but neighbouring rows of the next dimension are close
// (a transposed view), the walk copies a band of rows into a buffer, reading
// memory in its own order, and folds the buffer in the walk's order. Only the
// loads move; which values are folded, and in what order, is unchanged.
// Without it every element of such a view costs a cache and a TLB miss.
constexpr std::uint64_t kBandFloats = 65536;
constexpr std::uint64_t kBandRows = 16;

// Buffer rows start one cache line past a multiple of 16 floats, so that the
// rows of a band do not all fall into the same cache sets.
std::uint64_t band_pitch(std::uint64_t width) noexcept { return (width + 15) / 16 * 16 + 16; }

std::uint64_t band_rows(const Dim& row, const Dim& inner) noexcept {
  if (magnitude(inner.stride) < 64 || magnitude(row.stride) >= 64 || inner.extent < 16) return 0;
  std::uint64_t rows = kBandFloats / band_pitch(inner.extent);
  if (rows > kBandRows) rows = kBandRows;
  if (rows > row.extent) rows = row.extent;
  return rows >= 2 ? rows : 0;
}

// Copies column j of `rows` rows, starting at byte offset `start`, into
// buffer[b * pitch + j].
inline void gather_column(const float* data, std::uint64_t start, const Dim& row, const Dim& inner, bool aligned,
                          std::uint64_t rows, std::uint64_t j, std::uint64_t pitch, float* buffer) noexcept {
  const std::uint64_t offset = start + j * inner.stride;
  if (aligned) {
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(data) + offset;
    for (std::uint64_t b = 0; b < rows; ++b, address += row.stride)
      std::memcpy(&buffer[b * pitch + j], reinterpret_cast<const void*>(address), sizeof(float));
  } else {
    for (std::uint64_t b = 0; b < rows; ++b) buffer[b * pitch + j] = load_at(data, offset + b * row.stride);
  }
}

// Folds all rows of the band dimension (at byte offset `base`) in the walk's
// order. Two buffers: while one band is folded, the next one is gathered, a
// column of it per `rows` folded values, so that its loads run in the shadow
// of the chain of dependent folds.
template <class Fold>
float fold_band(const float* data, std::uint64_t base, const Dim& row, const Dim& inner, float* buffers,
                std::uint64_t capacity_rows, float r) noexcept {
  const std::uint64_t width = inner.extent;
  const std::uint64_t pitch = band_pitch(width);
  const bool aligned = ((base | row.stride | inner.stride) & 3u) == 0;
  float* current = buffers;
  float* next = buffers + capacity_rows * pitch;

  std::uint64_t first = 0;
  std::uint64_t rows = row.extent < capacity_rows ? row.extent : capacity_rows;
  for (std::uint64_t j = 0; j < width; ++j) gather_column(data, base, row, inner, aligned, rows, j, pitch, current);
  for (;;) {
    const std::uint64_t next_first = first + rows;
    if (next_first >= row.extent) {
      for (std::uint64_t b = 0; b < rows; ++b) r = fold_run<Fold>(current, b * pitch * 4, 4, width, r);
      return r;
    }
    const std::uint64_t left = row.extent - next_first;
    const std::uint64_t next_rows = left < capacity_rows ? left : capacity_rows;
    const std::uint64_t next_start = base + next_first * row.stride;
    const float* value = current;
    std::uint64_t left_in_row = width;
    for (std::uint64_t j = 0; j < width; ++j) {
      gather_column(data, next_start, row, inner, aligned, next_rows, j, pitch, next);
      for (std::uint64_t t = 0; t < rows; ++t) {
        r = Fold::apply(r, *value++);
        if (--left_in_row == 0) {
          value += pitch - width;
          left_in_row = width;
        }
      }
    }
    float* const done = current;
    current = next;
    next = done;
    first = next_first;
    rows = next_rows;
  }
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
  std::uint64_t rows = kept >= 2 ? band_rows(dims[kept - 2], inner) : 0;
  std::unique_ptr<float[]> band;
  if (rows > 0) {
    band.reset(new (std::nothrow) float[2 * rows * band_pitch(inner.extent)]);
    if (!band) rows = 0;
  }
  // The odometer turns the dimensions outside the unit folded at once: one
  // run of the innermost dimension, or a whole band of runs.
  const std::uint64_t outer = rows > 0 ? kept - 2 : kept - 1;
  for (std::uint64_t d = 0; d < outer; ++d) index[d] = 0;

  std::uint64_t base = 0;
  for (;;) {
    if (rows > 0) r = fold_band<Fold>(data, base, dims[kept - 2], inner, band.get(), rows, r);
    else r = fold_run<Fold>(data, base, inner.stride, inner.extent, r);
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
