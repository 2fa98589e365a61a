#pragma once
// Sequential flat reductions over one contiguous buffer, on any x86-64
// processor (AVX2 vectors where the processor has them).
#include <cstdint>

namespace zoltra::ops {

float sum_f32_cpu(const float* data, std::uint64_t count) noexcept;
std::int32_t sum_i32_cpu(const std::int32_t* data, std::uint64_t count) noexcept;
float mean_f32_cpu(const float* data, std::uint64_t count) noexcept;
bool all_bool_cpu(const std::uint8_t* data, std::uint64_t count) noexcept;
bool any_bool_cpu(const std::uint8_t* data, std::uint64_t count) noexcept;

// Kahan-compensated sum of every element in increasing order, from +0.0. Once
// the running sum is infinite or NaN the compensation is dropped, so the
// result is then the IEEE sum (an infinity stays an infinity).
float compensated_sum_f32_cpu(const float* data, std::uint64_t count) noexcept;

}  // namespace zoltra::ops
