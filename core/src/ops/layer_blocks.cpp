#include "ops/layer_blocks.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <cstring>

namespace zoltra::ops {

namespace {

constexpr std::uint64_t kBandRows = 16;  // one cache line of a column
// Bands of rows up to 4,096 columns (256 KiB, which L2 holds), their rows
// one cache line more apart than that: rows 4 KiB apart would alias the
// columns' loads.
constexpr std::uint64_t kBandColumns = 4096;
constexpr std::uint64_t kSkew = 16;
// Columns ahead whose lines are asked for: the loads are a page apart, where
// no hardware prefetcher looks.
constexpr std::uint64_t kAhead = 16;

}  // namespace

BlockReader::BlockReader(const ViewWalk& x) noexcept : x_(x) {
  banded_ = x.dims() == 2 && x.stride(0) == 4 && x.stride(1) != 4 && x.extent(1) <= kBandColumns;
}

const float* BlockReader::block(std::uint64_t b, std::uint32_t length) {
  const std::uint64_t first = b * kLayerBlock;
  if (x_.contiguous()) return reinterpret_cast<const float*>(x_.data()) + first;
  if (!banded_) {
    x_.gather(first, length, buffer_);
    return buffer_;
  }
  const std::uint64_t columns = x_.extent(1);
  const std::uint64_t last_row = (first + length - 1) / columns;
  const std::uint64_t pitch = columns + kSkew;
  if (first / columns >= band_first_ && last_row < band_first_ + band_rows_ && first / columns == last_row) {
    return band_.get() + (first / columns - band_first_) * pitch + first % columns;
  }
  float* out = buffer_;
  for (std::uint64_t position = first, left = length; left > 0;) {
    const std::uint64_t row = position / columns, column = position % columns;
    const std::uint64_t n = columns - column < left ? columns - column : left;
    if (row < band_first_ || row >= band_first_ + band_rows_) load_band(row);
    std::memcpy(out, band_.get() + (row - band_first_) * pitch + column, n * 4);
    out += n;
    position += n;
    left -= n;
  }
  return buffer_;
}

void BlockReader::load_band(std::uint64_t row) {
  if (!band_) band_.reset(new float[kBandRows * (kBandColumns + kSkew)]);
  const std::uint64_t columns = x_.extent(1), rows = x_.extent(0), pitch = columns + kSkew;
  band_first_ = row - row % kBandRows;
  band_rows_ = rows - band_first_ < kBandRows ? rows - band_first_ : kBandRows;
  const std::int64_t step = x_.stride(1);
  const char* top = x_.data() + band_first_ * 4;  // rows are 4 bytes apart
  float* band = band_.get();
  std::uint64_t c = 0;
#if defined(__x86_64__)  // SSE is in every x86-64; other builds gather by columns
  if (band_rows_ == kBandRows) {
    for (; c + 4 <= columns; c += 4) {
      const char* column = top + static_cast<std::int64_t>(c) * step;
      if (c + kAhead + 4 <= columns) {
        for (std::int64_t k = 0; k < 4; ++k)
          _mm_prefetch(column + (static_cast<std::int64_t>(kAhead) + k) * step, _MM_HINT_T0);
      }
      for (std::uint64_t r = 0; r < kBandRows; r += 4) {
        __m128 v0 = _mm_loadu_ps(reinterpret_cast<const float*>(column + 4 * r));
        __m128 v1 = _mm_loadu_ps(reinterpret_cast<const float*>(column + step + 4 * r));
        __m128 v2 = _mm_loadu_ps(reinterpret_cast<const float*>(column + 2 * step + 4 * r));
        __m128 v3 = _mm_loadu_ps(reinterpret_cast<const float*>(column + 3 * step + 4 * r));
        _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
        _mm_storeu_ps(band + r * pitch + c, v0);
        _mm_storeu_ps(band + (r + 1) * pitch + c, v1);
        _mm_storeu_ps(band + (r + 2) * pitch + c, v2);
        _mm_storeu_ps(band + (r + 3) * pitch + c, v3);
      }
    }
  }
#endif
  for (; c < columns; ++c) {
    const char* column = top + static_cast<std::int64_t>(c) * step;
    for (std::uint64_t r = 0; r < band_rows_; ++r) std::memcpy(band + r * pitch + c, column + 4 * r, 4);
  }
}

}  // namespace zoltra::ops
