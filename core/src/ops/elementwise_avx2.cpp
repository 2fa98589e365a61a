// Element-wise float32 arithmetic with AVX2, 8 lanes per 256-bit step.
//
// Each element is one correctly rounded operation, so the split between
// unrolled vector steps, single vector steps and scalar tail cannot change a
// result. In-place use (out == a or out == b) is safe because every element is
// read before the same element is written and no other element depends on it.
#include <immintrin.h>

#include "common/unaligned.hpp"
#include "ops/elementwise_variants.hpp"

namespace zoltra::ops {
namespace {

struct Add {
  static __m256 vec(__m256 x, __m256 y) noexcept { return _mm256_add_ps(x, y); }
  static float one(float x, float y) noexcept { return x + y; }
};
struct Sub {
  static __m256 vec(__m256 x, __m256 y) noexcept { return _mm256_sub_ps(x, y); }
  static float one(float x, float y) noexcept { return x - y; }
};
struct Mul {
  static __m256 vec(__m256 x, __m256 y) noexcept { return _mm256_mul_ps(x, y); }
  static float one(float x, float y) noexcept { return x * y; }
};
struct Div {
  static __m256 vec(__m256 x, __m256 y) noexcept { return _mm256_div_ps(x, y); }
  static float one(float x, float y) noexcept { return x / y; }
};

template <class Op>
__attribute__((always_inline)) inline void apply(const float* a, const float* b, float* out,
                                                 std::uint64_t count) noexcept {
  std::uint64_t i = 0;
  // Four independent vectors per iteration keep loop overhead below the
  // load/store throughput.
  for (; count - i >= 32; i += 32) {
    const __m256 a0 = _mm256_loadu_ps(a + i);
    const __m256 a1 = _mm256_loadu_ps(a + i + 8);
    const __m256 a2 = _mm256_loadu_ps(a + i + 16);
    const __m256 a3 = _mm256_loadu_ps(a + i + 24);
    const __m256 b0 = _mm256_loadu_ps(b + i);
    const __m256 b1 = _mm256_loadu_ps(b + i + 8);
    const __m256 b2 = _mm256_loadu_ps(b + i + 16);
    const __m256 b3 = _mm256_loadu_ps(b + i + 24);
    _mm256_storeu_ps(out + i, Op::vec(a0, b0));
    _mm256_storeu_ps(out + i + 8, Op::vec(a1, b1));
    _mm256_storeu_ps(out + i + 16, Op::vec(a2, b2));
    _mm256_storeu_ps(out + i + 24, Op::vec(a3, b3));
  }
  for (; count - i >= 8; i += 8) {
    _mm256_storeu_ps(out + i, Op::vec(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
  for (; i < count; ++i)
    store_unaligned(out + i, Op::one(load_unaligned<float>(a + i), load_unaligned<float>(b + i)));
}

}  // namespace

void add_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply<Add>(a, b, out, count);
}

void sub_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply<Sub>(a, b, out, count);
}

void mul_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply<Mul>(a, b, out, count);
}

void div_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept {
  apply<Div>(a, b, out, count);
}

}  // namespace zoltra::ops
