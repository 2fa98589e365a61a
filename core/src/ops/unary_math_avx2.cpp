// exp, log, sqrt, tanh with AVX2: four double lanes, eight float lanes for sqrt.
#include "ops/unary_math_lanes.hpp"
#include "ops/unary_math_sqrt.hpp"
#include "ops/unary_math_variants.hpp"

namespace zoltra::ops {
namespace {

struct Avx2 {
  static constexpr int kWidth = 4;
  using Types = LaneTypes<kWidth>;
  static Types::D gather(const double* table, Types::I index) noexcept {
    return _mm256_i64gather_pd(table, reinterpret_cast<__m256i>(index), 8);
  }
  static Types::D widen(const float* x) noexcept { return _mm256_cvtps_pd(_mm_loadu_ps(x)); }
  static void narrow(Types::D y, float* out) noexcept { _mm_storeu_ps(out, _mm256_cvtpd_ps(y)); }
  static bool any(Types::I mask) noexcept { return _mm256_movemask_pd(reinterpret_cast<__m256d>(mask)) != 0; }
};

struct Avx2Sqrt {
  static constexpr std::uint64_t kWidth = 8;
  static void sqrt(const float* x, float* out) noexcept { _mm256_storeu_ps(out, _mm256_sqrt_ps(_mm256_loadu_ps(x))); }
};

}  // namespace

void unary_math_f32_avx2(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept {
  if (function == UnaryMath::kSqrt) return sqrt_f32<Avx2Sqrt>(x, out, count);
  UnaryMathLanes<Avx2>::run(function, x, out, count);
}

}  // namespace zoltra::ops
