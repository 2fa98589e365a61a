#pragma once
// The plain row loops of the comparisons and of where, included by one
// translation unit per instruction set; the vector units fall back to them
// for strided rows and for the ends of contiguous ones.
#include <cstdint>

#include "common/unaligned.hpp"
#include "ops/compare_variants.hpp"

namespace zoltra::ops {
namespace {

struct Greater {
  static bool apply(float x, float y) noexcept { return x > y; }
};
struct GreaterEqual {
  static bool apply(float x, float y) noexcept { return x >= y; }
};
struct Less {
  static bool apply(float x, float y) noexcept { return x < y; }
};
struct LessEqual {
  static bool apply(float x, float y) noexcept { return x <= y; }
};
struct Equal {
  static bool apply(float x, float y) noexcept { return x == y; }
};
struct NotEqual {
  static bool apply(float x, float y) noexcept { return x != y; }
};

template <class Op>
void compare_row(const char* a, std::int64_t sa, const char* b, std::int64_t sb, char* out, std::int64_t so,
                 std::uint64_t n) noexcept {
  for (std::uint64_t i = 0; i < n; ++i, a += sa, b += sb, out += so)
    *out = static_cast<char>(Op::apply(load_unaligned<float>(a), load_unaligned<float>(b)));
}

void where_row(const char* c, std::int64_t sc, const char* a, std::int64_t sa, const char* b, std::int64_t sb,
               char* out, std::int64_t so, std::uint64_t n) noexcept {
  // The chosen element's bytes, so that a NaN's payload passes unchanged.
  for (std::uint64_t i = 0; i < n; ++i, c += sc, a += sa, b += sb, out += so)
    store_unaligned(out, load_unaligned<std::uint32_t>(*c != 0 ? a : b));
}

constexpr CompareRowKernels kCompareRows{compare_row<Greater>, compare_row<GreaterEqual>, compare_row<Less>,
                                         compare_row<LessEqual>, compare_row<Equal>, compare_row<NotEqual>};

}  // namespace
}  // namespace zoltra::ops
