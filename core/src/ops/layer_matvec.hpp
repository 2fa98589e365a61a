#pragma once
// The layer's matrix x vector product: out[r] is, bit for bit, the layer's
// dot product (layer_sum.hpp) of row r with the vector, so rows split over
// the pool in any way. Rows that lie contiguous go through the row-group
// kernel (layer_matvec_variants.hpp) in groups, whatever the distance
// between rows; others are read block by block.
#include <cstdint>

#include "ops/view_walk.hpp"

namespace zoltra::ops {

// out[r] = layer_dot_f32(row r, v): `rows` walks the first element of each
// row (a's dimensions but the last), `row` is row 0 and `v` has its size.
void layer_matvec_f32(const ViewWalk& rows, const ViewWalk& row, const ViewWalk& v, float* out,
                      std::uint64_t processors);

}  // namespace zoltra::ops
