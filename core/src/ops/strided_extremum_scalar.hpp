#pragma once
// The element-at-a-time parts of the max, min and zeros runs, shared by every
// instruction-set variant (static: each translation unit keeps its own copy).
#include <cstdint>

#include "common/unaligned.hpp"
#include "ops/strided_extremum.hpp"

namespace zoltra::ops {

struct MaxOne {
  static float one(float v, float r) noexcept { return v > r ? v : r; }
};
struct MinOne {
  static float one(float v, float r) noexcept { return v < r ? v : r; }
};

// Elements i to count - 1 of the run folded into r, in four independent chains.
template <class Op>
static inline float extremum_scalar(const float* p, std::uint64_t i, std::uint64_t count, std::uint64_t stride,
                                    float r) noexcept {
  const auto* at = reinterpret_cast<const unsigned char*>(p) + i * stride;
  float r1 = r, r2 = r, r3 = r;
  for (; count - i >= 4; i += 4, at += 4 * stride) {
    r = Op::one(load_unaligned<float>(at), r);
    r1 = Op::one(load_unaligned<float>(at + stride), r1);
    r2 = Op::one(load_unaligned<float>(at + 2 * stride), r2);
    r3 = Op::one(load_unaligned<float>(at + 3 * stride), r3);
  }
  for (; i < count; ++i, at += stride) r = Op::one(load_unaligned<float>(at), r);
  return Op::one(r3, Op::one(r2, Op::one(r1, r)));
}

// The same elements' bit patterns into `seen`.
static inline void zeros_scalar(const float* p, std::uint64_t i, std::uint64_t count, std::uint64_t stride,
                                SeenBits& seen) noexcept {
  const auto* at = reinterpret_cast<const unsigned char*>(p) + i * stride;
  std::uint32_t u = seen.unsigned_min;
  std::int32_t s = seen.signed_min;
  for (; i < count; ++i, at += stride) {
    const auto b = load_unaligned<std::uint32_t>(at);
    u = b < u ? b : u;
    s = static_cast<std::int32_t>(b) < s ? static_cast<std::int32_t>(b) : s;
  }
  seen.unsigned_min = u;
  seen.signed_min = s;
}

}  // namespace zoltra::ops
