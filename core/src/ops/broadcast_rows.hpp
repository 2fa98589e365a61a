#pragma once
// The row loops of the broadcasting walk, one run of the innermost dimension
// at a time. Included by one translation unit per instruction set, each of
// which widens the plain loops to its own vectors; the anonymous namespace
// keeps every unit's copies apart.
#include <bit>
#include <cstdint>

#include "common/unaligned.hpp"
#include "ops/broadcast_variants.hpp"

namespace zoltra::ops {
namespace {

struct AddOp {
  static float apply(float x, float y) noexcept { return x + y; }
};
struct SubOp {
  static float apply(float x, float y) noexcept { return x - y; }
};
struct MulOp {
  static float apply(float x, float y) noexcept { return x * y; }
};
struct DivOp {
  static float apply(float x, float y) noexcept { return x / y; }
};

// IEEE 754-2019 maximum and minimum. A NaN operand gives the first NaN
// operand, quieted, so that every variant returns the same NaN bits; equal
// operands (+0 and -0 among them) give their bitwise and (or), so +0 is the
// larger of the zeros.
inline float quieted(float x) noexcept { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | 0x00400000u); }
struct MaximumOp {
  static float apply(float x, float y) noexcept {
    if (x != x) return quieted(x);
    if (y != y) return quieted(y);
    if (x == y) return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) & std::bit_cast<std::uint32_t>(y));
    return x > y ? x : y;
  }
};
struct MinimumOp {
  static float apply(float x, float y) noexcept {
    if (x != x) return quieted(x);
    if (y != y) return quieted(y);
    if (x == y) return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | std::bit_cast<std::uint32_t>(y));
    return x < y ? x : y;
  }
};

bool float_aligned(const void* p) noexcept { return (reinterpret_cast<std::uintptr_t>(p) & 3u) == 0; }

// `ivdep`: out may be a or b itself, element for element, which the compiler
// cannot know; each element is read before that element is written either way.
template <class Op>
void row(const char* a, std::int64_t sa, const char* b, std::int64_t sb, char* out, std::int64_t so,
         std::uint64_t n) noexcept {
  if (so == 4 && float_aligned(out) && float_aligned(a) && float_aligned(b)) {
    float* o = reinterpret_cast<float*>(out);
    const float* x = reinterpret_cast<const float*>(a);
    const float* y = reinterpret_cast<const float*>(b);
    if (sa == 4 && sb == 4) {
#pragma GCC ivdep
      for (std::uint64_t i = 0; i < n; ++i) o[i] = Op::apply(x[i], y[i]);
      return;
    }
    if (sa == 4 && sb == 0) {
      const float s = *y;
#pragma GCC ivdep
      for (std::uint64_t i = 0; i < n; ++i) o[i] = Op::apply(x[i], s);
      return;
    }
    if (sa == 0 && sb == 4) {
      const float s = *x;
#pragma GCC ivdep
      for (std::uint64_t i = 0; i < n; ++i) o[i] = Op::apply(s, y[i]);
      return;
    }
    if (sa == 0 && sb == 0) {
      const float v = Op::apply(*x, *y);
      for (std::uint64_t i = 0; i < n; ++i) o[i] = v;
      return;
    }
  }
  for (std::uint64_t i = 0; i < n; ++i, a += sa, b += sb, out += so)
    store_unaligned(out, Op::apply(load_unaligned<float>(a), load_unaligned<float>(b)));
}

constexpr BroadcastRowKernels kRowKernels{row<AddOp>,  row<SubOp>,     row<MulOp>,
                                          row<DivOp>,  row<MaximumOp>, row<MinimumOp>};

}  // namespace
}  // namespace zoltra::ops
