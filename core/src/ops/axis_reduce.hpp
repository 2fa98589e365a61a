#pragma once
// Reductions over some dimensions of an n-d view given by shape and byte
// strides. `reduced[d]` marks the dimensions folded away; out receives one
// value per position of the others (the kept dimensions), in row-major order
// of them. Each output equals, bit for bit, the whole reduction of the
// sub-view it folds (the kept indices fixed, the folded dimensions in their
// order), as the module reduces a whole view:
//  - float32 sum: a sub-view that is C-contiguous goes through the flat
//    8-lane compensated sum (sum_f32_auto), any other through the strided
//    walk's plain additions in row-major order from +0.0;
//  - mean: that sum divided by the element count in float32;
//  - max/min: the strided fold (the first element, then every element in
//    row-major order replacing it only when strictly greater/smaller), so a
//    NaN results only when it comes first and ties keep the first;
//  - int32 sum wraps modulo 2^32; all/any over bool bytes (any non-zero byte
//    is true; outputs are 0 or 1).
// Over an empty sub-view a sum is 0 and all/any are true/false; mean, max
// and min need a non-empty one (the caller refuses the others).
#include <cstdint>

namespace zoltra::ops {

enum class AxisFold : std::uint8_t { kSum, kMean, kMax, kMin };

void axis_reduce_f32_cpu(AxisFold fold, const float* data, std::uint64_t ndim, const std::int64_t* shape,
                         const std::int64_t* strides, const bool* reduced, float* out);
void axis_sum_i32_cpu(const std::int32_t* data, std::uint64_t ndim, const std::int64_t* shape,
                      const std::int64_t* strides, const bool* reduced, std::int32_t* out);
void axis_all_bool_cpu(const std::uint8_t* data, std::uint64_t ndim, const std::int64_t* shape,
                       const std::int64_t* strides, const bool* reduced, std::uint8_t* out);
void axis_any_bool_cpu(const std::uint8_t* data, std::uint64_t ndim, const std::int64_t* shape,
                       const std::int64_t* strides, const bool* reduced, std::uint8_t* out);

// From this many input elements on, the outputs are split over the worker pool.
inline constexpr std::uint64_t kParallelAxisThreshold = 65536;

}  // namespace zoltra::ops
