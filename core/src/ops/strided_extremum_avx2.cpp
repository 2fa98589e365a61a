// Max and min folds of a run of floats with AVX2: several vector accumulators
// (the order of a max does not matter for its value), plus the smallest bit
// patterns seen, which tell whether +0.0 and -0.0 occur.
#include <immintrin.h>

#include "ops/strided_extremum.hpp"
#include "ops/strided_extremum_scalar.hpp"

namespace zoltra::ops {
namespace {

// Each keeps acc when v is NaN (the second operand wins an unordered compare).
struct Max : MaxOne {
  static __m256 vec(__m256 v, __m256 acc) noexcept { return _mm256_max_ps(v, acc); }
};
struct Min : MinOne {
  static __m256 vec(__m256 v, __m256 acc) noexcept { return _mm256_min_ps(v, acc); }
};

struct Acc {
  __m256 value;
  __m256i umin, smin;
};

template <class Op>
__attribute__((always_inline)) inline void fold(Acc& a, __m256 v) noexcept {
  a.value = Op::vec(v, a.value);
  a.umin = _mm256_min_epu32(a.umin, _mm256_castps_si256(v));
  a.smin = _mm256_min_epi32(a.smin, _mm256_castps_si256(v));
}

template <class Op>
__attribute__((always_inline)) inline void merge(Acc& a, const Acc& b) noexcept {
  a.value = Op::vec(b.value, a.value);
  a.umin = _mm256_min_epu32(a.umin, b.umin);
  a.smin = _mm256_min_epi32(a.smin, b.smin);
}

template <class Op>
void finish(const Acc (&a)[4], float& r, SeenBits& seen) noexcept {
  Acc x = a[0], y = a[2];
  merge<Op>(x, a[1]);
  merge<Op>(y, a[3]);
  merge<Op>(x, y);
  alignas(32) float values[8];
  alignas(32) std::uint32_t umin[8];
  alignas(32) std::int32_t smin[8];
  _mm256_store_ps(values, x.value);
  _mm256_store_si256(reinterpret_cast<__m256i*>(umin), x.umin);
  _mm256_store_si256(reinterpret_cast<__m256i*>(smin), x.smin);
  for (int l = 0; l < 8; ++l) {
    r = Op::one(values[l], r);
    if (umin[l] < seen.unsigned_min) seen.unsigned_min = umin[l];
    if (smin[l] < seen.signed_min) seen.signed_min = smin[l];
  }
}

// Elements i to i + 7 of a run 8 bytes apart: two loads over 16 floats, the
// last of which lies before element i + 8, so the caller keeps i + 8 < count.
__attribute__((always_inline)) inline __m256 every_second(const float* p, std::uint64_t i) noexcept {
  const __m256 lo = _mm256_loadu_ps(p + 2 * i), hi = _mm256_loadu_ps(p + 2 * i + 8);
  return _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));  // lanes out of order: no matter here
}

template <class Op>
float run(const float* p, std::uint64_t count, std::uint64_t stride, float r, SeenBits& seen) noexcept {
  std::uint64_t i = 0;
  if ((stride == 4 || stride == 8) && count >= 16) {
    Acc a[4];
    for (Acc& x : a)
      x = {_mm256_set1_ps(r), _mm256_set1_epi32(static_cast<int>(seen.unsigned_min)),
           _mm256_set1_epi32(seen.signed_min)};
    if (stride == 4) {
      for (; count - i >= 32; i += 32) {
        fold<Op>(a[0], _mm256_loadu_ps(p + i));
        fold<Op>(a[1], _mm256_loadu_ps(p + i + 8));
        fold<Op>(a[2], _mm256_loadu_ps(p + i + 16));
        fold<Op>(a[3], _mm256_loadu_ps(p + i + 24));
      }
      for (; count - i >= 8; i += 8) fold<Op>(a[0], _mm256_loadu_ps(p + i));
    } else {
      for (; count - i >= 33; i += 32) {
        fold<Op>(a[0], every_second(p, i));
        fold<Op>(a[1], every_second(p, i + 8));
        fold<Op>(a[2], every_second(p, i + 16));
        fold<Op>(a[3], every_second(p, i + 24));
      }
      for (; count - i >= 9; i += 8) fold<Op>(a[0], every_second(p, i));
    }
    finish<Op>(a, r, seen);
  }
  return extremum_scalar<Op>(p, i, count, stride, r, seen);
}

}  // namespace

ExtremumRuns extremum_runs_avx2() noexcept { return {run<Max>, run<Min>}; }

}  // namespace zoltra::ops
