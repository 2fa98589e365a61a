// The broadcasting walk's row loops widened to 256-bit vectors, and a variant
// that writes a contiguous out with streaming stores, for outputs that would
// not stay in the caches anyway.
#include <immintrin.h>

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

// A contiguous or repeated (stride 0) operand as vectors from element i.
template <bool kRepeated>
__m256 operand(const float* p, std::uint64_t i) noexcept {
  return kRepeated ? _mm256_broadcast_ss(p) : _mm256_loadu_ps(p + i);
}

template <class Op, class Vec, bool kRepA, bool kRepB>
void stream_run(const float* a, const float* b, float* out, std::uint64_t n) noexcept {
  std::uint64_t i = 0;
  // Up to the first 32-byte boundary of out, then whole vectors.
  for (; i < n && (reinterpret_cast<std::uintptr_t>(out + i) & 31u) != 0; ++i)
    out[i] = Op::apply(a[kRepA ? 0 : i], b[kRepB ? 0 : i]);
  for (; n - i >= 16; i += 16) {
    _mm256_stream_ps(out + i, Vec::apply(operand<kRepA>(a, i), operand<kRepB>(b, i)));
    _mm256_stream_ps(out + i + 8, Vec::apply(operand<kRepA>(a, i + 8), operand<kRepB>(b, i + 8)));
  }
  for (; i < n; ++i) out[i] = Op::apply(a[kRepA ? 0 : i], b[kRepB ? 0 : i]);
}

template <class Op, class Vec>
void stream_row(const char* a, std::int64_t sa, const char* b, std::int64_t sb, char* out, std::int64_t so,
                std::uint64_t n) noexcept {
  const bool contiguous = so == 4 && (sa == 4 || sa == 0) && (sb == 4 || sb == 0) && !(sa == 0 && sb == 0);
  if (!contiguous || !float_aligned(out) || !float_aligned(a) || !float_aligned(b))
    return row<Op>(a, sa, b, sb, out, so, n);
  const auto* x = reinterpret_cast<const float*>(a);
  const auto* y = reinterpret_cast<const float*>(b);
  auto* o = reinterpret_cast<float*>(out);
  if (sa == 0) stream_run<Op, Vec, true, false>(x, y, o, n);
  else if (sb == 0) stream_run<Op, Vec, false, true>(x, y, o, n);
  else stream_run<Op, Vec, false, false>(x, y, o, n);
}

}  // namespace

BroadcastRowKernels broadcast_rows_avx2() noexcept { return kRowKernels; }

BroadcastRowKernels broadcast_rows_avx2_stream() noexcept {
  return {stream_row<AddOp, AddVec>, stream_row<SubOp, SubVec>, stream_row<MulOp, MulVec>,
          stream_row<DivOp, DivVec>};
}

}  // namespace zoltra::ops
