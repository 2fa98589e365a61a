// exp, log, sqrt, tanh with AVX-512: eight double lanes, sixteen float lanes
// for sqrt.
#include "ops/unary_math_fast_lanes.hpp"
#include "ops/unary_math_lanes.hpp"
#include "ops/unary_math_sqrt.hpp"
#include "ops/unary_math_variants.hpp"

namespace zoltra::ops {
namespace {

struct Avx512 {
  static constexpr int kWidth = 8;
  using Types = LaneTypes<kWidth>;
  static Types::D gather(const double* table, Types::I index) noexcept {
    // The masked forms: GCC 12 warns on the undefined source of the plain ones.
    return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xff, reinterpret_cast<__m512i>(index), table, 8);
  }
  static void gather_pair(const double* table, Types::I index, Types::D& first, Types::D& second) noexcept {
    first = gather(table, index);
    second = gather(table + 1, index);
  }
  static Types::D widen(const float* x) noexcept { return _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(x)); }
  static void narrow(Types::D y, float* out) noexcept { _mm256_storeu_ps(out, _mm512_maskz_cvtpd_ps(0xff, y)); }
  static bool any(Types::I mask) noexcept {
    const auto m = reinterpret_cast<__m512i>(mask);
    return _mm512_test_epi64_mask(m, m) != 0;
  }
};

// The fast stage's pieces: the same double operations as Avx2Fast's, twice
// as wide.
struct Avx512Fast {
  static constexpr int kWidth = 8;
  using Types = LaneTypes<kWidth>;
  static Types::D fma(Types::D a, Types::D b, Types::D c) noexcept { return _mm512_fmadd_pd(a, b, c); }
  // The masked forms throughout: GCC 12 warns on the undefined source of the
  // plain ones.
  template <int kHalf>
  static Types::D widen(Types::F2 x) noexcept {
    return _mm512_maskz_cvtps_pd(0xff, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, _mm512_castps_pd(x), kHalf)));
  }
  static void narrow(Types::D low, Types::D high, float* out) noexcept {
    _mm256_storeu_ps(out, _mm512_maskz_cvtpd_ps(0xff, low));
    _mm256_storeu_ps(out + 8, _mm512_maskz_cvtpd_ps(0xff, high));
  }
  static Types::U2 low_words(Types::D low, Types::D high) noexcept {
    return reinterpret_cast<Types::U2>(_mm512_shuffle_ps(_mm512_castpd_ps(low), _mm512_castpd_ps(high), 0x88));
  }
  static bool all(Types::N2 mask) noexcept {
    const auto m = reinterpret_cast<__m512i>(mask);
    return _mm512_test_epi32_mask(m, m) == 0xffff;
  }
  static Types::F2 max(Types::F2 a, Types::F2 b) noexcept { return _mm512_maskz_max_ps(0xffff, a, b); }
  static Types::F2 min(Types::F2 a, Types::F2 b) noexcept { return _mm512_maskz_min_ps(0xffff, a, b); }
  static void exp2_eighths(Types::U k0, Types::U k1, Types::D& s0, Types::D& s1) noexcept {
    const __m512i table = _mm512_loadu_si512(kExp2EighthsTable);
    auto one = [&](Types::U k) {
      return reinterpret_cast<Types::D>(
          reinterpret_cast<Types::U>(_mm512_maskz_permutexvar_epi64(0xff, reinterpret_cast<__m512i>(k), table)) +
          (k << 49));
    };
    s0 = one(k0);
    s1 = one(k1);
  }
  template <int kHalf>
  static __m256i half_words(Types::N2 x) noexcept {
    return _mm256_castpd_si256(_mm512_maskz_extractf64x4_pd(0xf, _mm512_castsi512_pd(reinterpret_cast<__m512i>(x)), kHalf));
  }
  template <int kHalf>
  static Types::D widen_int(Types::N2 x) noexcept { return _mm512_maskz_cvtepi32_pd(0xff, half_words<kHalf>(x)); }
};

struct Avx512Sqrt {
  static constexpr std::uint64_t kWidth = 16;
  static void sqrt(const float* x, float* out) noexcept { _mm512_storeu_ps(out, _mm512_maskz_sqrt_ps(0xffff, _mm512_loadu_ps(x))); }
};

}  // namespace

void unary_math_f32_avx512(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept {
  if (function == UnaryMath::kSqrt) return sqrt_f32<Avx512Sqrt>(x, out, count);
  UnaryMathFastLanes<Avx512Fast, UnaryMathLanes<Avx512>>::run(function, x, out, count);
}

}  // namespace zoltra::ops
