// Strided reductions: an odometer walk over a view given by shape and byte
// strides, folding every visited float32 value in row-major order of the shape.
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "ops/fold_steps.hpp"
#include "ops/reduce.hpp"
#include "ops/strided_extremum.hpp"

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
// line or more apart but the indices of some outer dimension are close (a
// transposed or permuted view), the walk copies a band of that dimension's
// rows into a buffer, reading memory in its own order, and folds the buffer
// in the walk's order. A row is everything inside the band dimension, taken
// in walk order: its columns. Only the loads move; which values are folded,
// and in what order, is unchanged. Without it every element of such a view
// costs a cache and a TLB miss.
// A band holds at most strided_band_floats() floats, and 16 rows: 16 adjacent
// float rows make one 64-byte run per column.
constexpr std::uint64_t kBandRows = 16;

// Buffer rows start one cache line past a multiple of 16 floats, so that the
// rows of a band do not all fall into the same cache sets.
std::uint64_t band_pitch(std::uint64_t width) noexcept { return (width + 15) / 16 * 16 + 16; }

// The band dimension is the innermost one whose rows lie less than a cache
// line apart, if bands of at least two of its rows fit. Returns the rows per
// band (0: no banding) and sets `band` and `width` (columns per row).
std::uint64_t choose_band(const Dim* dims, std::uint64_t kept, std::uint64_t& band, std::uint64_t& width) noexcept {
  if (kept < 2 || magnitude(dims[kept - 1].stride) < 64) return 0;
  static const std::uint64_t kBandFloats = strided_band_floats(backend::cache_geometry());
  width = dims[kept - 1].extent;
  for (std::uint64_t d = kept - 1; d-- > 0;) {
    if (magnitude(dims[d].stride) >= 64) {
      if (dims[d].extent > kBandFloats / 2 / width) return 0;
      width *= dims[d].extent;
      continue;
    }
    if (width < 16) return 0;
    std::uint64_t rows = kBandFloats / band_pitch(width);
    if (rows > kBandRows) rows = kBandRows;
    band = d;
    // The first band is gathered before anything is folded; with fewer than
    // two bands nothing would hide the gather.
    return rows >= 2 && 2 * rows <= dims[d].extent ? rows : 0;
  }
  return 0;
}

// Byte offsets of a row's columns from the row's start, in walk order.
void column_offsets(const Dim* dims, std::uint64_t count, std::uint64_t* out) noexcept {
  out[0] = 0;
  std::uint64_t n = 1;
  for (std::uint64_t d = count; d-- > 0;) {  // innermost first: column c * n + i
    for (std::uint64_t c = 1; c < dims[d].extent; ++c)
      for (std::uint64_t i = 0; i < n; ++i) out[c * n + i] = out[i] + c * dims[d].stride;
    n *= dims[d].extent;
  }
}

#if defined(__x86_64__)
// A full band of rows one or two floats apart (a transposed matrix, or one
// with every second row, the rows in either order) holds short runs per
// column, so 4 columns by 4 rows are one 4 x 4 transpose in SSE registers,
// which every x86-64 processor has (other builds gather by columns): 4 loads (8 and 4 shuffles for rows two
// floats apart) and 4 stores where the scalar gather needs 16 of each. With
// descending rows each load holds rows q + 3 down to q, so after the
// transpose the vectors are the rows in reverse.
// Rows two floats apart are loaded as p[0..7], whose last float lies past the
// highest row, p + 6, but before the next row of the view; where no row
// follows (kEdge), as p[0..3] and p[3..6], which reads nothing past it, but
// straddles more cache lines.
template <int kStep, bool kEdge>  // kStep: floats from one row to the next: 1, 2, -1 or -2
__attribute__((always_inline)) inline __m128 four_rows(std::uintptr_t row_q) noexcept {
  constexpr std::intptr_t lowest = kStep > 0 ? 0 : 12 * kStep;  // bytes from row q to the lowest row
  const auto* p = reinterpret_cast<const float*>(row_q + lowest);
  if constexpr (kStep == 1 || kStep == -1) return _mm_loadu_ps(p);
  if constexpr (kEdge) return _mm_shuffle_ps(_mm_loadu_ps(p), _mm_loadu_ps(p + 3), _MM_SHUFFLE(3, 1, 2, 0));
  return _mm_shuffle_ps(_mm_loadu_ps(p), _mm_loadu_ps(p + 4), _MM_SHUFFLE(2, 0, 2, 0));
}

