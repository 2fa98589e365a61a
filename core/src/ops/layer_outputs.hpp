#pragma once
// The layer's reductions with one output per position of the kept
// dimensions: sums, means and extrema over axes. Every
// output is, bit for bit, the whole reduction (layer_sum.hpp) of its own
// sub-view, so outputs split over the pool in any way; a single output splits
// its own tree instead.
#include <cstdint>

#include "backend/cache_geometry.hpp"
#include "ops/axis_reduce.hpp"
#include "ops/view_walk.hpp"

namespace zoltra::ops {

// From this many elements read, outputs split over the pool.
inline constexpr std::uint64_t kLayerParallelOutputsWork = 65536;

// Outputs reduced side by side at a time: a sum's 7 rows of lanes for them
// fill half of L2.
std::uint64_t layer_side_width(const backend::CacheGeometry& caches) noexcept;

// `reduced[d]` marks the folded dimensions; out gets one value per position
// of the others in row-major order. A mean divides by the folded count in
// float32; max and min need a non-empty sub-view.
void layer_axis_reduce_f32(AxisFold fold, const char* data, int ndim, const std::int64_t* shape,
                           const std::int64_t* strides, const bool* reduced, float* out, std::uint64_t processors);

}  // namespace zoltra::ops
