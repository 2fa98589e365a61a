// Element-wise float32 arithmetic, 8 lanes per 256-bit step.
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
inline void one_by_one(const float* a, const float* b, float* out, std::uint64_t from, std::uint64_t to) noexcept {
  for (std::uint64_t i = from; i < to; ++i)
    store_unaligned(out + i, Op::one(load_unaligned<float>(a + i), load_unaligned<float>(b + i)));
}

// From this many elements the first ones are done singly until out reaches a
// 64-byte boundary: buffers from one allocator usually share their offset
// within a cache line, so then no vector access of a, b or out straddles two
// lines (about 10% on buffers that live in L2).
constexpr std::uint64_t kAlignFrom = 1024;

template <class Op, bool kStream>
__attribute__((always_inline)) inline void apply(const float* a, const float* b, float* out,
                                                 std::uint64_t count) noexcept {
  std::uint64_t i = 0;
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  const bool float_aligned = (address & 3u) == 0;
  if (count >= kAlignFrom && float_aligned) {
    i = ((0 - address) & 63u) / 4;
    one_by_one<Op>(a, b, out, 0, i);
  }
  // Streaming stores need an aligned destination, which out has from here
  // unless it is not even float-aligned.
  const bool stream = kStream && count >= kAlignFrom && float_aligned;
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
    if (stream) {
      _mm256_stream_ps(out + i, Op::vec(a0, b0));
      _mm256_stream_ps(out + i + 8, Op::vec(a1, b1));
      _mm256_stream_ps(out + i + 16, Op::vec(a2, b2));
      _mm256_stream_ps(out + i + 24, Op::vec(a3, b3));
    } else {
      _mm256_storeu_ps(out + i, Op::vec(a0, b0));
      _mm256_storeu_ps(out + i + 8, Op::vec(a1, b1));
      _mm256_storeu_ps(out + i + 16, Op::vec(a2, b2));
      _mm256_storeu_ps(out + i + 24, Op::vec(a3, b3));
    }
  }
  // Streaming stores are weakly ordered: fence them before anyone is told
  // that the buffer is done.
  if (stream) _mm_sfence();
  for (; count - i >= 8; i += 8) {
    _mm256_storeu_ps(out + i, Op::vec(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
  one_by_one<Op>(a, b, out, i, count);
}

}  // namespace

#define ZOLTRA_ELEMENTWISE_AVX2(NAME, OP)                                                        \
  void NAME##_f32_avx2(const float* a, const float* b, float* out, std::uint64_t count) noexcept {        \
    apply<OP, false>(a, b, out, count);                                                                 \
  }                                                                                                     \
  void NAME##_f32_avx2_stream(const float* a, const float* b, float* out, std::uint64_t count) noexcept { \
    apply<OP, true>(a, b, out, count);                                                                  \
  }

ZOLTRA_ELEMENTWISE_AVX2(add, Add)
ZOLTRA_ELEMENTWISE_AVX2(sub, Sub)
ZOLTRA_ELEMENTWISE_AVX2(mul, Mul)
ZOLTRA_ELEMENTWISE_AVX2(div, Div)

}  // namespace zoltra::ops