template <int kStep, bool kEdge>
__attribute__((always_inline)) inline void gather_block(const float* data, std::uint64_t start,
                                                        const std::uint64_t* columns, std::uint64_t j,
                                                        std::uint64_t q, std::uint64_t pitch,
                                                        float* buffer) noexcept {
  constexpr bool descending = kStep < 0;
  const std::uintptr_t rows =
      reinterpret_cast<std::uintptr_t>(data) + start + q * static_cast<std::uintptr_t>(4 * kStep);
  __m128 c0 = four_rows<kStep, kEdge>(rows + columns[j]);
  __m128 c1 = four_rows<kStep, kEdge>(rows + columns[j + 1]);
  __m128 c2 = four_rows<kStep, kEdge>(rows + columns[j + 2]);
  __m128 c3 = four_rows<kStep, kEdge>(rows + columns[j + 3]);
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  float* const to = buffer + q * pitch + j;
  _mm_storeu_ps(to, descending ? c3 : c0);
  _mm_storeu_ps(to + pitch, descending ? c2 : c1);
  _mm_storeu_ps(to + 2 * pitch, descending ? c1 : c2);
  _mm_storeu_ps(to + 3 * pitch, descending ? c0 : c3);
}

constexpr bool kSseBlocks = true;
#else
constexpr bool kSseBlocks = false;
#endif

// Columns lie a page or more apart, where the hardware prefetchers do not
// follow, so the gather asks for columns this far ahead in gather order (the
// next band's first columns after the current band's last).
constexpr std::uint64_t kPrefetchColumns = 32;

// Gathers one band into a buffer in small units (a 4 x 4 block of a full band
// of adjacent rows, otherwise a column), so that the fold can slip a few of
// them between every few of its dependent folds: in bigger pieces the gather
// would wait behind the chain for room in the out-of-order scheduler.
class BandGather {
 public:
  BandGather(const float* data, std::uint64_t base, const Dim& row, const std::uint64_t* columns,
             std::uint64_t width, bool aligned, std::uint64_t capacity, std::uint64_t pitch) noexcept
      : data_(data), base_(base), row_(row), columns_(columns), width_(width), capacity_(capacity), pitch_(pitch),
        aligned_(aligned && (base & 3u) == 0) {}

  // Starts the band of `rows` rows from row `first` (fewer at the end); it
  // has one unit per column.
  void start(std::uint64_t first, std::uint64_t rows, float* buffer) noexcept {
    first_ = first;
    buffer_ = buffer;
    rows_ = row_.extent - first < rows ? row_.extent - first : rows;
    offset_ = base_ + first * row_.stride;
    // A block per 4 x 4 values: as many blocks as the columns they cover.
    const auto step = static_cast<std::int64_t>(row_.stride) / 4;
    step_ = static_cast<int>(step);  // meaningful only together with blocks_
    const bool close = step == 1 || step == 2 || step == -1 || step == -2;
    blocks_ = kSseBlocks && aligned_ && close && rows_ == 16 ? width_ / 16 * 16 : 0;
    if (blocks_ == 0) step_ = 0;
    // The band holds the view's highest row in memory: its last rows
    // ascending, its first descending.
    edge_ = step > 0 ? first + rows_ == row_.extent : first == 0;
    done_ = 0;
  }

  // Inlined into the fold: a call would move the chain's running value
  // through memory and lengthen the chain.
  __attribute__((always_inline)) void run_to(std::uint64_t unit) noexcept {
    if (done_ >= unit) return;
    switch (step_) {
      case 1: return run_to<1>(unit);
      case 2: return run_to<2>(unit);
      case -1: return run_to<-1>(unit);
      case -2: return run_to<-2>(unit);
      default: return run_to<0>(unit);
    }
  }

 private:
  // kStep: floats from one row to the next when the band is gathered in
  // blocks, 0 when it is gathered by columns.
  template <int kStep>
  __attribute__((always_inline)) void run_to(std::uint64_t unit) noexcept {
    for (; done_ < unit; ++done_) {
      if (kStep != 0 && done_ < blocks_) {
        // Block k: columns 4 * (k / 4) to 4 * (k / 4) + 3, rows 4 * (k % 4) to 4 * (k % 4) + 3.
        if (done_ % 16 == 0) prefetch(done_, 16);
#if defined(__x86_64__)
        if constexpr (kStep != 0) {
          if (edge_)
            gather_block<kStep, true>(data_, offset_, columns_, done_ / 4 * 4, done_ % 4 * 4, pitch_, buffer_);
          else
            gather_block<kStep, false>(data_, offset_, columns_, done_ / 4 * 4, done_ % 4 * 4, pitch_, buffer_);
        }
#endif
      } else {
        if ((done_ - blocks_) % 16 == 0) prefetch(done_, 16);
        gather_column(done_);
      }
    }
  }

