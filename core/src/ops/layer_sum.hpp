#pragma once
// The array layer's float32 sums, dot products and extrema over views. The
// values x_0 .. x_{N-1} are the view's elements in row-major order; they are
// cut into blocks of kLayerBlock values, each summed by the block kernel
// (layer_sum_variants.hpp), and the block sums combine over a fixed tree:
// T(i..j) = T(i..i+h) + T(i+h..j), h the largest power of two below j - i.
// An empty sum is +0.0. Large calls split the tree over the worker pool at
// its nodes, one node's subtree per chunk, so the bits depend on the values
// alone: not on the layout, the processor, nor the processor count.
#include <cstdint>

#include "ops/view_walk.hpp"

namespace zoltra::ops {

// From this many blocks on, a whole reduction runs on the pool; a dot
// product reads two values per step, so it pays from fewer.
inline constexpr std::uint64_t kLayerParallelBlocks = 64;
inline constexpr std::uint64_t kLayerParallelDotBlocks = 16;

float layer_block_sum_f32(const float* x, std::uint32_t count) noexcept;
float layer_block_dot_f32(const float* a, const float* b, std::uint32_t count) noexcept;
void layer_add_row_f32(float* lane, const char* src, std::uint64_t width) noexcept;
void layer_max_row_f32(std::int32_t* best, const char* src, std::uint64_t width) noexcept;
void layer_min_row_f32(std::int32_t* best, const char* src, std::uint64_t width) noexcept;
void layer_gather_pairs_f32(const char* src, std::uint64_t count, float* out) noexcept;
void layer_transpose_band_f32(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t columns,
                              float* const* out_rows) noexcept;
void layer_column_lanes_f32(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t blocks,
                            float* lanes) noexcept;
// The largest (smallest) of count >= 1 values by layer_order_key, NaN when any is NaN.
float layer_block_max_f32(const float* x, std::uint32_t count) noexcept;
float layer_block_min_f32(const float* x, std::uint32_t count) noexcept;

// `processors` only decides how the work splits (1: on the calling thread).
float layer_sum_f32(const ViewWalk& x, std::uint64_t processors);
// Two walks of one size: lane = a_t * b_t + lane, one rounding each.
float layer_dot_f32(const ViewWalk& a, const ViewWalk& b, std::uint64_t processors);
// NaN when any element is NaN; otherwise the largest (smallest) with -0.0
// below +0.0, so the result never depends on the order of visits. The walk
// must not be empty.
float layer_max_f32(const ViewWalk& x, std::uint64_t processors);
float layer_min_f32(const ViewWalk& x, std::uint64_t processors);

}  // namespace zoltra::ops
