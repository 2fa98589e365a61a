#include "ops/layer_blocks.hpp"

#include <cstring>

#include "ops/layer_sum.hpp"

namespace zoltra::ops {

namespace {

// Two cache lines of a column: a column's lines are far from the next
// column's (often a page), so each visit should bring more than one.
constexpr std::uint32_t kBandRows = 32;
// Bands of rows up to 4,096 columns (256 KiB, which L2 holds).
constexpr std::uint64_t kBandColumns = 4096;
// A row that starts a block starts 4 cache lines after the row before it ends:
// rows a page long would otherwise share the L1 set of every store, and a
// gap of one line puts the next block's rows in the sets of the line beside.
constexpr std::uint64_t kGap = 64;

}  // namespace

BlockReader::BlockReader(const ViewWalk& x) noexcept : x_(x) {
  banded_ = x.dims() == 2 && x.stride(0) == 4 && x.stride(1) != 4 && x.extent(1) <= kBandColumns;
}

std::uint64_t BlockReader::band_index(std::uint64_t p) const noexcept {
  const std::uint64_t columns = x_.extent(1);
  return row_start_[p / columns - band_first_] + p % columns;
}

const float* BlockReader::block(std::uint64_t b, std::uint32_t length) {
  const std::uint64_t first = b * kLayerBlock;
  if (x_.contiguous()) return reinterpret_cast<const float*>(x_.data()) + first;
  if (!banded_) {
    if (x_.stride(x_.dims() - 1) != 8) {
      x_.gather(first, length, buffer_);
      return buffer_;
    }
    float* out = buffer_;
    x_.runs(first, length, [&out](const char* p, std::int64_t, std::uint64_t n) {
      layer_gather_pairs_f32(p, n, out);
      out += n;
    });
    return buffer_;
  }
  const std::uint64_t columns = x_.extent(1);
  const std::uint64_t band_begin = band_first_ * columns, band_end = (band_first_ + band_rows_) * columns;
  if (first >= band_begin && first + length <= band_end) return band_start_ + band_index(first);
  float* out = buffer_;
  for (std::uint64_t position = first, left = length; left > 0;) {
    const std::uint64_t row = position / columns;
    if (row < band_first_ || row >= band_first_ + band_rows_) load_band(row);
    const std::uint64_t end = (band_first_ + band_rows_) * columns;
    const std::uint64_t n = end - position < left ? end - position : left;
    // The piece lies in one block, which no gap divides.
    std::memcpy(out, band_start_ + band_index(position), n * 4);
    out += n;
    position += n;
    left -= n;
  }
  return buffer_;
}

void BlockReader::load_band(std::uint64_t row) {
  const std::uint64_t columns = x_.extent(1), rows = x_.extent(0);
  if (!band_) {  // lines of its own: the transposes store whole vectors
    band_.reset(new float[kBandRows * (columns + kGap) + 16]);
    band_start_ = band_.get() + (64 - reinterpret_cast<std::uintptr_t>(band_.get()) % 64) % 64 / 4;
  }
  band_first_ = row - row % kBandRows;
  band_rows_ = rows - band_first_ < kBandRows ? rows - band_first_ : kBandRows;
  float* out_rows[kBandRows];
  std::uint64_t at = 0;
  for (std::uint64_t r = 0; r < band_rows_; ++r) {
    if (r > 0 && (band_first_ + r) * columns % kLayerBlock == 0) at += kGap;
    row_start_[r] = at;
    out_rows[r] = band_start_ + at;
    at += columns;
  }
  // Rows of x are 4 bytes apart, columns stride(1).
  layer_transpose_band_f32(x_.data() + band_first_ * 4, x_.stride(1), static_cast<std::uint32_t>(band_rows_), columns,
                           out_rows);
}

}  // namespace zoltra::ops
