#pragma once
// The element-at-a-time parts of the max, min and zeros runs, shared by every
// instruction-set variant (an anonymous namespace: each translation unit keeps
// its own copy).
#include <cstdint>

#include "common/unaligned.hpp"
#include "ops/fold_steps.hpp"
#include "ops/strided_extremum.hpp"

namespace zoltra::ops {
namespace {

// Elements i to count - 1 of the run folded into r, in four independent chains.
template <class Op>
inline float extremum_scalar(const float* p, std::uint64_t i, std::uint64_t count, std::uint64_t stride,
                                    float r) noexcept {
  const auto* at = reinterpret_cast<const unsigned char*>(p) + i * stride;
  float r1 = r, r2 = r, r3 = r;
  for (; count - i >= 4; i += 4, at += 4 * stride) {
    r = Op::apply(r, load_unaligned<float>(at));
    r1 = Op::apply(r1, load_unaligned<float>(at + stride));
    r2 = Op::apply(r2, load_unaligned<float>(at + 2 * stride));
    r3 = Op::apply(r3, load_unaligned<float>(at + 3 * stride));
  }
  for (; i < count; ++i, at += stride) r = Op::apply(r, load_unaligned<float>(at));
  return Op::apply(Op::apply(Op::apply(r, r1), r2), r3);
}

// The same elements' bit patterns into `seen`.
inline void zeros_scalar(const float* p, std::uint64_t i, std::uint64_t count, std::uint64_t stride,
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

}  // namespace
}  // namespace zoltra::ops
