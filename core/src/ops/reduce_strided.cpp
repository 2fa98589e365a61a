// Strided reductions: an odometer walk over a view given by shape and byte
// strides, folding every visited float32 value in row-major order of the shape.
#include <xmmintrin.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

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
constexpr std::uint64_t kBandFloats = 131072;
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

// A full band of adjacent rows (a transposed matrix) holds columns of 16
// consecutive floats: columns j .. j + 15 are then one 16 x 16 tile, moved
// into the buffer's rows with 4 x 4 transposes in SSE registers, which every
// x86-64 processor has.
inline void gather_tile(const float* data, std::uint64_t start, const Dim& inner, std::uint64_t j,
                        std::uint64_t pitch, float* buffer) noexcept {
  const std::uintptr_t origin = reinterpret_cast<std::uintptr_t>(data) + start + j * inner.stride;
  for (std::uint64_t p = 0; p < 16; p += 4) {
    const std::uintptr_t column = origin + p * inner.stride;
    for (std::uint64_t q = 0; q < 16; q += 4) {
      __m128 c0 = _mm_loadu_ps(reinterpret_cast<const float*>(column + 4 * q));
      __m128 c1 = _mm_loadu_ps(reinterpret_cast<const float*>(column + inner.stride + 4 * q));
      __m128 c2 = _mm_loadu_ps(reinterpret_cast<const float*>(column + 2 * inner.stride + 4 * q));
      __m128 c3 = _mm_loadu_ps(reinterpret_cast<const float*>(column + 3 * inner.stride + 4 * q));
      _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
      _mm_storeu_ps(buffer + q * pitch + j + p, c0);
      _mm_storeu_ps(buffer + (q + 1) * pitch + j + p, c1);
      _mm_storeu_ps(buffer + (q + 2) * pitch + j + p, c2);
      _mm_storeu_ps(buffer + (q + 3) * pitch + j + p, c3);
    }
  }
}

// Columns lie a page or more apart, where the hardware prefetchers do not
// follow, so the gather asks for the columns this far ahead in gather order
// (the next band's first columns after the current band's last).
constexpr std::uint64_t kPrefetchColumns = 32;

inline void prefetch_column(const float* data, std::uint64_t base, const Dim& row, const Dim& inner,
                            std::uint64_t capacity, std::uint64_t first, std::uint64_t j) noexcept {
  j += kPrefetchColumns;
  while (j >= inner.extent) {
    j -= inner.extent;
    first += capacity;
  }
  if (first >= row.extent) return;
  const std::uint64_t rows = row.extent - first < capacity ? row.extent - first : capacity;
  std::uintptr_t low = reinterpret_cast<std::uintptr_t>(data) + base + first * row.stride + j * inner.stride;
  std::uintptr_t high = low + (rows - 1) * row.stride;
  if (static_cast<std::int64_t>(row.stride) < 0) std::swap(low, high);
  for (std::uintptr_t line = low & ~std::uintptr_t{63}; line <= high; line += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(line));
}

// The same for a tile: its 16 columns of one 64-byte run each (two lines
// when the run is not line-aligned).
inline void prefetch_tile(const float* data, std::uint64_t base, const Dim& row, const Dim& inner,
                          std::uint64_t rows, std::uint64_t first, std::uint64_t j) noexcept {
  j += kPrefetchColumns;
  while (j >= inner.extent) {
    j -= inner.extent;
    first += rows;
  }
  if (first >= row.extent) return;
  std::uintptr_t column = reinterpret_cast<std::uintptr_t>(data) + base + first * 4 + j * inner.stride;
  const std::uint64_t columns = inner.extent - j < 16 ? inner.extent - j : 16;
  for (std::uint64_t c = 0; c < columns; ++c, column += inner.stride)
    for (std::uint64_t line = 0; line <= rows * 4; line += 64) __builtin_prefetch(reinterpret_cast<const void*>(column + line));
}

// Gathers columns [from, to) of the band whose first row is `first`.
inline void gather_columns(const float* data, std::uint64_t base, const Dim& row, const Dim& inner, bool aligned,
                           std::uint64_t capacity, std::uint64_t first, std::uint64_t from, std::uint64_t to,
                           std::uint64_t pitch, float* buffer) noexcept {
  const std::uint64_t rows = row.extent - first < capacity ? row.extent - first : capacity;
  const std::uint64_t start = base + first * row.stride;
  std::uint64_t j = from;
  if (aligned && row.stride == 4 && rows == capacity && rows % 16 == 0) {
    for (; to - j >= 16; j += 16) {
      prefetch_tile(data, base, row, inner, rows, first, j);
      for (std::uint64_t b = 0; b < rows; b += 16) gather_tile(data, start + b * 4, inner, j, pitch, buffer + b * pitch);
    }
  }
  for (; j < to; ++j) {
    prefetch_column(data, base, row, inner, capacity, first, j);
    gather_column(data, start, row, inner, aligned, rows, j, pitch, buffer);
  }
}

// Folds all rows of the band dimension (at byte offset `base`) in the walk's
// order. Two buffers: while one band is folded, the next one is gathered, its
// columns in step with the folded values (a tile of 16 columns per 16 x rows
// values), so that the gather runs in the shadow of the chain of dependent
// folds; bigger pieces would no longer fit the out-of-order window.
constexpr std::uint64_t kFoldStep = 256;

template <class Fold>
float fold_band(const float* data, std::uint64_t base, const Dim& row, const Dim& inner, float* buffers,
                std::uint64_t capacity, float r) noexcept {
  const std::uint64_t width = inner.extent;
  const std::uint64_t pitch = band_pitch(width);
  const bool aligned = ((base | row.stride | inner.stride) & 3u) == 0;
  float* current = buffers;
  float* next = buffers + capacity * pitch;
  gather_columns(data, base, row, inner, aligned, capacity, 0, 0, width, pitch, current);
  for (std::uint64_t first = 0; first < row.extent; first += capacity) {
    const std::uint64_t rows = row.extent - first < capacity ? row.extent - first : capacity;
    const bool more = first + capacity < row.extent;
    std::uint64_t folded = 0, gathered = 0;
    for (std::uint64_t b = 0; b < rows; ++b) {
      for (std::uint64_t j = 0; j < width; j += kFoldStep) {
        const std::uint64_t n = width - j < kFoldStep ? width - j : kFoldStep;
        r = fold_run<Fold>(current, (b * pitch + j) * 4, 4, n, r);
        folded += n;
        if (!more) continue;
        const std::uint64_t due = folded == rows * width ? width : folded / rows / 16 * 16;
        if (due > gathered) {
          gather_columns(data, base, row, inner, aligned, capacity, first + capacity, gathered, due, pitch, next);
          gathered = due;
        }
      }
    }
    float* const done = current;
    current = next;
    next = done;
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
