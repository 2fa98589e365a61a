#pragma once
// The element-at-a-time part of the max and min runs, shared by every
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

// Elements i to count - 1 of the run, in four independent chains.
template <class Op>
static inline float extremum_scalar(const float* p, std::uint64_t i, std::uint64_t count, std::uint64_t stride,
                                    float r, SeenBits& seen) noexcept {
  const auto* at = reinterpret_cast<const unsigned char*>(p) + i * stride;
  float r1 = r, r2 = r, r3 = r;
  std::uint32_t u = seen.unsigned_min;
  std::int32_t s = seen.signed_min;
  auto visit = [&](float& acc, const unsigned char* q) {
    const auto b = load_unaligned<std::uint32_t>(q);
    acc = Op::one(load_unaligned<float>(q), acc);
    u = b < u ? b : u;
    s = static_cast<std::int32_t>(b) < s ? static_cast<std::int32_t>(b) : s;
  };
  for (; count - i >= 4; i += 4, at += 4 * stride) {
    visit(r, at);
    visit(r1, at + stride);
    visit(r2, at + 2 * stride);
    visit(r3, at + 3 * stride);
  }
  for (; i < count; ++i, at += stride) visit(r, at);
  r = Op::one(r1, r);
  r = Op::one(r2, r);
  r = Op::one(r3, r);
  seen.unsigned_min = u;
  seen.signed_min = s;
  return r;
}

}  // namespace zoltra::ops
