// Element-wise float32 arithmetic for any x86-64 processor: one operation per
// element in plain C++, which the compiler may widen to SSE2 lanes without
// changing a result. out may be a or b itself: each element is read before
// that same element is written.
#include "common/unaligned.hpp"
#include "ops/elementwise_variants.hpp"

namespace zoltra::ops {
namespace {

template <class Op>
void apply(const float* a, const float* b, float* out, std::uint64_t count, Op op) noexcept {
  for (std::uint64_t i = 0; i < count; ++i) {
    store_unaligned(out + i, op(load_unaligned<float>(a + i), load_unaligned<float>(b + i)));
  }
}

}  // namespace

void add_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply(a, b, out, count, [](float x, float y) { return x + y; });
}

void sub_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply(a, b, out, count, [](float x, float y) { return x - y; });
}

void mul_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply(a, b, out, count, [](float x, float y) { return x * y; });
}

void div_f32_portable(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply(a, b, out, count, [](float x, float y) { return x / y; });
}

}  // namespace zoltra::ops
