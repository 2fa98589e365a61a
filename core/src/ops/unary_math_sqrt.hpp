#pragma once
// Square roots of float32 buffers, `Vector` floats at a time: IEEE square
// root is correctly rounded, so every width gives the same bits.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>

#include "common/unaligned.hpp"

namespace zoltra::ops {
namespace {  // each instruction-set file keeps its own copy

template <class Vector>
void sqrt_f32(const float* x, float* out, std::uint64_t count) noexcept {
  std::uint64_t i = 0;
  for (; count - i >= Vector::kWidth; i += Vector::kWidth) Vector::sqrt(x + i, out + i);
  for (; i < count; ++i) {
#if defined(__x86_64__)
    store_unaligned(out + i, _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(load_unaligned<float>(x + i)))));
#else
    // A negative number's NaN as x86-64 makes it (sign set), so that the
    // bits are the same on every processor; a NaN passes through quieted.
    const float v = load_unaligned<float>(x + i);
    store_unaligned(out + i, v < 0.0f ? -__builtin_nanf("") : __builtin_sqrtf(v));
#endif
  }
}

}  // namespace
}  // namespace zoltra::ops