  // Copies column j into buffer[b * pitch + j].
  void gather_column(std::uint64_t j) noexcept {
    const std::uint64_t offset = offset_ + columns_[j];
    if (!aligned_) {
      for (std::uint64_t b = 0; b < rows_; ++b) buffer_[b * pitch_ + j] = load_at(data_, offset + b * row_.stride);
      return;
    }
    std::uintptr_t address = reinterpret_cast<std::uintptr_t>(data_) + offset;
    for (std::uint64_t b = 0; b < rows_; ++b, address += row_.stride)
      std::memcpy(&buffer_[b * pitch_ + j], reinterpret_cast<const void*>(address), sizeof(float));
  }

  // Prefetches `count` columns from kPrefetchColumns past column j, at most
  // to the end of the band they fall in (this band or the one after it, taken
  // as a full band).
  void prefetch(std::uint64_t j, std::uint64_t count) const noexcept {
    std::uint64_t first = first_;
    j += kPrefetchColumns;
    if (j >= width_) {
      j -= width_;
      first += rows_;
      if (j >= width_) return;
    }
    if (first >= row_.extent) return;
    const std::uint64_t rows = row_.extent - first < capacity_ ? row_.extent - first : capacity_;
    if (count > width_ - j) count = width_ - j;
    std::uintptr_t low = reinterpret_cast<std::uintptr_t>(data_) + base_ + first * row_.stride;
    std::uintptr_t high = low + (rows - 1) * row_.stride;
    if (static_cast<std::int64_t>(row_.stride) < 0) std::swap(low, high);
    // Into L2 only: L2 prefetches do not wait for the few L1 fill buffers,
    // so many more columns are in flight.
    for (std::uint64_t c = j; c < j + count; ++c)
      for (std::uintptr_t line = (low + columns_[c]) & ~std::uintptr_t{63}; line <= high + columns_[c]; line += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 2);
  }

  const float* data_;
  std::uint64_t base_;
  Dim row_;
  const std::uint64_t* columns_;
  std::uint64_t width_, capacity_, pitch_;
  bool aligned_;
  bool edge_ = false;
  int step_ = 0;
  std::uint64_t first_ = 0, rows_ = 0, offset_ = 0, blocks_ = 0, done_ = 0;
  float* buffer_ = nullptr;
};

// Rows of the first band: as many as bring the next band to the start of a
// cache line, so that every later band reads whole lines (a band of rows one
// float apart then reads one line per column, not two). Only with many bands:
// the first band, smaller, is gathered by columns.
std::uint64_t lead_rows(const float* data, std::uint64_t base, const Dim& row, std::uint64_t capacity) noexcept {
  if (row.extent < 8 * capacity) return capacity;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data) + base;
  // Descending rows: the end of the first row is the band's upper edge.
  const std::uintptr_t edge = static_cast<std::int64_t>(row.stride) < 0 ? start + 4 : start;
  for (std::uint64_t k = 1; k < capacity && k < row.extent; ++k)
    if ((edge + k * row.stride) % 64 == 0) return k;
  return capacity;
}

// The banded walk's state across calls of fold_band: two buffers, and
// whether `current` already holds the first band of the next call.
struct Bands {
  Dim row;
  const std::uint64_t* columns;
  std::uint64_t width, capacity;
  bool aligned;
  float* current;
  float* next;
  bool ready = false;
};

// Folds all rows of the band dimension (at byte offset `base`) in the walk's
// order. While one band is folded, the next one is gathered in step with the
// folded values, so that the gather runs in the shadow of the chain of
// dependent folds; after the last band, the first band at byte offset
// `following` (the walk's next position), if there is one.
constexpr std::uint64_t kFoldStep = 32;

// Kept out of line: inlined, it would crowd the registers of walk's plain
// runs, whose chain is short enough for that to show.
template <class Fold>
__attribute__((noinline)) float fold_band(const float* data, std::uint64_t base, bool has_following,
                                          std::uint64_t following, Bands& bands, float r) noexcept {
  const Dim row = bands.row;
  const std::uint64_t width = bands.width, capacity = bands.capacity, pitch = band_pitch(width);
  BandGather gather(data, base, row, bands.columns, width, bands.aligned, capacity, pitch);
  std::uint64_t size = lead_rows(data, base, row, capacity);
  float* current = bands.current;
  float* next = bands.next;
  if (!bands.ready) {
    gather.start(0, size, current);
    gather.run_to(width);
  }
  bands.ready = false;
  for (std::uint64_t first = 0, rows; first < row.extent; first += rows) {
    rows = row.extent - first < size ? row.extent - first : size;
    size = capacity;
    const bool more = first + rows < row.extent;
    if (more) {
      gather.start(first + rows, size, next);
    } else if (has_following) {
      gather = BandGather(data, following, row, bands.columns, width, bands.aligned, capacity, pitch);
      gather.start(0, lead_rows(data, following, row, capacity), next);
      bands.ready = true;
    }
    const bool gathering = more || has_following;
    // One unit (a column's worth) of the next band per `rows` folded values.
    std::uint64_t due = 0, credit = 0;
    for (std::uint64_t b = 0; b < rows; ++b) {
      for (std::uint64_t j = 0; j < width; j += kFoldStep) {
        const std::uint64_t n = width - j < kFoldStep ? width - j : kFoldStep;
        r = fold_run<Fold>(current, (b * pitch + j) * 4, 4, n, r);
        for (credit += n; credit >= rows; credit -= rows) ++due;
        if (gathering) gather.run_to(due);
      }
    }
    if (gathering) gather.run_to(width);
    std::swap(current, next);
  }
  bands.current = current;
  bands.next = next;
  return r;
}

