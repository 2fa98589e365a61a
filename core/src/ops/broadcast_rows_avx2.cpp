// The broadcasting walk's row loops widened to 256-bit vectors, and a variant
// that writes a contiguous out with streaming stores, for outputs that would
// not stay in the caches anyway.
#include <immintrin.h>

#include <cmath>
#include <type_traits>

#include "ops/broadcast_rows.hpp"

namespace zoltra::ops {
namespace {

struct AddVec {
  static __m256 apply(__m256 x, __m256 y) noexcept { return _mm256_add_ps(x, y); }
};
struct SubVec {
  static __m256 apply(__m256 x, __m256 y) noexcept { return _mm256_sub_ps(x, y); }
};
struct MulVec {
  static __m256 apply(__m256 x, __m256 y) noexcept { return _mm256_mul_ps(x, y); }
};
struct DivVec {
  static __m256 apply(__m256 x, __m256 y) noexcept { return _mm256_div_ps(x, y); }
};

// MaximumOp and MinimumOp eight lanes at a time: max_ps/min_ps give the
// second operand when the two are equal or unordered, so equal lanes take
// the bitwise and (or) and unordered ones the first NaN, quieted.
template <bool kMax>
__m256 extremum(__m256 x, __m256 y) noexcept {
  const __m256 quiet = _mm256_castsi256_ps(_mm256_set1_epi32(0x00400000));
  __m256 r = kMax ? _mm256_max_ps(x, y) : _mm256_min_ps(x, y);
  r = _mm256_blendv_ps(r, kMax ? _mm256_and_ps(x, y) : _mm256_or_ps(x, y), _mm256_cmp_ps(x, y, _CMP_EQ_OQ));
  const __m256 nan = _mm256_blendv_ps(_mm256_or_ps(y, quiet), _mm256_or_ps(x, quiet), _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
  return _mm256_blendv_ps(r, nan, _mm256_cmp_ps(x, y, _CMP_UNORD_Q));
}
struct MaximumVec {
  static __m256 apply(__m256 x, __m256 y) noexcept { return extremum<true>(x, y); }
};
struct MinimumVec {
  static __m256 apply(__m256 x, __m256 y) noexcept { return extremum<false>(x, y); }
};

// A contiguous or repeated (stride 0) operand as vectors from element i.
template <bool kRepeated>
__m256 operand(const float* p, std::uint64_t i) noexcept {
  return kRepeated ? _mm256_broadcast_ss(p) : _mm256_loadu_ps(p + i);
}

template <bool kStream>
void store(float* p, __m256 v) noexcept {
  if (kStream) _mm256_stream_ps(p, v);
  else _mm256_storeu_ps(p, v);
}

template <class Op, class Vec, bool kRepA, bool kRepB, bool kStream>
void vector_run(const float* a, const float* b, float* out, std::uint64_t n) noexcept {
  std::uint64_t i = 0;
  // Up to the first 32-byte boundary of out, then whole vectors.
  for (; i < n && (reinterpret_cast<std::uintptr_t>(out + i) & 31u) != 0; ++i)
    out[i] = Op::apply(a[kRepA ? 0 : i], b[kRepB ? 0 : i]);
  for (; n - i >= 16; i += 16) {
    store<kStream>(out + i, Vec::apply(operand<kRepA>(a, i), operand<kRepB>(b, i)));
    store<kStream>(out + i + 8, Vec::apply(operand<kRepA>(a, i + 8), operand<kRepB>(b, i + 8)));
  }
  for (; i < n; ++i) out[i] = Op::apply(a[kRepA ? 0 : i], b[kRepB ? 0 : i]);
}

template <class Op, class Vec, bool kStream = true>
void vector_row(const char* a, std::int64_t sa, const char* b, std::int64_t sb, char* out, std::int64_t so,
                std::uint64_t n) noexcept {
  const bool contiguous = so == 4 && (sa == 4 || sa == 0) && (sb == 4 || sb == 0) && !(sa == 0 && sb == 0);
  if (!contiguous || !float_aligned(out) || !float_aligned(a) || !float_aligned(b))
    return row<Op>(a, sa, b, sb, out, so, n);
  const auto* x = reinterpret_cast<const float*>(a);
  const auto* y = reinterpret_cast<const float*>(b);
  auto* o = reinterpret_cast<float*>(out);
  if (sa == 0) vector_run<Op, Vec, true, false, kStream>(x, y, o, n);
  else if (sb == 0) vector_run<Op, Vec, false, true, kStream>(x, y, o, n);
  else vector_run<Op, Vec, false, false, kStream>(x, y, o, n);
}

// maximum/minimum of a contiguous x and a number s repeated along the row
// (maximum(x, 0.0), the ReLU), s not a NaN. max_ps/min_ps give their second
// operand for equal operands, which must be their bitwise and (or): s when
// its sign bit is clear (set) for maximum (minimum), else x; so s goes
// second or first, and only a NaN x is left to blend in, quieted.
template <bool kMax, bool kSecond, bool kStream>
void scalar_extremum_run(const float* x, float s, float* out, std::uint64_t n) noexcept {
  using Op = std::conditional_t<kMax, MaximumOp, MinimumOp>;
  const __m256 quiet = _mm256_castsi256_ps(_mm256_set1_epi32(0x00400000));
  const __m256 v = _mm256_set1_ps(s);
  auto apply = [&](__m256 y) {
    const __m256 r = kMax ? (kSecond ? _mm256_max_ps(y, v) : _mm256_max_ps(v, y))
                          : (kSecond ? _mm256_min_ps(y, v) : _mm256_min_ps(v, y));
    return _mm256_blendv_ps(r, _mm256_or_ps(y, quiet), _mm256_cmp_ps(y, y, _CMP_UNORD_Q));
  };
  std::uint64_t i = 0;
  for (; i < n && (reinterpret_cast<std::uintptr_t>(out + i) & 31u) != 0; ++i) out[i] = Op::apply(x[i], s);
  for (; n - i >= 16; i += 16) {
    store<kStream>(out + i, apply(_mm256_loadu_ps(x + i)));
    store<kStream>(out + i + 8, apply(_mm256_loadu_ps(x + i + 8)));
  }
  for (; i < n; ++i) out[i] = Op::apply(x[i], s);
}

template <bool kMax, bool kStream>
void extremum_row(const char* a, std::int64_t sa, const char* b, std::int64_t sb, char* out, std::int64_t so,
                  std::uint64_t n) noexcept {
  using Op = std::conditional_t<kMax, MaximumOp, MinimumOp>;
  using Vec = std::conditional_t<kMax, MaximumVec, MinimumVec>;
  const bool one_repeated = so == 4 && ((sa == 4 && sb == 0) || (sa == 0 && sb == 4));
  if (!one_repeated || !float_aligned(out) || !float_aligned(a) || !float_aligned(b))
    return vector_row<Op, Vec, kStream>(a, sa, b, sb, out, so, n);
  const auto* x = reinterpret_cast<const float*>(sa == 4 ? a : b);
  const float s = *reinterpret_cast<const float*>(sa == 4 ? b : a);
  if (s != s) return vector_row<Op, Vec, kStream>(a, sa, b, sb, out, so, n);
  auto* o = reinterpret_cast<float*>(out);
  if (std::signbit(s) != kMax) scalar_extremum_run<kMax, true, kStream>(x, s, o, n);
  else scalar_extremum_run<kMax, false, kStream>(x, s, o, n);
}

}  // namespace

// The arithmetic rows are the compiler's widening of the plain loops; the
// branches of maximum and minimum need the vector form written out.
BroadcastRowKernels broadcast_rows_avx2() noexcept {
  BroadcastRowKernels kernels = kRowKernels;
  kernels.maximum = extremum_row<true, false>;
  kernels.minimum = extremum_row<false, false>;
  return kernels;
}

BroadcastRowKernels broadcast_rows_avx2_stream() noexcept {
  return {vector_row<AddOp, AddVec>, vector_row<SubOp, SubVec>,         vector_row<MulOp, MulVec>,
          vector_row<DivOp, DivVec>, extremum_row<true, true>,   extremum_row<false, true>};
}

}  // namespace zoltra::ops
