#pragma once
// The blocks of a walk as the layer's kernels read them: kLayerBlock
// consecutive values in row-major order, in place when they are one
// contiguous run, gathered into an L1-sized buffer otherwise. A transposed
// matrix (rows one element apart, columns far) is read a band of 32 rows at a
// time, two cache lines per column, into a buffer in row-major order where every
// block the band holds whole is contiguous and read in place.
#include <cstdint>
#include <memory>

#include "ops/layer_sum_variants.hpp"
#include "ops/view_walk.hpp"

namespace zoltra::ops {

class BlockReader {
 public:
  explicit BlockReader(const ViewWalk& x) noexcept;
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // The values of block b (length of them); valid until the next call.
  // Blocks read in increasing order reuse the band they share.
  const float* block(std::uint64_t b, std::uint32_t length);

 private:
  void load_band(std::uint64_t row);
  // Where position p (of the band's rows) lies in band_.
  std::uint64_t band_index(std::uint64_t p) const noexcept;

  const ViewWalk& x_;
  bool banded_ = false;
  std::uint64_t band_first_ = 0, band_rows_ = 0;  // rows of x held in band_
  std::uint64_t row_start_[32] = {};              // where each row of the band starts in band_
  std::unique_ptr<float[]> band_;
  float* band_start_ = nullptr;  // band_'s first cache line
  alignas(64) float buffer_[kLayerBlock];
};

}  // namespace zoltra::ops
