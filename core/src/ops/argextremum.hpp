#pragma once
// argmax and argmin of float32 n-d views of any byte strides: the index of
// the first largest (smallest) element, or of the first NaN when there is
// one, as NumPy gives them. -0 and +0 are equal, so the first of them counts.
// The answer is exact, so neither the variant nor the split over the worker
// pool can change it.
#include <cstdint>

namespace zoltra::ops {

// The whole view in row-major order; the index into that order. Needs at
// least one element.
std::uint64_t argextremum_f32_cpu(bool largest, const float* data, std::uint64_t ndim, const std::int64_t* shape,
                                  const std::int64_t* strides);

// Along dimension `axis` (extent at least 1): out receives one index per
// position of the other dimensions, in row-major order of them.
void axis_argextremum_f32_cpu(bool largest, const float* data, std::uint64_t ndim, const std::int64_t* shape,
                              const std::int64_t* strides, std::uint64_t axis, std::int64_t* out);

}  // namespace zoltra::ops
