#pragma once
// The contiguous runs of argmax/argmin for each kind of processor.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

// The index of the first largest (smallest) of x[0..n), or of its first NaN;
// n >= 1.
using ArgRunKernel = std::uint64_t (*)(const float* x, std::uint64_t n) noexcept;

struct ArgRunKernels {
  ArgRunKernel largest, smallest;
};

ArgRunKernels argextremum_portable() noexcept;
ArgRunKernels argextremum_avx2() noexcept;  // needs AVX2
ArgRunKernels argextremum_for(const backend::CpuFeatures& features) noexcept;

// Whether x replaces best in the fold: strictly beyond it, or the first NaN.
template <bool kLargest>
inline bool replaces(float x, float best) noexcept {
  return (kLargest ? x > best : x < best) || (x != x && best == best);
}

}  // namespace zoltra::ops
