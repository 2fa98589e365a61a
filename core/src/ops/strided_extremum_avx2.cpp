// Max and min folds of a run of floats with AVX2, and the pass that tells
// which zeros occur. Several vector accumulators: the order of a max or of a
// smallest bit pattern does not matter for its value.
#include <immintrin.h>

#include "ops/strided_extremum.hpp"
#include "ops/strided_extremum_scalar.hpp"

namespace zoltra::ops {
namespace {

// Each keeps acc when v is NaN (the second operand wins an unordered compare).
struct Max : MaxStep {
  static __m256 vec(__m256 v, __m256 acc) noexcept { return _mm256_max_ps(v, acc); }
};
struct Min : MinStep {
  static __m256 vec(__m256 v, __m256 acc) noexcept { return _mm256_min_ps(v, acc); }
};
// The smallest bit patterns as unsigned and as signed integers, in the two
// halves of a pair of vectors.
struct Zeros {
  __m256i unsigned_min, signed_min;
};

// Elements i to i + 7 of a run 8 bytes apart: two loads over 16 floats, the
// last of which lies before element i + 8, so the caller keeps i + 8 < count.
__attribute__((always_inline)) inline __m256 every_second(const float* p, std::uint64_t i) noexcept {
  const __m256 lo = _mm256_loadu_ps(p + 2 * i), hi = _mm256_loadu_ps(p + 2 * i + 8);
  return _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));  // lanes out of order: no matter here
}

// Calls fold(v) on vectors of 8 elements of the run (4 bytes or 8 bytes
// apart), four to a group; returns how many elements it covered.
template <class Fold>
__attribute__((always_inline)) inline std::uint64_t vectors(const float* p, std::uint64_t count,
                                                            std::uint64_t stride, Fold fold) noexcept {
  std::uint64_t i = 0;
  if (stride == 4) {
    for (; count - i >= 32; i += 32)
      fold(_mm256_loadu_ps(p + i), _mm256_loadu_ps(p + i + 8), _mm256_loadu_ps(p + i + 16),
           _mm256_loadu_ps(p + i + 24));
  } else if (stride == 8) {
    for (; count - i >= 33; i += 32)
      fold(every_second(p, i), every_second(p, i + 8), every_second(p, i + 16), every_second(p, i + 24));
  }
  return i;
}

template <class Op>
float run(const float* p, std::uint64_t count, std::uint64_t stride, float r) noexcept {
  std::uint64_t i = 0;
  if ((stride == 4 || stride == 8) && count >= 64) {
    __m256 a0 = _mm256_set1_ps(r), a1 = a0, a2 = a0, a3 = a0;
    i = vectors(p, count, stride, [&](__m256 v0, __m256 v1, __m256 v2, __m256 v3) {
      a0 = Op::vec(v0, a0);
      a1 = Op::vec(v1, a1);
      a2 = Op::vec(v2, a2);
      a3 = Op::vec(v3, a3);
    });
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, Op::vec(Op::vec(a0, a1), Op::vec(a2, a3)));
    for (float lane : lanes) r = Op::apply(r, lane);
  }
  return extremum_scalar<Op>(p, i, count, stride, r);
}

void zeros(const float* p, std::uint64_t count, std::uint64_t stride, SeenBits& seen) noexcept {
  std::uint64_t i = 0;
  if ((stride == 4 || stride == 8) && count >= 64) {
    __m256i u = _mm256_set1_epi32(static_cast<int>(seen.unsigned_min)), s = _mm256_set1_epi32(seen.signed_min);
    i = vectors(p, count, stride, [&](__m256 v0, __m256 v1, __m256 v2, __m256 v3) {
      const __m256i b0 = _mm256_castps_si256(v0), b1 = _mm256_castps_si256(v1);
      const __m256i b2 = _mm256_castps_si256(v2), b3 = _mm256_castps_si256(v3);
      u = _mm256_min_epu32(u, _mm256_min_epu32(_mm256_min_epu32(b0, b1), _mm256_min_epu32(b2, b3)));
      s = _mm256_min_epi32(s, _mm256_min_epi32(_mm256_min_epi32(b0, b1), _mm256_min_epi32(b2, b3)));
    });
    alignas(32) std::uint32_t us[8];
    alignas(32) std::int32_t ss[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(us), u);
    _mm256_store_si256(reinterpret_cast<__m256i*>(ss), s);
    for (int l = 0; l < 8; ++l) {
      seen.unsigned_min = us[l] < seen.unsigned_min ? us[l] : seen.unsigned_min;
      seen.signed_min = ss[l] < seen.signed_min ? ss[l] : seen.signed_min;
    }
  }
  zeros_scalar(p, i, count, stride, seen);
}

}  // namespace

ExtremumRuns extremum_runs_avx2() noexcept { return {run<Max>, run<Min>, zeros}; }

}  // namespace zoltra::ops