// Advances the multi-index of the first `count` dimensions like an odometer,
// moving `base` along; false when it wraps around to all zeros.
__attribute__((always_inline)) inline bool next_index(const Dim* dims, std::uint64_t count, std::uint64_t* index,
                                                      std::uint64_t& base) noexcept {
  for (std::uint64_t d = count; d-- > 0;) {
    base += dims[d].stride;
    if (++index[d] < dims[d].extent) return true;
    base -= dims[d].stride * dims[d].extent;
    index[d] = 0;
  }
  return false;
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
  std::uint64_t band_dim = 0, width = 0;
  std::uint64_t rows = choose_band(dims, kept, band_dim, width);
  std::unique_ptr<float[]> band;
  std::unique_ptr<std::uint64_t[]> columns;
  bool aligned = true;
  if (rows > 0) {
    band.reset(new (std::nothrow) float[2 * rows * band_pitch(width)]);
    columns.reset(new (std::nothrow) std::uint64_t[width]);
    if (!band || !columns) rows = 0;
  }
  if (rows > 0) {
    column_offsets(dims + band_dim + 1, kept - band_dim - 1, columns.get());
    for (std::uint64_t d = band_dim; d < kept; ++d) aligned &= (dims[d].stride & 3u) == 0;
  }
  // The odometer turns the dimensions outside the unit folded at once: one
  // run of the innermost dimension, or a whole band.
  const std::uint64_t outer = rows > 0 ? band_dim : kept - 1;
  for (std::uint64_t d = 0; d < outer; ++d) index[d] = 0;

  if (rows == 0) {
    for (std::uint64_t base = 0;;) {
      r = fold_run<Fold>(data, base, inner.stride, inner.extent, r);
      if (!next_index(dims, outer, index, base)) return r;
    }
  }
  // The next position is known before the band is folded, so that its first
  // band is gathered in the shadow of this one's last.
  Bands bands{dims[band_dim], columns.get(), width, rows, aligned, band.get(), band.get() + rows * band_pitch(width)};
  for (std::uint64_t base = 0, following = 0;; base = following) {
    const bool more = next_index(dims, outer, index, following);
    r = fold_band<Fold>(data, base, more, following, bands, r);
    if (!more) return r;
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

// 16 rows of up to 8,176 columns (512 KiB), so that the two bands, the one
// folded and the one gathered, take at most a quarter of the last-level
// cache. They need not fit in L2: on a 512 KiB L2 with a 32 MiB L3, bands of
// a quarter of L2 made a permuted 64^3 cube 1.2 to 1.4 times slower, and
// half or twice these bands no faster.
std::uint64_t strided_band_floats(const backend::CacheGeometry& geometry) noexcept {
  const std::uint64_t floats = geometry.llc_bytes / 8 / sizeof(float);
  return floats < 4096 ? 4096 : floats > 131072 ? 131072 : floats;
}

float sum_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0 || has_zero_extent(shape, ndim)) return 0.0f;
  return walk<SumStep>(data, shape, ndim, strides, nstrides, 0.0f);
}

// The first visited element is always data[0] (every index 0); starting from it
// and folding it once more leaves it unchanged, NaN included.
float max_f32_strided_sequential(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                                 const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0) return quiet_nan();
  if (has_zero_extent(shape, ndim)) return -std::numeric_limits<float>::infinity();
  return walk<MaxStep>(data, shape, ndim, strides, nstrides, load_at(data, 0));
}

float min_f32_strided_sequential(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                                 const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0) return quiet_nan();
  if (has_zero_extent(shape, ndim)) return std::numeric_limits<float>::infinity();
  return walk<MinStep>(data, shape, ndim, strides, nstrides, load_at(data, 0));
}

}  // namespace zoltra::ops
