#pragma once
// exp, log, sqrt and tanh of float32 buffers, each element the float32
// nearest the exact value (ties to even), with C's special values. out may be
// the very buffer x; any other overlap is outside the contract. From
// kParallelElementwiseThreshold elements on, one contiguous chunk per
// processor runs on the worker pool; correct rounding makes the results the
// same bits whatever the variant or the split.
#include <cstdint>

namespace zoltra::ops {

enum class UnaryMath : std::uint8_t { kExp, kLog, kSqrt, kTanh };

void unary_math_f32_cpu(UnaryMath function, const float* x, float* out, std::uint64_t count);

}  // namespace zoltra::ops
