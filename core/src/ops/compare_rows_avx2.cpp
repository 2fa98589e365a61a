// The comparisons and where on 256-bit vectors for rows whose operands are
// contiguous or repeated (stride 0) and whose out is contiguous; other rows,
// and the last elements of these, take the plain loops.
#include <immintrin.h>

#include "ops/compare_rows.hpp"

namespace zoltra::ops {
namespace {

bool float_aligned(const void* p) noexcept { return (reinterpret_cast<std::uintptr_t>(p) & 3u) == 0; }

// Eight floats from element i of a contiguous or repeated operand.
template <bool kRepeated>
__m256 operand(const float* p, std::uint64_t i) noexcept {
  return kRepeated ? _mm256_broadcast_ss(p) : _mm256_loadu_ps(p + i);
}

// 32 comparisons packed to 32 bytes of 0 or 1. The packs work within 128-bit
// halves, so the dwords come out as 0 4 1 5 2 6 3 7 and are put back.
template <class Op, int kPredicate, bool kRepA, bool kRepB>
void compare_run(const float* a, const float* b, std::uint8_t* out, std::uint64_t n) noexcept {
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const __m256i one = _mm256_set1_epi8(1);
  std::uint64_t i = 0;
  for (; n - i >= 32; i += 32) {
    __m256i m[4];
    for (int k = 0; k < 4; ++k) {
      m[k] = _mm256_castps_si256(
          _mm256_cmp_ps(operand<kRepA>(a, i + 8 * k), operand<kRepB>(b, i + 8 * k), kPredicate));
    }
    const __m256i bytes = _mm256_packs_epi16(_mm256_packs_epi32(m[0], m[1]), _mm256_packs_epi32(m[2], m[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        _mm256_and_si256(_mm256_permutevar8x32_epi32(bytes, order), one));
  }
  if (i == n) return;
  compare_row<Op>(reinterpret_cast<const char*>(a + (kRepA ? 0 : i)), kRepA ? 0 : 4,
      reinterpret_cast<const char*>(b + (kRepB ? 0 : i)), kRepB ? 0 : 4, reinterpret_cast<char*>(out + i), 1, n - i);
}

template <class Op, int kPredicate>
void compare_vector_row(const char* a, std::int64_t sa, const char* b, std::int64_t sb, char* out, std::int64_t so,
                        std::uint64_t n) noexcept {
  const bool vector = so == 1 && (sa == 4 || sa == 0) && (sb == 4 || sb == 0) && !(sa == 0 && sb == 0);
  if (!vector || !float_aligned(a) || !float_aligned(b)) return compare_row<Op>(a, sa, b, sb, out, so, n);
  const auto* x = reinterpret_cast<const float*>(a);
  const auto* y = reinterpret_cast<const float*>(b);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  if (sa == 0) compare_run<Op, kPredicate, true, false>(x, y, o, n);
  else if (sb == 0) compare_run<Op, kPredicate, false, true>(x, y, o, n);
  else compare_run<Op, kPredicate, false, false>(x, y, o, n);
}

// Eight conditions as lane masks, all ones where the byte is 0.
template <bool kRepeated>
__m256 is_false(const std::uint8_t* c, std::uint64_t i) noexcept {
  const __m256i bytes = kRepeated ? _mm256_set1_epi32(*c)
                                  : _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + i)));
  return _mm256_castsi256_ps(_mm256_cmpeq_epi32(bytes, _mm256_setzero_si256()));
}

template <bool kRepC, bool kRepA, bool kRepB>
void where_run(const std::uint8_t* c, const float* a, const float* b, float* out, std::uint64_t n) noexcept {
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8)
    _mm256_storeu_ps(out + i, _mm256_blendv_ps(operand<kRepA>(a, i), operand<kRepB>(b, i), is_false<kRepC>(c, i)));
  if (i == n) return;
  where_row(reinterpret_cast<const char*>(c + (kRepC ? 0 : i)), kRepC ? 0 : 1,
            reinterpret_cast<const char*>(a + (kRepA ? 0 : i)), kRepA ? 0 : 4,
            reinterpret_cast<const char*>(b + (kRepB ? 0 : i)), kRepB ? 0 : 4, reinterpret_cast<char*>(out + i), 4,
            n - i);
}

template <bool kRepC, bool kRepA>
void where_run_b(const std::uint8_t* c, const float* a, const float* b, std::int64_t sb, float* out,
                 std::uint64_t n) noexcept {
  if (sb == 0) where_run<kRepC, kRepA, true>(c, a, b, out, n);
  else where_run<kRepC, kRepA, false>(c, a, b, out, n);
}

template <bool kRepC>
void where_run_ab(const std::uint8_t* c, const float* a, std::int64_t sa, const float* b, std::int64_t sb, float* out,
                  std::uint64_t n) noexcept {
  if (sa == 0) where_run_b<kRepC, true>(c, a, b, sb, out, n);
  else where_run_b<kRepC, false>(c, a, b, sb, out, n);
}

void where_vector_row(const char* c, std::int64_t sc, const char* a, std::int64_t sa, const char* b,
                      std::int64_t sb, char* out, std::int64_t so, std::uint64_t n) noexcept {
  const bool vector = so == 4 && (sc == 1 || sc == 0) && (sa == 4 || sa == 0) && (sb == 4 || sb == 0);
  if (!vector || !float_aligned(a) || !float_aligned(b) || !float_aligned(out))
    return where_row(c, sc, a, sa, b, sb, out, so, n);
  const auto* cond = reinterpret_cast<const std::uint8_t*>(c);
  const auto* x = reinterpret_cast<const float*>(a);
  const auto* y = reinterpret_cast<const float*>(b);
  auto* o = reinterpret_cast<float*>(out);
  if (sc == 0) where_run_ab<true>(cond, x, sa, y, sb, o, n);
  else where_run_ab<false>(cond, x, sa, y, sb, o, n);
}

}  // namespace

CompareRowKernels compare_rows_avx2() noexcept {
  return {compare_vector_row<Greater, _CMP_GT_OQ>,   compare_vector_row<GreaterEqual, _CMP_GE_OQ>,
          compare_vector_row<Less, _CMP_LT_OQ>,      compare_vector_row<LessEqual, _CMP_LE_OQ>,
          compare_vector_row<Equal, _CMP_EQ_OQ>,     compare_vector_row<NotEqual, _CMP_NEQ_UQ>};
}

WhereRowKernel where_row_avx2() noexcept { return where_vector_row; }

}  // namespace zoltra::ops
