#pragma once
// Element-wise float32 arithmetic over n-d views of any byte strides:
// out[i] = a[i] op b[i] for every multi-index i of `shape`, each operand read
// where it lies (a stride of 0 repeats an element along that dimension: a
// broadcast operand or a scalar). Each element is one correctly rounded
// operation, so neither the order of the walk nor the split over the worker
// pool can change a result. maximum and minimum are IEEE 754-2019's: a NaN
// operand gives a NaN (the first NaN operand, quieted) and +0 is above -0.
// out may be the very view a or b (same address and
// strides); any other overlap is outside the contract, as is an out whose
// elements overlap one another.
#include <cstdint>

#include "backend/cache_geometry.hpp"
#include "ops/broadcast_walk.hpp"

namespace zoltra::ops {

enum class BinaryOp : std::uint8_t { kAdd, kSub, kMul, kDiv, kMaximum, kMinimum };

void broadcast_f32_cpu(BinaryOp op, std::uint64_t ndim, const std::int64_t* shape, const float* a,
                       const std::int64_t* a_strides, const float* b, const std::int64_t* b_strides, float* out,
                       const std::int64_t* out_strides);

// From this many elements on, an out apart from the operands is written with
// streaming stores: the output alone fills the last-level cache.
std::uint64_t broadcast_streaming_threshold(const backend::CacheGeometry& geometry) noexcept;

}  // namespace zoltra::ops
