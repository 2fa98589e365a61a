#pragma once
// Element-wise float32 comparisons and selection over n-d views of any byte
// strides, on the broadcasting walk (a stride of 0 repeats an element):
//  - compare: out[i] = a[i] op b[i] as a bool byte (1 or 0); a NaN compares
//    unequal to everything, so only not_equal is true with one;
//  - where: out[i] = condition[i] ? a[i] : b[i], the condition a bool byte
//    (any non-zero byte is true), the chosen float copied bit for bit.
// out may be the very view a or b of where (same address and strides); any
// other overlap is outside the contract.
#include <cstdint>

namespace zoltra::ops {

enum class CompareOp : std::uint8_t { kGreater, kGreaterEqual, kLess, kLessEqual, kEqual, kNotEqual };

void compare_f32_cpu(CompareOp op, std::uint64_t ndim, const std::int64_t* shape, const float* a,
                     const std::int64_t* a_strides, const float* b, const std::int64_t* b_strides, std::uint8_t* out,
                     const std::int64_t* out_strides);

void where_f32_cpu(std::uint64_t ndim, const std::int64_t* shape, const std::uint8_t* condition,
                   const std::int64_t* condition_strides, const float* a, const std::int64_t* a_strides,
                   const float* b, const std::int64_t* b_strides, float* out, const std::int64_t* out_strides);

}  // namespace zoltra::ops
