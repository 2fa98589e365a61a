// exp, log, sqrt, tanh with AVX-512: eight double lanes, sixteen float lanes
// for sqrt.
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

struct Avx512Sqrt {
  static constexpr std::uint64_t kWidth = 16;
  static void sqrt(const float* x, float* out) noexcept { _mm512_storeu_ps(out, _mm512_maskz_sqrt_ps(0xffff, _mm512_loadu_ps(x))); }
};

}  // namespace

void unary_math_f32_avx512(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept {
  if (function == UnaryMath::kSqrt) return sqrt_f32<Avx512Sqrt>(x, out, count);
  UnaryMathLanes<Avx512>::run(function, x, out, count);
}

}  // namespace zoltra::ops
